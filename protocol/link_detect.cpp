// Link detection: the boot code answers AUTODETECT_BYTE with a byte that
// identifies the engine; only an answer the catalogue pairs with the expected
// engine name is accepted.
#include "engine_protocol.h"
#include "protocol_internal.h"
#include "trace_log.h"
#include "transport.h"

int data_rate_detect(const char* engine_name) {
  transport_set_read_timeout(LINK_DETECT_TIMEOUT_MS);
  int result = PROTO_FAILURE;
  for (int attempt = 0; attempt < LINK_DETECT_ATTEMPTS; ++attempt) {
    result = PROTO_FAILURE;
    TraceMsg(true, ZONE_INFO, "-> autodetect byte: 0x%x, cnt: %d\r\n", AUTODETECT_BYTE, attempt);
    if (transport_tx_byte(AUTODETECT_BYTE) != 1) {
      TraceMsg(true, ZONE_ERROR, "data_rate_detect - ERROR tx byte. cnt: %d\r\n", attempt);
      LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "Autodetect ERROR");
      continue;
    }
    uint8_t answer = 0;
    const uint32_t start_ms = plat::TickCount();
    const int received = transport_rx_byte(&answer);
    const uint32_t elapsed_ms = plat::TickCount() - start_ms;
    if (received != 1) continue;  // a silent engine is not traced
    TraceMsg(true, ZONE_INFO, "\t<- autodetect: 0x%x, dur: %d\r\n", answer, static_cast<int>(elapsed_ms));
    result = PROTO_LINK_FAILED;
    if (const EngineLinkEntry* row = FindAutodetectRow(engine_name, answer)) {
      TraceMsg(true, ZONE_INFO, "autodetect - found match scan: %ls, validrsp: 0x%x\r\n", row->name,
               row->autodetect_rsp);
      result = PROTO_SUCCESS;
      break;
    }
  }
  // Every later exchange runs with the transport's usual read timeout.
  transport_set_read_timeout(TRANSPORT_READ_TIMEOUT_MS);
  return result;
}
