// The serial transport against a pseudo-terminal whose master side plays the
// scan engine, on virtual time. Trace lines are checked as the debugger
// output shows them and, for their zone, as the event log recorded them.
#include "transport.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "trace_log.h"

namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

constexpr uint8_t kSentinel = 0xCC;
constexpr plat::SerialTimeouts kImmediate{plat::kTimeoutAllBits, 0, 0, 0, 0};
// Never issued by the platform: handles are multiples of 4.
constexpr plat::Handle kBogusHandle = 0x1235;

template <class... Args>
std::string Format(const char* format, Args... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.InstallEventLogLibrary();
    ASSERT_TRUE(plat::OpenPseudoTerminal(&pty_)) << plat::LastError();
    master_.reset(pty_.master);
    ASSERT_TRUE(plat::SetSerialTimeouts(master_.get(), kImmediate));
    ASSERT_TRUE(plat::LinkComPort(L"COM7:", pty_.slave_path));
  }

  void TearDown() override {
    transport_close();
    plat::testing::DetachSerialDouble(pty_.slave_path);
    CloseTraceLog();
  }

  // (Re)opens the transport on the line and forgets the trace lines so far.
  void Open() {
    transport_close();
    ASSERT_EQ(transport_open("COM7:", 115200, 0), 1);
    trace_.Clear();
  }

  // Leaves the transport holding no port (whatever an earlier test left).
  void HoldNoPort() {
    Open();
    ASSERT_EQ(transport_close(), 1);
    ASSERT_EQ(transport_get_handle(), plat::kNoHandle);
    trace_.Clear();
  }

  // The engine's end of the line.
  void Send(const Bytes& bytes) {
    uint32_t done = 0;
    ASSERT_TRUE(plat::Write(master_.get(), bytes.data(), static_cast<uint32_t>(bytes.size()), &done));
    ASSERT_EQ(done, bytes.size());
  }

  Bytes Received() {
    Bytes bytes(4096);
    uint32_t done = 0;
    EXPECT_TRUE(plat::Read(master_.get(), bytes.data(), static_cast<uint32_t>(bytes.size()), &done));
    bytes.resize(done);
    return bytes;
  }

  // Each line must have been traced in `zone` with the event-log flag set.
  void ExpectEventLogged(uint32_t zone, const Lines& lines) {
    const std::string log = testsupport::ReadHostFile(root_.Host("Windows/eventlog.txt"));
    for (const std::string& line : lines) {
      EXPECT_NE(log.find(Format("0x%08X ", zone) + line), std::string::npos) << "not in the event log: " << line;
    }
  }

  // The trace lines since the last Clear are exactly `lines`, all in `zone`.
  void ExpectTrace(uint32_t zone, const Lines& lines) {
    EXPECT_EQ(trace_.Messages(), lines);
    ExpectEventLogged(zone, lines);
  }

  testsupport::TempDeviceRoot root_;
  plat::VirtualClock clock_;
  testsupport::DebugCapture trace_;
  plat::PseudoTerminal pty_;
  plat::UniqueHandle master_;
};

// --- opening and closing ---------------------------------------------------

