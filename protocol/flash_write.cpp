// Flash erase and image write: erase_all, write_block, write_flash_ex and
// dwnld_image_ex, with the file helpers the firmware file reader shares.

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "flash_image.h"
#include "protocol_internal.h"
#include "trace_log.h"
#include "transport.h"

namespace {

constexpr uint8_t kErasedByte = 0xFF;  // flash bytes beyond the image end

// A UTF-8 lead byte announces how many bytes its character takes.
size_t Utf8SequenceLength(uint8_t lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// Drops an incomplete multi-byte character from the end of text[0..len).
size_t TrimPartialCharacter(char* text, size_t len) {
  size_t lead_end = len;  // one past the lead byte of the last character
  size_t continuation = 0;
  while (lead_end > 0 && continuation < 3 && (static_cast<uint8_t>(text[lead_end - 1]) & 0xC0) == 0x80) {
    --lead_end;
    ++continuation;
  }
  if (lead_end == 0) return len;
  uint8_t lead = static_cast<uint8_t>(text[lead_end - 1]);
  if (lead < 0xC0) return len;  // a single-byte character ends the text
  if (Utf8SequenceLength(lead) > continuation + 1) {
    len = lead_end - 1;
    text[len] = '\0';
  }
  return len;
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared helpers

plat::UniqueHandle OpenImageFile(const char* name) {
  std::wstring wide = plat::Widen(name);
  return plat::UniqueHandle(
      plat::OpenFile(wide.c_str(), plat::kAccessRead, plat::kShareRead, plat::Disposition::kOpenExisting));
}

uint32_t ReadImageBytes(plat::Handle file, uint8_t* buffer, uint32_t size) {
  uint32_t total = 0;
  while (total < size) {
    uint32_t done = 0;
    if (!plat::Read(file, buffer + total, size - total, &done) || done == 0) break;
    total += done;
  }
  return total;
}

size_t ComposeText(char* buffer, size_t cap, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int wanted = vsnprintf(buffer, cap, format, args);
  va_end(args);
  if (wanted < 0) {
    buffer[0] = '\0';
    return 0;
  }
  size_t len = static_cast<size_t>(wanted);
  if (len < cap) return len;
  return TrimPartialCharacter(buffer, cap - 1);
}

// ---------------------------------------------------------------------------
// Erase

int erase_all(StatusCallback callback) {
  uint8_t frame[CMD_FRAME_SIZE] = {0x00, CMD_ERASE_ALL};
  TraceMsg(true, ZONE_INFO, "cmd{0x%x,0x%x}\r\n", frame[0], frame[1]);
  if (transmit_cmd(frame, CMD_FRAME_SIZE) != PROTO_SUCCESS) {
    proto_error_report("", "ERROR: erase_all, Error rx'ing cmd ack");
    proto_pause();
    return PROTO_FAILURE;
  }
  transport_tx_byte(ACK);
  proto_post_composed_status(callback, "Erasing flash for upgrade.\r\nPlease wait...");

  bool done = false;
  for (int wait = 0; wait < ERASE_MAX_WAITS; ++wait) {
    uint8_t received = 0;
    if (transport_rx_expect(RSP_DONE, &received) == 1) {
      TraceMsg(true, ZONE_INFO, "\t<- done: 0x%x\r\n", received);
      static const char kComplete[] = "Erase flash complete";
      post_status(callback, kComplete, sizeof(kComplete));
      done = true;
      break;
    }
    TraceMsg(true, ZONE_INFO, "Waiting for erase to complete... cnt: %d\r\n", wait);
    proto_post_composed_status(callback, "Waiting erase complete rsp. cnt: %d", wait);
  }
  if (done) return transport_tx_byte(ACK);

  proto_error_report("", "ERROR: erase_all, rx'ing cmd done");
  proto_pause();
  return PROTO_FAILURE;
}

// ---------------------------------------------------------------------------
// Block write

int write_block(uint16_t n, uint32_t address, const uint8_t* data) {
  if (data == nullptr) return PROTO_ARGUMENT_MISSING;

  const uint8_t frame[CMD_FRAME_SIZE] = {
      0x00,
      CMD_WRITE_BLOCK,
      static_cast<uint8_t>(n >> 8),
      static_cast<uint8_t>(n),
      static_cast<uint8_t>(address >> 24),
      static_cast<uint8_t>(address >> 16),
      static_cast<uint8_t>(address >> 8),
      static_cast<uint8_t>(address),
      0x00,
      0x00,
  };
  if (transmit_cmd(frame, CMD_FRAME_SIZE) != PROTO_SUCCESS) return PROTO_FAILURE;

  transport_tx_byte(ACK);
  if (transport_tx_bytes(data, n) != 1) {
    proto_error_report("", "ERROR: transmitting block");
    return PROTO_FAILURE;
  }
  uint32_t checksum = block_checksum(data, n);
  if (transport_tx_long(checksum) != 1) {
    proto_error_report("", "ERROR: transmitting checksum.  checksum: 0x%x", checksum);
    proto_pause();
    return PROTO_FAILURE;
  }
  uint8_t received = 0;
  if (transport_rx_expect(RSP_DONE, &received) != 1) {
    proto_error_report("", "ERROR: rxing cmd complete byte. expected: 0x%x rsp: 0x%x", RSP_DONE, received);
    proto_pause();
    return PROTO_FAILURE;
  }
  return transport_tx_byte(ACK);
}

int write_block_checked(uint16_t n, uint32_t address, const uint8_t* data, size_t available) {
  if (data != nullptr && n > available) {
    proto_error_report("", "ERROR: write_block, byte count: %d exceeds the %d bytes given", static_cast<int>(n),
                       static_cast<int>(available));
    return PROTO_FAILURE;
  }
  return write_block(n, address, data);
}

// ---------------------------------------------------------------------------
// Image write

namespace {

// Records text in "ErrStr" and traces it with a line end of its own.
void RecordAndTraceError(const char* text) {
  LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "%s", text);
  TraceMsg(true, ZONE_ERROR, "%s\r\n", text);
}

// Writes the full blocks and the padded last block of the image that starts
// at the file's current position. Returns the result of the failing step, or
// PROTO_SUCCESS.
int WriteImageBlocks(plat::Handle file, int64_t full_blocks, int64_t remainder, StatusCallback callback) {
  uint8_t block[FLASH_BLOCK_SIZE];
  memset(block, kErasedByte, sizeof(block));

  for (int64_t i = 0; i < full_blocks; ++i) {
    const int index = static_cast<int>(i);
    const uint32_t address = static_cast<uint32_t>(i * FLASH_BLOCK_SIZE);
    KpxSetCurrentBlock(index);
    uint32_t got = ReadImageBytes(file, block, sizeof(block));
    if (got < sizeof(block)) {
      proto_error_report("", "ERROR fread bytes_read: %d block: %d addr: 0x%x stream: 0x%x", static_cast<int>(got),
                         index, address, file);
      return PROTO_FAILURE;
    }
    if (index % 10 == 0) {
      proto_post_composed_status(callback, "Writing block %d of %d", index, static_cast<int>(full_blocks));
    }
    int result = write_block_checked(FLASH_BLOCK_SIZE, address, block, sizeof(block));
    if (result != PROTO_SUCCESS) {
      char text[64];
      ComposeText(text, sizeof(text), "ERROR -> block: %d\r\n", index);
      RecordAndTraceError(text);
      return result;
    }
  }

  if (remainder == 0) return PROTO_SUCCESS;

  const uint32_t address = static_cast<uint32_t>(full_blocks * FLASH_BLOCK_SIZE);
  TraceMsg(true, ZONE_INFO, "Reading last block. blocksize: %d file_addr: %d\r\n", static_cast<int>(remainder),
           static_cast<int>(address));
  memset(block, kErasedByte, sizeof(block));
  uint32_t got = ReadImageBytes(file, block, sizeof(block));
  if (got != remainder) {
    char text[96];
    ComposeText(text, sizeof(text), "ERROR reading last block. block: %d addr: 0x%x", static_cast<int>(full_blocks),
                address);
    RecordAndTraceError(text);
    return PROTO_FAILURE;
  }
  return write_block_checked(FLASH_BLOCK_SIZE, address, block, sizeof(block));
}

}  // namespace

int write_flash_ex(int32_t flash_size, int32_t offset, const char* file, StatusCallback callback) {
  if (file == nullptr) return PROTO_ARGUMENT_MISSING;

  TraceMsg(true, ZONE_INFO, "write_flash_ex - Opening %s\r\n", file);
  plat::UniqueHandle image = OpenImageFile(file);
  if (!image.valid()) {
    proto_error_report("", "Error opening %s", file);
    return PROTO_FAILURE;
  }

  // Sizes are 64-bit so that a file beyond 2 GiB is measured, not wrapped.
  uint64_t file_size = 0;
  if (!plat::FileSize(image.get(), &file_size)) {
    proto_error_report("", "write_flash_ex - ERROR reading the size of %s. win32err: 0x%x", file, plat::LastError());
    return PROTO_FAILURE;
  }
  const int64_t size = static_cast<int64_t>(file_size);
  if (offset < 0 || offset > size) {
    proto_error_report("", "write_flash_ex - ERROR image offset: %d outside the file. filesize: %lld", offset,
                       static_cast<long long>(size));
    return PROTO_FAILURE;
  }

  const int64_t image_length = size - offset;
  const int64_t full_blocks = image_length / FLASH_BLOCK_SIZE;
  const int64_t remainder = image_length % FLASH_BLOCK_SIZE;
  TraceMsg(true, ZONE_INFO, "filesize: %lld, numblocks: %lld, remainder: %lld\r\n", static_cast<long long>(size),
           static_cast<long long>(full_blocks), static_cast<long long>(remainder));
  const int64_t total = full_blocks + 1;
  KpxSetTotalBlocks(total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total));

  if (image_length > flash_size) {
    proto_error_report("", "ERROR file size numbytes: %lld, numblocks: %lld, flashsize: %d",
                       static_cast<long long>(image_length), static_cast<long long>(full_blocks), flash_size);
    return PROTO_FAILURE;
  }
  if (image_length == 0) {
    // An empty image would leave the freshly erased engine without firmware.
    proto_error_report("", "write_flash_ex - ERROR no image bytes. filesize: %lld, offset: %d",
                       static_cast<long long>(size), offset);
    return PROTO_FAILURE;
  }

  TraceMsg(true, ZONE_INFO, "Start writing %d blocks. Please wait...", static_cast<int>(full_blocks));
  int result = PROTO_FAILURE;
  if (!plat::Seek(image.get(), offset, plat::SeekFrom::kBegin)) {
    proto_error_report("", "write_flash_ex - ERROR seeking offset: %d. win32err: 0x%x", offset, plat::LastError());
  } else {
    result = WriteImageBlocks(image.get(), full_blocks, remainder, callback);
  }
  proto_post_composed_status(callback, "Writing blocks complete.  Please wait.");
  return result;
}

int dwnld_image_ex(int32_t flash_size, int32_t offset, const char* file, StatusCallback callback) {
  TraceMsg(true, ZONE_SUCCESS, "dwnld_image_ex - file: %s, flash_size: %d, offset: %d\r\n", file ? file : "(null)",
           flash_size, offset);
  return write_flash_ex(flash_size, offset, file, callback);
}
