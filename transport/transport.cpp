// The serial transport: one port per process, held in a module-level handle,
// with byte-level and acknowledged send and receive operations on it.
#include "transport.h"

#include <cstring>

#include "trace_log.h"

namespace {

// The held port: 0 until transport_open sets it.
plat::Handle g_port = plat::kNoHandle;

// The send, receive and timeout operations treat both values as "no port".
bool PortHeld() { return g_port != plat::kNoHandle && g_port != plat::kInvalidHandle; }

uint32_t Win32Err() { return plat::LastError(); }

constexpr size_t kPortNameChars = 256;

// One write call of one byte; true if it reported success and moved the byte.
bool WriteOneByte(uint8_t byte, uint32_t* written) {
  *written = 0;
  return plat::Write(g_port, &byte, 1, written) && *written != 0;
}

// One byte of an acknowledged receive: the byte, then ACK (its result
// ignored). A failed receive pauses so that the engine's watchdog runs out.
bool ReceiveAndAck(uint8_t* byte) {
  if (!transport_rx_byte(byte)) {
    plat::SleepMs(TRANSPORT_ACK_FAILURE_PAUSE_MS);
    return false;
  }
  (void)transport_tx_byte(ACK);
  return true;
}

// The line settings written whole when the transport opens the port itself.
plat::SerialSettings TransportLineSettings(uint32_t baud) {
  plat::SerialSettings dcb;
  dcb.baud = baud;
  dcb.data_bits = 8;
  dcb.parity = plat::Parity::kNone;
  dcb.parity_check = false;
  dcb.stop_bits = plat::StopBits::kOne;
  dcb.binary = true;
  dcb.cts_output_flow = false;
  dcb.dsr_output_flow = false;
  dcb.dtr = plat::LineControl::kDisable;
  dcb.rts = plat::LineControl::kDisable;
  dcb.dsr_sensitivity = false;
  dcb.tx_continue_on_xoff = true;
  dcb.xon_xoff_output = false;
  dcb.xon_xoff_input = false;
  dcb.error_char_replace = false;
  dcb.null_strip = false;
  dcb.abort_on_error = false;
  dcb.event_char = 0;
  return dcb;
}

// The two timeout operations differ only in the fields they set and log.
struct TimeoutOp {
  const char* name;
  void (*apply)(plat::SerialTimeouts* t, uint32_t ms);
  void (*log)(const plat::SerialTimeouts& t);
};

int SetTimeout(const TimeoutOp& op, uint32_t ms) {
  if (!PortHeld()) {
    TraceMsg(true, ZONE_ERROR, "%s - Handle invalid. win32err: 0x%x\r\n", op.name, Win32Err());
    return 0;
  }
  plat::SerialTimeouts timeouts;
  if (!plat::GetSerialTimeouts(g_port, &timeouts)) {
    TraceMsg(true, ZONE_ERROR, "%s - ERROR getting timeout. win32err: 0x%x\r\n", op.name, Win32Err());
    return 0;
  }
  op.apply(&timeouts, ms);
  if (!plat::SetSerialTimeouts(g_port, timeouts)) {
    TraceMsg(true, ZONE_ERROR, "%s - ERROR setting timeout. win32err: 0x%x\r\n", op.name, Win32Err());
    return 0;
  }
  if (plat::GetSerialTimeouts(g_port, &timeouts)) op.log(timeouts);
  return 1;
}

const TimeoutOp kReadTimeout = {
    "transport_set_read_timeout",
    [](plat::SerialTimeouts* t, uint32_t ms) {
      // Return what is buffered, else the first byte to arrive, else nothing after ms.
      t->read_interval = plat::kTimeoutAllBits;
      t->read_multiplier = plat::kTimeoutAllBits;
      t->read_constant = ms;
    },
    [](const plat::SerialTimeouts& t) {
      TraceMsg(true, ZONE_INFO,
               "transport_set_read_timeout - Accepted timeout settings; interval: %d, multi: %d, const: %d\r\n",
               static_cast<int>(t.read_interval), static_cast<int>(t.read_multiplier),
               static_cast<int>(t.read_constant));
    },
};

const TimeoutOp kWriteTimeout = {
    "transport_set_write_timeout",
    [](plat::SerialTimeouts* t, uint32_t ms) {
      t->write_multiplier = 0;  // the whole write within ms, no per-byte allowance
      t->write_constant = ms;
    },
    [](const plat::SerialTimeouts& t) {
      TraceMsg(true, ZONE_INFO, "transport_set_write_timeout - Accepted timeout settings; multi: %d, const: %d\r\n",
               static_cast<int>(t.write_multiplier), static_cast<int>(t.write_constant));
    },
};

// Both purge operations need a held port (0 only) and purge one direction.
int Purge(const char* name, uint32_t flags, const char* failure_text) {
  if (g_port == plat::kNoHandle) {
    TraceMsg(true, ZONE_ERROR, "%s - ERROR invalid transport\r\n", name);
    return 0;
  }
  if (!plat::PurgeSerial(g_port, flags)) {
    TraceMsg(true, ZONE_ERROR, failure_text, Win32Err());
    return 0;
  }
  return 1;
}

}  // namespace