TEST_F(TransportTest, OpenSetsTheLineUpAndEmptiesIt) {
  for (uint32_t baud : {115200u, 230400u, 256000u}) {
    SCOPED_TRACE(baud);
    Send({0xEE, 0xEF});  // left over from before the open
    trace_.Clear();
    ASSERT_EQ(transport_open("COM7:", baud, 0), 1);
    const plat::Handle h = transport_get_handle();
    ASSERT_NE(h, plat::kNoHandle);
    ExpectTrace(ZONE_INFO,
                {Format("transport_open - in.  sPort: COM7:, baud: %u, hPort: 0xx0\r\n", baud),
                 Format("transport_open - x%x=CreateFile(COM7:)\r\n", h),
                 Format("transport_open - DCB = baud: %u, parity: 0, stopbits: 1, databits: 8\r\n", baud),
                 Format("transport_open - Cur DCB state.  baud: %u, parity: 0, databits: 8\r\n", baud),
                 "transport_set_read_timeout - Accepted timeout settings; interval: -1, multi: -1, const: 5000\r\n",
                 "transport_set_write_timeout - Accepted timeout settings; multi: 0, const: 1000\r\n"});

    plat::SerialSettings settings;
    ASSERT_TRUE(plat::GetSerialSettings(h, &settings));
    EXPECT_EQ(settings.baud, baud);
    EXPECT_EQ(settings.data_bits, 8);
    EXPECT_EQ(settings.parity, plat::Parity::kNone);
    EXPECT_EQ(settings.stop_bits, plat::StopBits::kOne);
    EXPECT_FALSE(settings.cts_output_flow);
    EXPECT_FALSE(settings.xon_xoff_input || settings.xon_xoff_output);
    plat::SerialTimeouts timeouts;
    ASSERT_TRUE(plat::GetSerialTimeouts(h, &timeouts));
    EXPECT_EQ(timeouts.read_interval, plat::kTimeoutAllBits);
    EXPECT_EQ(timeouts.read_multiplier, plat::kTimeoutAllBits);
    EXPECT_EQ(timeouts.read_constant, 5000u);
    EXPECT_EQ(timeouts.write_multiplier, 0u);
    EXPECT_EQ(timeouts.write_constant, 1000u);

    uint8_t byte = kSentinel;
    const uint64_t start = clock_.Now();
    EXPECT_EQ(transport_rx_byte(&byte), 0) << "the bytes from before the open were purged";
    EXPECT_EQ(clock_.Now() - start, 5000u);
    EXPECT_EQ(byte, kSentinel);

    trace_.Clear();
    EXPECT_EQ(transport_close(), 1);
    ExpectTrace(ZONE_INFO, {Format("transport_close - Closing port. hport: 0x%X\r\n", h)});
  }
}

TEST_F(TransportTest, AdoptedHandleIsUsedAsItIs) {
  plat::Handle h = plat::OpenSerialPort(L"COM7:");
  ASSERT_NE(h, plat::kInvalidHandle);
  plat::SerialSettings settings;
  settings.baud = 9600;
  ASSERT_TRUE(plat::SetSerialSettings(h, settings));
  const plat::SerialTimeouts own_timeouts{plat::kTimeoutAllBits, plat::kTimeoutAllBits, 250, 0, 0};
  ASSERT_TRUE(plat::SetSerialTimeouts(h, own_timeouts));
  Send({0x55});

  ASSERT_EQ(transport_open("COM7:", 115200, h), 1);
  EXPECT_EQ(transport_get_handle(), h);
  ExpectTrace(ZONE_INFO, {Format("transport_open - in.  sPort: COM7:, baud: 115200, hPort: 0xx%x\r\n", h),
                          "transport_open - Using already configured port handle\r\n"});
  ASSERT_TRUE(plat::GetSerialSettings(h, &settings));
  EXPECT_EQ(settings.baud, 9600u);
  plat::SerialTimeouts timeouts;
  ASSERT_TRUE(plat::GetSerialTimeouts(h, &timeouts));
  EXPECT_EQ(timeouts.read_constant, 250u);
  EXPECT_EQ(timeouts.write_constant, 0u);
  uint8_t byte = 0;
  EXPECT_EQ(transport_rx_byte(&byte), 1) << "nothing was purged";
  EXPECT_EQ(byte, 0x55);

  EXPECT_EQ(transport_close(), 1);
  EXPECT_FALSE(plat::GetSerialTimeouts(h, &timeouts)) << "the adopted handle was closed";
  plat::UniqueHandle again(plat::OpenSerialPort(L"COM7:"));
  EXPECT_TRUE(again.valid());
}

TEST_F(TransportTest, AdoptedUnusableHandleStillOpens) {
  ASSERT_EQ(transport_open("COM7:", 115200, kBogusHandle), 1);
  EXPECT_EQ(transport_get_handle(), kBogusHandle);
  trace_.Clear();
  EXPECT_EQ(transport_tx_byte(0x01), 0);
  ExpectTrace(ZONE_ERROR, {"transport_tx_byte - ERROR WriteFile. win32err: 0x9\r\n"});
  trace_.Clear();
  EXPECT_EQ(transport_close(), 0);
  EXPECT_EQ(trace_.Messages(), (Lines{"transport_close - Closing port. hport: 0x1235\r\n",
                                      "ERROR Closing port: 0x1235, win32err: 0x9\r\n"}));
  ExpectEventLogged(ZONE_ERROR, {"ERROR Closing port: 0x1235, win32err: 0x9\r\n"});
  EXPECT_EQ(transport_get_handle(), kBogusHandle);
}

