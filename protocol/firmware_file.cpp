// Firmware file header and board check: GetBinFileInfo reads the board table
// in front of a ".bin" image, ValidateBoardId matches the engine's own scanner
// type and board id against it.

#include <cstring>
#include <vector>

#include "flash_image.h"
#include "protocol_internal.h"
#include "trace_log.h"

namespace {

// Header layout: magic, N, N board entries, 6 + 2 bytes not interpreted.
constexpr int kMagicSize = sizeof(BIN_FILE_MAGIC);
constexpr int kCountSize = 2;
constexpr int kEntrySize = 4;
constexpr int kTrailerSize = 6 + 2;

constexpr int kVersionTextSize = 256;  // firmware version reply buffer
constexpr uint16_t kBoardIdUnknown = 0xFFFF;

uint16_t BigEndian16(const uint8_t* bytes) { return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]); }

void ReportShortHeader(int bytes_read, int header_size) {
  proto_error_report("", "GetBinFileInfo - ERROR: Input file header too short. bytes read: %d, header size: %d",
                     bytes_read, header_size);
}

}  // namespace

int GetBinFileInfo(const char* file, BoardEntry* table, int* count, int32_t* offset) {
  if (file == nullptr || table == nullptr || count == nullptr || offset == nullptr) return PROTO_ARGUMENT_MISSING;

  plat::UniqueHandle bin = OpenImageFile(file);
  if (!bin.valid()) {
    proto_error_report("", "ERROR: Input file invalid");
    return PROTO_FAILURE;
  }

  uint8_t magic[kMagicSize] = {};
  if (ReadImageBytes(bin.get(), magic, kMagicSize) != kMagicSize || memcmp(magic, BIN_FILE_MAGIC, kMagicSize) != 0) {
    TraceMsg(true, ZONE_WARNING, "WARNING: Not a bin file");
    *offset = 0;
    return PROTO_SUCCESS;
  }

  uint8_t count_bytes[kCountSize] = {};
  uint32_t got = ReadImageBytes(bin.get(), count_bytes, kCountSize);
  if (got != kCountSize) {
    ReportShortHeader(kMagicSize + static_cast<int>(got), kMagicSize + kCountSize);
    return PROTO_FAILURE;
  }
  const int entries = BigEndian16(count_bytes);
  if (entries > *count) {
    proto_error_report("", "ERROR: Input scanner table too short. InNumScanners: %d, BinFileNumScanners: %d", *count,
                       entries);
    return PROTO_FAILURE;
  }

  // The rest of the header is read whole before the table is touched, so a
  // file that ends inside it leaves the caller's table as it was.
  const int rest_size = entries * kEntrySize + kTrailerSize;
  const int header_size = kMagicSize + kCountSize + rest_size;
  std::vector<uint8_t> rest(static_cast<size_t>(rest_size));
  got = ReadImageBytes(bin.get(), rest.data(), static_cast<uint32_t>(rest_size));
  if (got != static_cast<uint32_t>(rest_size)) {
    ReportShortHeader(kMagicSize + kCountSize + static_cast<int>(got), header_size);
    return PROTO_FAILURE;
  }
  for (int i = 0; i < entries; ++i) {
    table[i].scanner_type = BigEndian16(&rest[static_cast<size_t>(i * kEntrySize)]);
    table[i].board_id = BigEndian16(&rest[static_cast<size_t>(i * kEntrySize + 2)]);
  }
  *offset = header_size;
  *count = entries;
  return PROTO_SUCCESS;
}

int ValidateBoardId(const BoardEntry* table, int n, uint16_t* board_id) {
  char text[kVersionTextSize] = {};
  uint16_t words[4] = {};
  if (firmware_version(words, text, kVersionTextSize) != PROTO_SUCCESS) {
    proto_error_report("", "ValidateBoardId - ERROR requesting firmare");
    if (board_id != nullptr) *board_id = kBoardIdUnknown;
    return PROTO_FAILURE;
  }
  TraceMsg(true, ZONE_INFO, "ValidateBoardId - reserved: 0x%x,0x%x,0x%x,0x%x ver: %s\r\n", words[0], words[1], words[2],
           words[3], text);

  const uint16_t scanner_type = words[2];
  const uint16_t engine_board = words[3];
  for (int i = 0; table != nullptr && i < n; ++i) {
    if (table[i].board_id == engine_board && table[i].scanner_type == scanner_type) {
      if (board_id != nullptr) *board_id = engine_board;
      TraceMsg(true, ZONE_SUCCESS, "ValidateBoardId- Found match. boardid: 0x%x\r\n", engine_board);
      return PROTO_SUCCESS;
    }
  }
  return PROTO_BOARD_NOT_SUPPORTED;
}
