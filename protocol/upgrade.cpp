// One whole upgrade: the firmware file headers, the port, link detection, and
// up to two phases of driver load, board check, erase, write and version
// read-back, first for the co-processor, then for the scan engine.

#include <cstring>

#include "flash_image.h"
#include "protocol_internal.h"
#include "trace_log.h"
#include "transport.h"

namespace {

constexpr int kVersionTextSize = 256;
constexpr int kPsocDriverNumber = 3;
constexpr int kScannerDriverNumber = 2;

// The texts and numbers that tell the two phases apart.
struct UpgradePhase {
  int driver_number;
  const char* driver_status;  // posted before the driver load, or nullptr
  const char* erase_status;   // posted before the erase
  const char* write_status;   // posted before the image write, or nullptr
  const char* driver_error;
  const char* board_error;  // formatted with the board id
  const char* erase_error;
  const char* write_error;
  const char* remove_error;
  const char* version_warning;  // formatted with the length value and the length needed
  bool psoc;                    // version reported as the co-processor's
};

constexpr UpgradePhase kPsocPhase = {
    kPsocDriverNumber,
    "Updating PSOC driver\r\n",
    "Erasing PSOC flash. Please wait...",
    "Updating PSOC firmware. Please wait...",
    "Upgrade - PSOC ERROR: writing driver\r\n",
    "Upgrade - PSOC ERROR: Validating board id: 0x%x\r\n",
    "Upgrade - PSOC ERROR: erasing flash\r\n",
    "Upgrade - PSOC ERROR: writing image\r\n",
    "Upgrade - PSOC ERROR: removing driver\r\n",
    "Upgrade - PSOC WARNING! Cannot return ver. in_len: %d, actual_len: %x\r\n",
    true,
};

constexpr UpgradePhase kScannerPhase = {
    kScannerDriverNumber,
    nullptr,
    "Erasing Scanner flash. Please wait...",
    nullptr,
    "Upgrade - SCANNER ERROR: dwnld_flash_driver failed\r\n",
    "Upgrade - SCANNER ERROR: Validating board id: 0x%x\r\n",
    "Upgrade - SCANNER ERROR: erasing flash\r\n",
    "Upgrade - SCANNER ERROR: writing flash\r\n",
    "Upgrade - SCANNER ERROR: removing driver\r\n",
    "Upgrade - SCANNER WARNING! Cannot return ver. in_len: %d, actual_len: %x\r\n",
    false,
};

// The header of one firmware image: its board table and where the image starts.
struct ImageHeader {
  BoardEntry table[BOARD_TABLE_CAPACITY] = {};
  int count = BOARD_TABLE_CAPACITY;
  int32_t offset = -1;
};

// Working data shared by both phases.
struct UpgradeState {
  int32_t flash_size = 0;
  uint16_t board_id = 0;
  uint16_t words[4] = {};
  char text[kVersionTextSize] = {};
  StatusCallback callback = nullptr;
};

// Where a phase hands its version text back to the caller.
struct VersionOutput {
  char* buffer;
  int32_t* length;
};

void PostText(StatusCallback callback, const char* text) {
  post_status(callback, text, static_cast<uint32_t>(strlen(text) + 1));
}

// Reads the header of a given image; false if the file could not be read.
bool ReadImageHeader(const char* file, ImageHeader* header, const char* offset_line, const char* failure_line) {
  if (file == nullptr) return true;
  int result = GetBinFileInfo(file, header->table, &header->count, &header->offset);
  TraceMsg(true, ZONE_INFO, offset_line, header->offset);
  if (result != PROTO_SUCCESS) TraceMsg(true, ZONE_ERROR, failure_line, file);
  return result != PROTO_FAILURE;
}

// Copies the version text with its NUL to the caller's buffer if the length
// value allows it; the length value becomes the length needed either way.
void HandBackVersion(const UpgradePhase& phase, const char* text, VersionOutput out) {
  const int32_t needed = static_cast<int32_t>(strlen(text) + 1);
  const int32_t in_len = out.length != nullptr ? *out.length : 0;
  if (out.buffer != nullptr && in_len >= needed) {
    memcpy(out.buffer, text, static_cast<size_t>(needed));
  } else {
    TraceMsg(true, ZONE_WARNING, phase.version_warning, in_len, needed);
  }
  if (out.length != nullptr) *out.length = needed;
}

// Reads the version back after the image has been written, reports it and
// hands it back. Returns the result of the read.
int ReadBackVersion(const UpgradePhase& phase, UpgradeState* state, VersionOutput out) {
  // Cleared for each phase, so that a failed read never hands back the
  // version of the phase before.
  memset(state->words, 0, sizeof(state->words));
  memset(state->text, 0, sizeof(state->text));
  int result = firmware_version(state->words, state->text, kVersionTextSize);
  const uint16_t* w = state->words;
  if (phase.psoc) {
    char line[PROTO_ERROR_TEXT_MAX + 1];
    ComposeText(line, sizeof(line), "PSOC version after load. reserved: %d,%d,%d,%d, ver: %s\r\n", w[0], w[1], w[2],
                w[3], state->text);
    LogResult(true, RESULT_FLASH_VER, ZONE_INFO, "%s", line);
    PostText(state->callback, line);
  } else {
    TraceMsg(true, ZONE_INFO, "firmware version after load. reserved: %d,%d,%d,%d, ver: %s\r\n", w[0], w[1], w[2], w[3],
             state->text);
    LogResult(true, RESULT_FIRMWARE_VER, ZONE_INFO, "%s", state->text);
  }
  HandBackVersion(phase, state->text, out);
  return result;
}

// One phase: driver load, board check, erase, image write, version read-back,
// and the driver removed once it was loaded. Returns the phase's result.
int RunPhase(const UpgradePhase& phase, const char* driver, const char* image, const ImageHeader& header,
             UpgradeState* state, VersionOutput out) {
  if (phase.driver_status != nullptr) PostText(state->callback, phase.driver_status);
  int result = dwnld_driver_and_init(driver, phase.driver_number, &state->flash_size);
  if (result != PROTO_SUCCESS) {
    TraceMsg(true, ZONE_ERROR, "%s", phase.driver_error);
    return result;
  }

  result = ValidateBoardId(header.table, header.count, &state->board_id);
  if (result != PROTO_SUCCESS) {
    TraceMsg(true, ZONE_ERROR, phase.board_error, state->board_id);
  } else {
    PostText(state->callback, phase.erase_status);
    result = erase_all(state->callback);
    if (result != PROTO_SUCCESS) {
      TraceMsg(true, ZONE_ERROR, "%s", phase.erase_error);
    } else {
      if (phase.write_status != nullptr) PostText(state->callback, phase.write_status);
      result = dwnld_image_ex(state->flash_size, header.offset, image, state->callback);
      if (result != PROTO_SUCCESS) {
        TraceMsg(true, ZONE_ERROR, "%s", phase.write_error);
      } else {
        result = ReadBackVersion(phase, state, out);
      }
    }
  }

  if (remove_driver() != PROTO_SUCCESS) TraceMsg(true, ZONE_ERROR, "%s", phase.remove_error);
  return result;
}

}  // namespace