int transport_open(const char* sPort, uint32_t baud, plat::Handle hPort) {
  TraceMsg(true, ZONE_INFO, "transport_open - in.  sPort: %s, baud: %d, hPort: 0xx%x\r\n",
           sPort ? sPort : "(null)", static_cast<int>(baud), hPort);
  if (hPort != plat::kNoHandle) {
    g_port = hPort;
    TraceMsg(true, ZONE_INFO, "transport_open - Using already configured port handle\r\n");
    return 1;
  }

  // A name that does not fit is refused rather than opened cut short.
  wchar_t wide_name[kPortNameChars] = {};
  plat::Handle port = plat::kInvalidHandle;
  if (sPort && plat::NarrowToWide(sPort, -1, wide_name, static_cast<int>(kPortNameChars)) > 0) {
    port = plat::OpenSerialPort(wide_name);
  } else if (!sPort) {
    plat::SetLastErrorCode(plat::kErrInvalidParameter);
  }
  if (port == plat::kNoHandle || port == plat::kInvalidHandle) {
    TraceMsg(true, ZONE_ERROR, "transport_open - ERROR opening transport. win32err: 0x%x\r\n", Win32Err());
    return 0;
  }
  g_port = port;
  TraceMsg(true, ZONE_INFO, "transport_open - x%x=CreateFile(%ls)\r\n", g_port, wide_name);

  plat::SerialSettings dcb = TransportLineSettings(baud);
  if (!plat::SetSerialSettings(g_port, dcb)) {
    TraceMsg(true, ZONE_ERROR, "transport_open - Failed to set DCB\r\n");
  } else {
    TraceMsg(true, ZONE_INFO, "transport_open - DCB = baud: %d, parity: %d, stopbits: %d, databits: %d\r\n",
             static_cast<int>(dcb.baud), static_cast<int>(dcb.parity_check), 1, static_cast<int>(dcb.data_bits));
  }
  (void)plat::GetSerialSettings(g_port, &dcb);
  TraceMsg(true, ZONE_INFO, "transport_open - Cur DCB state.  baud: %d, parity: %d, databits: %d\r\n",
           static_cast<int>(dcb.baud), static_cast<int>(dcb.parity_check), static_cast<int>(dcb.data_bits));

  (void)transport_set_read_timeout(TRANSPORT_READ_TIMEOUT_MS);
  (void)transport_set_write_timeout(TRANSPORT_WRITE_TIMEOUT_MS);
  // The names are crossed: purge_rx empties the transmit side, purge_tx the receive side.
  (void)transport_purge_rx();
  (void)transport_purge_tx();
  return 1;
}