TEST_F(TransportTest, FailedOpenKeepsTheHeldPort) {
  struct Case {
    std::string name;
    plat::ErrorCode error;
  };
  const Case cases[] = {
      {"COM9:", plat::kErrNotFound},
      {"/dev/flashwright-no-such-tty", plat::kErrNotFound},
      {"COM7:", plat::kErrSharingViolation},  // the transport itself holds it
      {"COM" + std::string(252, '9'), plat::kErrNotFound},  // 255 characters still fit
      {"COM" + std::string(253, '9'), plat::kErrBufferTooSmall},  // refused, not cut short
  };
  Open();
  const plat::Handle held = transport_get_handle();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 40));
    trace_.Clear();
    EXPECT_EQ(transport_open(c.name.c_str(), 115200, 0), 0);
    const std::string error_line = Format("transport_open - ERROR opening transport. win32err: 0x%x\r\n", c.error);
    EXPECT_EQ(trace_.Messages(),
              (Lines{Format("transport_open - in.  sPort: %s, baud: 115200, hPort: 0xx0\r\n", c.name.c_str()),
                     error_line}));
    ExpectEventLogged(ZONE_ERROR, {error_line});
    EXPECT_EQ(transport_get_handle(), held);
  }
  EXPECT_EQ(transport_tx_byte(0x7E), 1);
  EXPECT_EQ(Received(), Bytes{0x7E});
}

TEST_F(TransportTest, RefusedLineSettingsStillOpen) {
  plat::testing::AttachSerialDouble(pty_.slave_path)->refuse_settings = true;
  Send({0xEE});
  ASSERT_EQ(transport_open("COM7:", 115200, 0), 1);
  ExpectEventLogged(ZONE_ERROR, {"transport_open - Failed to set DCB\r\n"});
  EXPECT_EQ(trace_.Count("transport_open - Failed to set DCB\r\n"), 1);
  EXPECT_FALSE(trace_.Contains("DCB = "));
  EXPECT_TRUE(trace_.Contains("transport_open - Cur DCB state."));
  plat::SerialTimeouts timeouts;
  ASSERT_TRUE(plat::GetSerialTimeouts(transport_get_handle(), &timeouts));
  EXPECT_EQ(timeouts.read_constant, 5000u);
  EXPECT_EQ(timeouts.write_constant, 1000u);
  uint8_t byte = kSentinel;
  EXPECT_EQ(transport_rx_byte(&byte), 0) << "the receive side was purged";
  EXPECT_EQ(byte, kSentinel);
}

TEST_F(TransportTest, CloseWithNothingHeldDoesNothing) {
  HoldNoPort();
  EXPECT_EQ(transport_close(), 1);
  EXPECT_TRUE(trace_.Messages().empty());
  ASSERT_EQ(transport_open("COM7:", 115200, plat::kInvalidHandle), 1);  // the invalid value adopted
  trace_.Clear();
  EXPECT_EQ(transport_close(), 1);
  EXPECT_TRUE(trace_.Messages().empty());
}

// --- sending and receiving ---------------------------------------------

TEST_F(TransportTest, SendsGoOutMostSignificantByteFirst) {
  struct Case {
    const char* what;
    std::function<int()> send;
    Bytes line;
  };
  const Case cases[] = {
      {"tx_byte", [] { return transport_tx_byte(0xA5); }, {0xA5}},
      {"tx_word", [] { return transport_tx_word(0x1234); }, {0x12, 0x34}},
      {"tx_long", [] { return transport_tx_long(0x12345678); }, {0x12, 0x34, 0x56, 0x78}},
      {"tx_bytes",
       [] {
         const uint8_t data[] = {1, 2, 3};
         return transport_tx_bytes(data, sizeof data);
       },
       {1, 2, 3}},
  };
  Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.send(), 1);
    EXPECT_EQ(Received(), c.line);
  }
  EXPECT_TRUE(trace_.Messages().empty());
}