int engine_upgrade(const char* port, uint32_t baud, const char* engine, const char* scanner_driver,
                   const char* psoc_driver, const char* psoc_image, const char* scanner_image, char* psoc_version,
                   char* scanner_version, int32_t* psoc_version_len, int32_t* scanner_version_len,
                   StatusCallback callback, plat::Handle port_handle) {
  int result = PROTO_SUCCESS;
  ImageHeader psoc_header;
  ImageHeader scanner_header;
  UpgradeState state;
  state.callback = callback;

  bool headers_read = ReadImageHeader(psoc_image, &psoc_header, "Upgrade - PSOC: Offset: %d\r\n",
                                      "Upgrade - PSOC ERROR: %s offset acquisition failed\r\n");
  headers_read &= ReadImageHeader(scanner_image, &scanner_header, "Upgrade - Scanner firmware: Offset: %d\r\n",
                                  "Upgrade - Scanner ERROR: %s offset acquisition failed\r\n");
  if (!headers_read) {
    TraceMsg(true, ZONE_ERROR, "Upgrade - ERROR: Scanner validation failure\r\n");
    return PROTO_FAILURE;
  }

  if (transport_open(port, baud, port_handle) != 1) {
    result = PROTO_FAILURE;
  } else if (data_rate_detect(engine) != PROTO_SUCCESS) {
    result = PROTO_LINK_FAILED;
    TraceMsg(true, ZONE_ERROR, "Upgrade - ERROR: data_rate_detect\r\n");
  } else {
    if (psoc_driver != nullptr && psoc_image != nullptr) {
      result = RunPhase(kPsocPhase, psoc_driver, psoc_image, psoc_header, &state,
                        VersionOutput{psoc_version, psoc_version_len});
    }
    if (scanner_driver != nullptr && scanner_image != nullptr) {
      result = RunPhase(kScannerPhase, scanner_driver, scanner_image, scanner_header, &state,
                        VersionOutput{scanner_version, scanner_version_len});
    }
  }

  transport_close();
  return result;
}