int transport_close() {
  if (!PortHeld()) return 1;
  TraceMsg(true, ZONE_INFO, "transport_close - Closing port. hport: 0x%X\r\n", g_port);
  if (!plat::CloseHandle(g_port)) {
    TraceMsg(true, ZONE_ERROR, "ERROR Closing port: 0x%X, win32err: 0x%x\r\n", g_port, Win32Err());
    return 0;
  }
  // Forgotten, so that a stale value is never used on a handle reissued later.
  g_port = plat::kNoHandle;
  return 1;
}

plat::Handle transport_get_handle() { return g_port; }

int transport_tx_byte(uint8_t byte) {
  if (!PortHeld()) {
    TraceMsg(true, ZONE_ERROR, "transport_tx_byte - ERROR invalid handle.  win32err: 0x%x\r\n", Win32Err());
    return 0;
  }
  uint32_t written = 0;
  if (!WriteOneByte(byte, &written)) {
    TraceMsg(true, ZONE_ERROR, "transport_tx_byte - ERROR WriteFile. win32err: 0x%x\r\n", Win32Err());
    return 0;
  }
  return 1;
}

int transport_tx_bytes(const uint8_t* data, uint32_t count) {
  if (!PortHeld()) {
    TraceMsg(true, ZONE_ERROR, "transport_tx_bytes - ERROR invalid handle.  win32err: 0x%x\r\n", Win32Err());
    return 0;
  }
  // A short write still counts: only the call's own result matters.
  uint32_t written = 0;
  if (!plat::Write(g_port, data, count, &written)) {
    TraceMsg(true, ZONE_ERROR, "transport_tx_byte - ERROR WriteFile. win32err: 0x%x\r\n", Win32Err());
    return 0;
  }
  return 1;
}

int transport_tx_word(uint16_t word) {
  if (!transport_tx_byte(static_cast<uint8_t>(word >> 8)) || !transport_tx_byte(static_cast<uint8_t>(word))) {
    TraceMsg(true, ZONE_ERROR, "transport_tx_word - ERROR transport_tx_byte\r\n");
    return 0;
  }
  return 1;
}

int transport_tx_long(uint32_t value) {
  if (!PortHeld()) {
    TraceMsg(true, ZONE_ERROR, "transport_tx_long - ERROR invalid handle.  win32err: 0x%x\r\n", Win32Err());
    return 0;
  }
  for (int shift = 24; shift >= 0; shift -= 8) {
    uint32_t written = 0;
    if (!WriteOneByte(static_cast<uint8_t>(value >> shift), &written)) {
      TraceMsg(true, ZONE_ERROR, "transport_tx_long - ERROR WriteFile.  win32err: 0x%x, written: 0x%x\r\n",
               Win32Err(), written);
      return 0;
    }
  }
  return 1;
}

int transport_rx_byte(uint8_t* byte) {
  if (!PortHeld()) {
    TraceMsg(true, ZONE_ERROR, "transport_rx_byte - ERROR invalid handle.  win32err: 0x%x\r\n", Win32Err());
    return 0;
  }
  // A read that times out succeeds with nothing read: a quiet failure here.
  uint32_t read = 0;
  return plat::Read(g_port, byte, 1, &read) && read == 1;
}

int transport_rx_bytes(uint8_t* buffer, uint32_t* count) {
  if (!PortHeld()) {
    TraceMsg(true, ZONE_ERROR, "transport_rx_bytes - Handle invalid. win32err: 0x%x\r\n", Win32Err());
    return 0;
  }
  uint32_t read = 0;
  if (plat::Read(g_port, buffer, *count, &read) || read == *count) {
    *count = read;
    return 1;
  }
  return 0;
}

int transport_rx_byte_ack(uint8_t* byte) {
  if (!transport_rx_byte(byte)) {
    plat::SleepMs(TRANSPORT_ACK_FAILURE_PAUSE_MS);
    return 0;
  }
  return transport_tx_byte(ACK);
}