TEST_F(TransportTest, ReceivesAssembleBigEndianAndAcknowledgeAsTheyShould) {
  struct Case {
    const char* what;
    Bytes line;
    std::function<int(uint32_t*)> receive;
    uint32_t value;
    size_t acks;
  };
  const Case cases[] = {
      {"rx_byte", {0x42}, [](uint32_t* v) { uint8_t b = 0; int r = transport_rx_byte(&b); *v = b; return r; }, 0x42, 0},
      {"rx_byte_ack", {0x42}, [](uint32_t* v) { uint8_t b = 0; int r = transport_rx_byte_ack(&b); *v = b; return r; },
       0x42, 1},
      {"rx_word", {0xAB, 0xCD}, [](uint32_t* v) { uint16_t w = 0; int r = transport_rx_word(&w); *v = w; return r; },
       0xABCD, 0},
      {"rx_word_ack", {0xAB, 0xCD},
       [](uint32_t* v) { uint16_t w = 0; int r = transport_rx_word_ack(&w); *v = w; return r; }, 0xABCD, 2},
      {"rx_long", {0x12, 0x34, 0x56, 0x78}, [](uint32_t* v) { return transport_rx_long(v); }, 0x12345678, 0},
      {"rx_long_ack", {0x12, 0x34, 0x56, 0x78}, [](uint32_t* v) { return transport_rx_long_ack(v); }, 0x12345678,
       4},
      {"rx_expect", {0x42}, [](uint32_t* v) { uint8_t b = 0; int r = transport_rx_expect(0x42, &b); *v = b; return r; },
       0x42, 0},
  };
  Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Send(c.line);
    uint32_t value = 0;
    EXPECT_EQ(c.receive(&value), 1);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(Received(), Bytes(c.acks, ACK));
  }
  EXPECT_TRUE(trace_.Messages().empty());
}

TEST_F(TransportTest, RxBytesTakesWhatIsBuffered) {
  Open();
  Send({1, 2, 3});
  uint8_t buffer[8];
  std::memset(buffer, kSentinel, sizeof buffer);
  uint32_t count = sizeof buffer;
  EXPECT_EQ(transport_rx_bytes(buffer, &count), 1);
  EXPECT_EQ(clock_.Now(), 0u);
  EXPECT_EQ(Bytes(buffer, buffer + sizeof buffer), (Bytes{1, 2, 3, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel}));
  EXPECT_EQ(count, 3u);
}

// A thread on the virtual clock playing the engine.
using Engine = testsupport::ClockThread;

TEST_F(TransportTest, WordAckAnswersTheFirstByteBeforeTheSecondComes) {
  Open();
  ASSERT_TRUE(plat::SetSerialTimeouts(master_.get(), {plat::kTimeoutAllBits, plat::kTimeoutAllBits, 1000, 0, 0}));
  Bytes acks_before_second;
  Bytes acks_after_second;
  uint16_t word = 0;
  {
    Engine engine([&] {
      Send({0xAB});
      acks_before_second = Received();  // waits up to 1000 ms for the ACK
      Send({0xCD});
      acks_after_second = Received();
    });
    EXPECT_EQ(transport_rx_word_ack(&word), 1);
  }
  EXPECT_EQ(word, 0xABCD);
  EXPECT_EQ(acks_before_second, Bytes{ACK});
  EXPECT_EQ(acks_after_second, Bytes{ACK});
}

