// Command exchange: the command frame with its checksum, the block checksum,
// status texts for the user interface, the progress counters and the
// conventions every protocol operation follows when something goes wrong.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine_protocol.h"
#include "flash_image.h"
#include "protocol_internal.h"
#include "trace_log.h"
#include "transport.h"

namespace {

std::atomic<int32_t> g_total_blocks{0};
std::atomic<int32_t> g_current_block{0};

// Holds the last status text composed by erase_all and write_flash_ex.
char g_status_buffer[PROTO_STATUS_BUFFER_SIZE];

}  // namespace

void proto_error_report(const char* prefix, const char* format, ...) {
  // Formatted in full first, then cut to PROTO_ERROR_TEXT_MAX without splitting
  // a multi-byte character (a long file name), so the record stays valid text.
  char full[4 * PROTO_ERROR_TEXT_MAX];
  va_list args;
  va_start(args, format);
  if (vsnprintf(full, sizeof(full), format, args) < 0) full[0] = '\0';
  va_end(args);
  char text[PROTO_ERROR_TEXT_MAX + 1];
  ComposeText(text, sizeof(text), "%s", full);
  LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "%s", text);
  TraceMsg(true, ZONE_ERROR, "%s%s\r\n", prefix != nullptr ? prefix : "", text);
}

void proto_pause() { plat::SleepMs(PROTO_PAUSE_MS); }

void proto_post_composed_status(StatusCallback callback, const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (vsnprintf(g_status_buffer, sizeof(g_status_buffer), format, args) < 0) g_status_buffer[0] = '\0';
  va_end(args);
  post_status(callback, g_status_buffer, static_cast<uint32_t>(strlen(g_status_buffer) + 1));
}

uint32_t block_checksum(const uint8_t* data, int n) {
  if (data == nullptr) return PROTO_ARGUMENT_MISSING;
  if (n <= 0) return 0;
  // Byte i weighs n - i: the first byte n, the last byte 1; the sum wraps.
  uint32_t sum = 0;
  const uint32_t count = static_cast<uint32_t>(n);
  for (uint32_t i = 0; i < count; ++i) sum += static_cast<uint32_t>(data[i]) * (count - i);
  return sum;
}

int transmit_cmd(const uint8_t* frame, int n) {
  if (frame == nullptr) return PROTO_ARGUMENT_MISSING;
  const uint32_t checksum = block_checksum(frame, n);
  if (n < 0 || transport_tx_bytes(frame, static_cast<uint32_t>(n)) != 1) {
    proto_error_report("-> ", "ERROR transmit_cmd");
    return PROTO_FAILURE;
  }
  if (transport_tx_long(checksum) != 1) {
    proto_error_report("-> ", "ERROR checksum: 0x%d transmission", static_cast<int>(checksum));
    return PROTO_FAILURE;
  }
  uint8_t reply = 0;
  if (transport_rx_expect(RSP_ACK, &reply) != 1 || reply != RSP_ACK) {
    proto_error_report("<- ", "ERROR cmd chk rsp_ack: 0x%x", static_cast<unsigned>(reply));
    return PROTO_FAILURE;
  }
  return PROTO_SUCCESS;
}

void post_status(StatusCallback callback, const char* text, uint32_t n) {
  if (callback != nullptr) callback(text, n, n);
}

void KpxSetTotalBlocks(int32_t total) {
  TraceMsg(true, ZONE_INFO, "KpxSetTotalBlocks( %d )", static_cast<int>(total));
  g_total_blocks.exchange(total);
}

void KpxSetCurrentBlock(int32_t index) { g_current_block.exchange(index); }

int32_t KpxGetTotalBlocks() { return g_total_blocks.load(); }

int32_t KpxGetCurrentBlock() { return g_current_block.load(); }