int transport_rx_word_ack(uint16_t* word) {
  uint8_t high = 0;
  uint8_t low = 0;
  // The low byte is not attempted after a failed high byte.
  if (!ReceiveAndAck(&high) || !ReceiveAndAck(&low)) return 0;
  *word = static_cast<uint16_t>(high * 256 + low);
  return 1;
}

int transport_rx_long_ack(uint32_t* value) {
  uint16_t high = 0;
  uint16_t low = 0;
  if (!transport_rx_word_ack(&high) || !transport_rx_word_ack(&low)) return 0;
  *value = static_cast<uint32_t>(high) * 65536u + low;
  return 1;
}

int transport_rx_word(uint16_t* word) {
  uint8_t high = 0;
  uint8_t low = 0;
  if (!transport_rx_byte(&high)) {
    TraceMsg(true, ZONE_ERROR, "ERROR transport_rx_word: rx'ing first byte of word, rx1: 0x%x\r\n", high);
    return 0;
  }
  if (!transport_rx_byte(&low)) {
    TraceMsg(true, ZONE_ERROR, "ERROR transport_rx_word: rx'd second byte of word, rx2: 0x%x\r\n", low);
    return 0;
  }
  *word = static_cast<uint16_t>(high * 256 + low);
  return 1;
}

int transport_rx_long(uint32_t* value) {
  uint16_t high = 0;
  uint16_t low = 0;
  if (!transport_rx_word(&high) || !transport_rx_word(&low)) return 0;
  *value = static_cast<uint32_t>(high) * 65536u + low;
  return 1;
}

int transport_rx_expect(uint8_t expected, uint8_t* received) {
  uint8_t byte = 0;
  if (!transport_rx_byte(&byte)) return 0;
  *received = byte;
  return byte == expected ? 1 : 0;
}

int transport_rx_string(char* buffer, int iSize) {
  if (iSize > TRANSPORT_RX_STRING_MAX) {
    TraceMsg(true, ZONE_ERROR, "ERROR: transport_rx_string(), Client input buff too small\r\n");
    return 0;
  }
  char text[TRANSPORT_RX_STRING_MAX] = {};
  int i = 0;
  bool received_all = true;
  for (;;) {
    uint8_t byte = 0;
    if (!ReceiveAndAck(&byte)) {
      received_all = false;
      break;
    }
    // A byte beyond the internal buffer is taken and acknowledged, not stored.
    if (i < TRANSPORT_RX_STRING_MAX) text[i] = static_cast<char>(byte);
    if (byte == 0) break;
    // One byte more than iSize is taken when none of the first iSize is NUL.
    bool room = i < iSize;
    ++i;
    if (!room) break;
  }
  if (received_all && i < iSize) {
    std::memcpy(buffer, text, static_cast<size_t>(i) + 1);
    return 1;
  }
  TraceMsg(true, ZONE_ERROR, "ERROR: rx_string(). input_len: %d, iSize: %d\r\n", i, iSize);
  return 0;
}

int transport_set_read_timeout(uint32_t ms) { return SetTimeout(kReadTimeout, ms); }

int transport_set_write_timeout(uint32_t ms) { return SetTimeout(kWriteTimeout, ms); }

int transport_purge_rx() {
  return Purge("transport_purge_rx", plat::kPurgeTxAbort | plat::kPurgeTxClear,
               "transport_purge_tx - ERROR purging TX buffer. win32err: 0x%x\r\n");
}

int transport_purge_tx() {
  return Purge("transport_purge_tx", plat::kPurgeRxAbort | plat::kPurgeRxClear,
               "transport_purge_tx - ERROR purging RX buffer. win32err: 0x%x\r\n");
}

int transport_set_baud(uint32_t baud) {
  if (g_port == plat::kNoHandle) return 1;
  plat::SerialSettings dcb;
  (void)plat::GetSerialSettings(g_port, &dcb);
  dcb.baud = baud;
  (void)plat::SetSerialSettings(g_port, dcb);
  return 1;
}