TEST_F(TransportTest, RxStringTakesATextUpToItsNul) {
  struct Case {
    const char* what;
    int size;
    std::string line;
    int result;
    size_t acks;
    std::string error;  // the one trace line, if any
    size_t left_on_line;
    uint64_t elapsed_ms;
  };
  const std::string long_text(255, 'a');
  const Case cases[] = {
      {"two letters and a NUL", 4, "ab\0Z"s, 1, 3, "", 1, 0},
      {"five letters", 4, "abcdeZ", 0, 5, "ERROR: rx_string(). input_len: 5, iSize: 4\r\n", 1, 0},
      {"four letters and a NUL", 4, "abcd\0Z"s, 0, 5, "ERROR: rx_string(). input_len: 4, iSize: 4\r\n", 1, 0},
      {"the line goes silent", 4, "ab", 0, 2, "ERROR: rx_string(). input_len: 2, iSize: 4\r\n", 0, 8000},
      {"255 letters and a NUL", 256, long_text + "\0Z"s, 1, 256, "", 1, 0},
      {"257 letters, one past the buffer", 256, long_text + "bcZ", 0, 257,
       "ERROR: rx_string(). input_len: 257, iSize: 256\r\n", 1, 0},
      {"iSize above 256", 257, "abZ", 0, 0, "ERROR: transport_rx_string(), Client input buff too small\r\n", 3, 0},
  };
  Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    trace_.Clear();
    Send(ToBytes(c.line));
    char buffer[300];
    std::memset(buffer, kSentinel, sizeof buffer);
    const uint64_t start = clock_.Now();
    EXPECT_EQ(transport_rx_string(buffer, c.size), c.result);
    EXPECT_EQ(clock_.Now() - start, c.elapsed_ms);
    EXPECT_EQ(Received(), Bytes(c.acks, ACK));
    if (c.error.empty()) {
      EXPECT_TRUE(trace_.Messages().empty());
    } else {
      ExpectTrace(ZONE_ERROR, {c.error});
    }
    const std::string text = c.result == 1 ? c.line.substr(0, c.line.find('\0') + 1) : "";
    EXPECT_EQ(std::string(buffer, text.size()), text);
    for (size_t i = text.size(); i < sizeof buffer; ++i) {
      ASSERT_EQ(static_cast<uint8_t>(buffer[i]), kSentinel) << "byte " << i << " of the caller's buffer";
    }
    uint8_t rest[8];
    uint32_t count = c.left_on_line == 0 ? 0 : sizeof rest;
    if (count != 0) {
      EXPECT_EQ(transport_rx_bytes(rest, &count), 1);
    }
    EXPECT_EQ(count, c.left_on_line) << "bytes the receive left on the line";
  }
}

TEST_F(TransportTest, SilentLineFailsAfterTheReadTimeout) {
  struct Case {
    const char* what;
    uint32_t read_timeout_ms;  // 0: as the open set it
    Bytes line;
    std::function<int()> receive;
    uint64_t elapsed_ms;
    size_t acks;
    std::string error;  // the one trace line, if any
  };
  const auto rx_byte = [] { uint8_t b = 0; return transport_rx_byte(&b); };
  const auto rx_byte_ack = [] { uint8_t b = 0; return transport_rx_byte_ack(&b); };
  const auto rx_word = [] { uint16_t w = 0; return transport_rx_word(&w); };
  const auto rx_word_ack = [] { uint16_t w = 0; return transport_rx_word_ack(&w); };
  const Case cases[] = {
      {"rx_byte", 0, {}, rx_byte, 5000, 0, ""},
      {"rx_byte, timeout changed", 1000, {}, rx_byte, 1000, 0, ""},
      {"rx_byte_ack", 0, {}, rx_byte_ack, 8000, 0, ""},
      {"rx_byte_ack, timeout changed", 1000, {}, rx_byte_ack, 4000, 0, ""},
      {"rx_word_ack", 0, {}, rx_word_ack, 8000, 0, ""},
      {"rx_word_ack, low byte missing", 0, {0xAB}, rx_word_ack, 8000, 1, ""},
      {"rx_long_ack, low word missing", 0, {0x12, 0x34}, [] { uint32_t v = 0; return transport_rx_long_ack(&v); },
       8000, 2, ""},
      {"rx_word", 0, {}, rx_word, 5000, 0, "ERROR transport_rx_word: rx'ing first byte of word, rx1: 0x0\r\n"},
      {"rx_word, low byte missing", 0, {0xAB}, rx_word, 5000, 0,
       "ERROR transport_rx_word: rx'd second byte of word, rx2: 0x0\r\n"},
      {"rx_long", 0, {}, [] { uint32_t v = 0; return transport_rx_long(&v); }, 5000, 0,
       "ERROR transport_rx_word: rx'ing first byte of word, rx1: 0x0\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Open();
    if (c.read_timeout_ms != 0) {
      ASSERT_EQ(transport_set_read_timeout(c.read_timeout_ms), 1);
    }
    Send(c.line);
    trace_.Clear();
    const uint64_t start = clock_.Now();
    EXPECT_EQ(c.receive(), 0);
    EXPECT_EQ(clock_.Now() - start, c.elapsed_ms);
    EXPECT_EQ(Received(), Bytes(c.acks, ACK));
    if (c.error.empty()) {
      EXPECT_TRUE(trace_.Messages().empty());
    } else {
      ExpectTrace(ZONE_ERROR, {c.error});
    }
  }
}

TEST_F(TransportTest, RxExpectStoresWhatCame) {
  struct Case {
    Bytes line;
    int result;
    uint8_t stored;
  };
  const Case cases[] = {
      {{0x15}, 0, 0x15},  // a different byte is still stored
      {{0x06}, 1, 0x06},
      {{}, 0, kSentinel},  // nothing came: the output is left alone
  };
  Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.empty() ? -1 : c.line[0]);
    Send(c.line);
    uint8_t received = kSentinel;
    EXPECT_EQ(transport_rx_expect(0x06, &received), c.result);
    EXPECT_EQ(received, c.stored);
  }
  EXPECT_TRUE(trace_.Messages().empty());
}

TEST_F(TransportTest, ShortWriteCountsAsSuccess) {
  plat::testing::AttachSerialDouble(pty_.slave_path)->write_limit = 2;
  Open();
  const uint8_t data[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(transport_tx_bytes(data, sizeof data), 1);
  EXPECT_EQ(Received(), (Bytes{1, 2}));
  EXPECT_TRUE(trace_.Messages().empty());
}

TEST_F(TransportTest, FailedWritesAreTraced) {
  struct Case {
    const char* what;
    std::function<int()> send;
    Lines lines;
  };
  const std::string tx_byte_error = "transport_tx_byte - ERROR WriteFile. win32err: 0x5\r\n";
  const Case cases[] = {
      {"tx_byte", [] { return transport_tx_byte(1); }, {tx_byte_error}},
      {"tx_bytes",
       [] {
         const uint8_t data[] = {1, 2};
         return transport_tx_bytes(data, sizeof data);
       },
       {tx_byte_error}},
      {"tx_word", [] { return transport_tx_word(0x0102); }, {tx_byte_error, "transport_tx_word - ERROR transport_tx_byte\r\n"}},
      {"tx_long", [] { return transport_tx_long(0x01020304); },
       {"transport_tx_long - ERROR WriteFile.  win32err: 0x5, written: 0x0\r\n"}},
  };
  Open();
  master_.reset();  // the engine's end hangs up: writes fail with an I/O error
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    trace_.Clear();
    EXPECT_EQ(c.send(), 0);
    ExpectTrace(ZONE_ERROR, c.lines);
  }
}

TEST_F(TransportTest, NothingWorksWithoutAPort) {
  struct Case {
    const char* what;
    std::function<int()> call;
    int result;
    Lines lines;
  };
  const Case cases[] = {
      {"tx_byte", [] { return transport_tx_byte(1); }, 0,
       {"transport_tx_byte - ERROR invalid handle.  win32err: 0x0\r\n"}},
      {"tx_bytes", [] { return transport_tx_bytes(reinterpret_cast<const uint8_t*>("ab"), 2); }, 0,
       {"transport_tx_bytes - ERROR invalid handle.  win32err: 0x0\r\n"}},
      {"tx_word", [] { return transport_tx_word(1); }, 0,
       {"transport_tx_byte - ERROR invalid handle.  win32err: 0x0\r\n", "transport_tx_word - ERROR transport_tx_byte\r\n"}},
      {"tx_long", [] { return transport_tx_long(1); }, 0,
       {"transport_tx_long - ERROR invalid handle.  win32err: 0x0\r\n"}},
      {"rx_byte", [] { uint8_t b = 0; return transport_rx_byte(&b); }, 0,
       {"transport_rx_byte - ERROR invalid handle.  win32err: 0x0\r\n"}},
      {"rx_bytes",
       [] {
         uint8_t buffer[4];
         uint32_t count = 4;
         int result = transport_rx_bytes(buffer, &count);
         EXPECT_EQ(count, 4u) << "the count is left as it was";
         return result;
       },
       0, {"transport_rx_bytes - Handle invalid. win32err: 0x0\r\n"}},
      {"set_read_timeout", [] { return transport_set_read_timeout(100); }, 0,
       {"transport_set_read_timeout - Handle invalid. win32err: 0x0\r\n"}},
      {"set_write_timeout", [] { return transport_set_write_timeout(100); }, 0,
       {"transport_set_write_timeout - Handle invalid. win32err: 0x0\r\n"}},
      {"purge_rx", [] { return transport_purge_rx(); }, 0, {"transport_purge_rx - ERROR invalid transport\r\n"}},
      {"purge_tx", [] { return transport_purge_tx(); }, 0, {"transport_purge_tx - ERROR invalid transport\r\n"}},
      {"set_baud", [] { return transport_set_baud(9600); }, 1, {}},
  };
  HoldNoPort();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    trace_.Clear();
    plat::SetLastErrorCode(plat::kErrNone);
    EXPECT_EQ(c.call(), c.result);
    ExpectTrace(ZONE_ERROR, c.lines);
  }
  EXPECT_EQ(transport_get_handle(), plat::kNoHandle);
}

// --- timeouts, purges, rate --------------------------------------------

TEST_F(TransportTest, TimeoutSettersLeaveTheOtherDirectionAlone) {
  Open();
  const plat::Handle h = transport_get_handle();
  plat::SerialTimeouts timeouts;
  EXPECT_EQ(transport_set_read_timeout(1000), 1);
  ASSERT_TRUE(plat::GetSerialTimeouts(h, &timeouts));
  EXPECT_EQ(timeouts.read_constant, 1000u);
  EXPECT_EQ(timeouts.write_constant, 1000u);
  EXPECT_EQ(transport_set_write_timeout(250), 1);
  ASSERT_TRUE(plat::GetSerialTimeouts(h, &timeouts));
  EXPECT_EQ(timeouts.read_interval, plat::kTimeoutAllBits);
  EXPECT_EQ(timeouts.read_multiplier, plat::kTimeoutAllBits);
  EXPECT_EQ(timeouts.read_constant, 1000u);
  EXPECT_EQ(timeouts.write_multiplier, 0u);
  EXPECT_EQ(timeouts.write_constant, 250u);
  ExpectTrace(ZONE_INFO,
              {"transport_set_read_timeout - Accepted timeout settings; interval: -1, multi: -1, const: 1000\r\n",
               "transport_set_write_timeout - Accepted timeout settings; multi: 0, const: 250\r\n"});
}

TEST_F(TransportTest, PurgeNamesAreCrossed) {
  Open();
  Send({1, 2});
  uint8_t byte = 0;
  EXPECT_EQ(transport_purge_rx(), 1);  // the transmit side: what came in stays
  EXPECT_EQ(transport_rx_byte(&byte), 1);
  EXPECT_EQ(byte, 1);
  EXPECT_EQ(transport_purge_tx(), 1);  // the receive side
  byte = kSentinel;
  EXPECT_EQ(transport_rx_byte(&byte), 0);
  EXPECT_EQ(byte, kSentinel);
  EXPECT_TRUE(trace_.Messages().empty());
}

TEST_F(TransportTest, SetBaudChangesOnlyTheRate) {
  Open();
  EXPECT_EQ(transport_set_baud(57600), 1);
  plat::SerialSettings settings;
  ASSERT_TRUE(plat::GetSerialSettings(transport_get_handle(), &settings));
  EXPECT_EQ(settings.baud, 57600u);
  EXPECT_EQ(settings.data_bits, 8);
  EXPECT_EQ(settings.stop_bits, plat::StopBits::kOne);
  EXPECT_EQ(settings.parity, plat::Parity::kNone);
}

}  // namespace
