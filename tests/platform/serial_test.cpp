// Serial ports on a pseudo-terminal whose master side plays the far end of the
// line: opening and sharing, line settings, timed reads and writes on the
// virtual clock, purging, modem lines and waits ended from another thread.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"
#include "test_support.h"

namespace {

using plat::kTimeoutAllBits;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSentinel = 0xCC;
// Reads return at once with what is buffered.
constexpr plat::SerialTimeouts kImmediate{kTimeoutAllBits, 0, 0, 0, 0};

plat::SerialTimeouts ReturnOnAny(uint32_t constant_ms) {
  return plat::SerialTimeouts{kTimeoutAllBits, kTimeoutAllBits, constant_ms, 0, 0};
}

// A pseudo-terminal in a fresh device root, its slave linked as "COM7:".
class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plat::OpenPseudoTerminal(&pty_)) << plat::LastError();
    master_.reset(pty_.master);
    ASSERT_TRUE(plat::SetSerialTimeouts(master_.get(), kImmediate));
    ASSERT_TRUE(plat::LinkComPort(L"COM7:", pty_.slave_path));
  }

  void TearDown() override { plat::testing::DetachSerialDouble(pty_.slave_path); }

  std::wstring SlavePath() const { return plat::Widen(pty_.slave_path); }

  plat::UniqueHandle OpenPort(const wchar_t* name = L"COM7:") {
    plat::Handle h = plat::OpenSerialPort(name);
    EXPECT_NE(h, plat::kInvalidHandle) << "error " << plat::LastError();
    return plat::UniqueHandle(h);
  }

  static void Send(plat::Handle h, const Bytes& bytes) {
    uint32_t done = 0;
    ASSERT_TRUE(plat::Write(h, bytes.data(), static_cast<uint32_t>(bytes.size()), &done)) << plat::LastError();
    ASSERT_EQ(done, bytes.size());
  }

  // Everything the far end has received so far.
  Bytes Received() {
    Bytes bytes(4096, kSentinel);
    uint32_t done = 0;
    EXPECT_TRUE(plat::Read(master_.get(), bytes.data(), static_cast<uint32_t>(bytes.size()), &done));
    bytes.resize(done);
    return bytes;
  }

  testsupport::TempDeviceRoot root_;
  plat::PseudoTerminal pty_;
  plat::UniqueHandle master_;
};

// The same on virtual time, with helpers for a second thread on the clock.
class SerialTimingTest : public SerialPortTest {
 protected:
  using Participant = testsupport::ClockThread;

  // Returns once every other participant waits: virtual time moved on.
  void UntilOthersWait() { plat::SleepMs(10); }

  plat::VirtualClock clock_;
};

using SerialConcurrencyTest = SerialTimingTest;

// --- opening ---------------------------------------------------------------

TEST_F(SerialPortTest, OpensByComNameOrPath) {
  const std::wstring slave = SlavePath();
  for (const wchar_t* name : {L"COM7:", L"com7:", L"\\COM7:", slave.c_str()}) {
    SCOPED_TRACE(plat::Narrow(name));
    plat::UniqueHandle port = OpenPort(name);
    ASSERT_TRUE(port.valid());
    Send(port.get(), {0x11, 0x22});
    EXPECT_EQ(Received(), (Bytes{0x11, 0x22}));  // the far end of this very line
  }
}

TEST_F(SerialPortTest, MissingDeviceIsNotFound) {
  ASSERT_TRUE(plat::LinkComPort(L"COM8:", "/dev/pts/flashwright-no-such-tty"));
  testsupport::WriteHostFile(root_.Host("COM5:"), "not a device");
  for (const wchar_t* name : {L"COM9:", L"COM8:", L"COM5:", L"/dev/flashwright-no-such-tty", L""}) {
    SCOPED_TRACE(plat::Narrow(name));
    plat::SetLastErrorCode(plat::kErrNone);
    EXPECT_EQ(plat::OpenSerialPort(name), plat::kInvalidHandle);
    EXPECT_EQ(plat::LastError(), plat::kErrNotFound);
  }
}

TEST_F(SerialPortTest, LinkComPortReplacesTheLink) {
  plat::PseudoTerminal other;
  ASSERT_TRUE(plat::OpenPseudoTerminal(&other));
  plat::UniqueHandle other_master(other.master);
  ASSERT_TRUE(plat::LinkComPort(L"com7:", other.slave_path));  // any spelling of the name
  plat::UniqueHandle port = OpenPort(L"COM7:");
  Send(port.get(), {0x5A});
  EXPECT_TRUE(Received().empty());
  uint8_t byte = kSentinel;
  uint32_t done = 0;
  ASSERT_TRUE(plat::SetSerialTimeouts(other_master.get(), kImmediate));
  ASSERT_TRUE(plat::Read(other_master.get(), &byte, 1, &done));
  EXPECT_EQ(done, 1u);
  EXPECT_EQ(byte, 0x5A);
}

TEST_F(SerialPortTest, SecondOpenIsRefusedUntilTheFirstCloses) {
  plat::UniqueHandle first = OpenPort(L"COM7:");
  for (const std::wstring& name : {std::wstring(L"COM7:"), SlavePath()}) {
    SCOPED_TRACE(plat::Narrow(name));
    EXPECT_EQ(plat::OpenSerialPort(name.c_str()), plat::kInvalidHandle);
    EXPECT_EQ(plat::LastError(), plat::kErrSharingViolation);
  }
  first.reset();
  plat::UniqueHandle again = OpenPort(SlavePath().c_str());
  EXPECT_TRUE(again.valid());
}

// The child reports through its exit status: 0 if the open did what it should.
int OpenInChild(const std::string& path, bool expect_open) {
  pid_t pid = fork();
  if (pid == 0) {
    plat::Handle h = plat::OpenSerialPort(plat::Widen(path).c_str());
    bool as_expected = expect_open ? h != plat::kInvalidHandle
                                   : h == plat::kInvalidHandle && plat::LastError() == plat::kErrSharingViolation;
    _exit(as_expected ? 0 : 1);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SerialPortTest, AnotherProcessCannotShareThePort) {
  plat::UniqueHandle port = OpenPort(L"COM7:");
  EXPECT_EQ(OpenInChild(pty_.slave_path, /*expect_open=*/false), 0);
  port.reset();
  EXPECT_EQ(OpenInChild(pty_.slave_path, /*expect_open=*/true), 0);
}

// The exclusive-use mark belongs to the tty, which the far end of a
// pseudo-terminal keeps alive: an open that fails after taking the line must
// not leave the mark behind, or every later open without rights is refused.
TEST_F(SerialPortTest, OpenThatFailsLateLeavesNoExclusiveMark) {
  // Room for exactly one more descriptor, the tty's own: the port's wake-up
  // event cannot be created, so the open fails once it holds the line.
  const int lowest_free = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lowest_free, 0);
  ::close(lowest_free);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free) + 1;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  const plat::Handle refused = plat::OpenSerialPort(L"COM7:");
  const plat::ErrorCode error = plat::LastError();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_EQ(refused, plat::kInvalidHandle);
  EXPECT_NE(error, plat::kErrNone);

  const int fd = ::open(pty_.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0) << errno;
  int exclusive = -1;
  EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0) << errno;
  ::close(fd);
  EXPECT_EQ(exclusive, 0);
  EXPECT_TRUE(OpenPort().valid());
}

// --- line settings -----------------------------------------------------------

TEST_F(SerialPortTest, EveryRateIsSetAndReadBack) {
  plat::UniqueHandle port = OpenPort();
  for (uint32_t baud : {1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u, 230400u, 460800u, 921600u,
                        256000u, 260400u, 250000u}) {
    SCOPED_TRACE(baud);
    plat::SerialSettings settings;
    settings.baud = baud;
    ASSERT_TRUE(plat::SetSerialSettings(port.get(), settings)) << plat::LastError();
    plat::SerialSettings back;
    back.baud = 0;
    ASSERT_TRUE(plat::GetSerialSettings(port.get(), &back));
    EXPECT_EQ(back.baud, baud);
    EXPECT_EQ(back.data_bits, 8);
    EXPECT_EQ(back.parity, plat::Parity::kNone);
    EXPECT_EQ(back.stop_bits, plat::StopBits::kOne);
  }
}

// A pty keeps 8 data bits without parity whatever it is told, so only stop
// bits and flow control can show here that they reach the line.
TEST_F(SerialPortTest, StopBitsAndFlowControlReadBack) {
  struct Case {
    bool parity_check;
    plat::StopBits stop_bits;
    bool cts_flow;
    bool xon_xoff;
  };
  const Case cases[] = {
      {false, plat::StopBits::kTwo, false, false},
      {true, plat::StopBits::kOne, true, false},
      {false, plat::StopBits::kOne, false, true},
      {false, plat::StopBits::kOne, false, false},
  };
  plat::UniqueHandle port = OpenPort();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "stop " << int(c.stop_bits) << ", cts " << c.cts_flow << ", xon "
                                    << c.xon_xoff);
    plat::SerialSettings settings;
    settings.baud = 57600;
    settings.parity_check = c.parity_check;
    settings.stop_bits = c.stop_bits;
    settings.cts_output_flow = c.cts_flow;
    settings.rts = c.cts_flow ? plat::LineControl::kHandshake : plat::LineControl::kDisable;
    settings.xon_xoff_input = settings.xon_xoff_output = c.xon_xoff;
    ASSERT_TRUE(plat::SetSerialSettings(port.get(), settings)) << plat::LastError();
    plat::SerialSettings back;
    ASSERT_TRUE(plat::GetSerialSettings(port.get(), &back));
    EXPECT_EQ(back.baud, 57600u);
    EXPECT_EQ(back.parity_check, c.parity_check);
    EXPECT_EQ(back.stop_bits, c.stop_bits);
    EXPECT_EQ(back.cts_output_flow, c.cts_flow);
    EXPECT_EQ(back.rts, settings.rts);
    EXPECT_EQ(back.xon_xoff_output, c.xon_xoff);
    EXPECT_EQ(back.xon_xoff_input, c.xon_xoff);
  }
}

// Refused before reaching the line (no form on this system) or after it
// (the line did not take them: a pty has neither parity nor 7 data bits).
TEST_F(SerialPortTest, SettingsTheLineCannotTakeAreRefused) {
  const std::function<void(plat::SerialSettings*)> changes[] = {
      [](plat::SerialSettings* s) { s->stop_bits = plat::StopBits::kOneAndHalf; },
      [](plat::SerialSettings* s) { s->data_bits = 9; },
      [](plat::SerialSettings* s) { s->baud = 0; },
      [](plat::SerialSettings* s) { s->dsr_output_flow = true; },
      [](plat::SerialSettings* s) { s->dtr = plat::LineControl::kHandshake; },
      [](plat::SerialSettings* s) { s->rts = plat::LineControl::kToggle; },
      [](plat::SerialSettings* s) { s->data_bits = 7; },
      [](plat::SerialSettings* s) { s->parity = plat::Parity::kEven; },
      [](plat::SerialSettings* s) { s->parity = plat::Parity::kMark; },
  };
  plat::UniqueHandle port = OpenPort();
  plat::SerialSettings good;
  good.baud = 19200;
  ASSERT_TRUE(plat::SetSerialSettings(port.get(), good));
  for (size_t i = 0; i < std::size(changes); ++i) {
    SCOPED_TRACE(i);
    plat::SerialSettings bad = good;
    bad.baud = 38400;
    bad.stop_bits = plat::StopBits::kTwo;
    changes[i](&bad);
    EXPECT_FALSE(plat::SetSerialSettings(port.get(), bad));
    EXPECT_EQ(plat::LastError(), plat::kErrInvalidParameter);
    plat::SerialSettings back;
    ASSERT_TRUE(plat::GetSerialSettings(port.get(), &back));
    EXPECT_EQ(back.baud, 19200u);  // nothing of the refused settings stuck
    EXPECT_EQ(back.stop_bits, plat::StopBits::kOne);
  }
}

TEST_F(SerialPortTest, DoubleRefusesSettingsAndCutsWritesShort) {
  auto port_double = plat::testing::AttachSerialDouble(pty_.slave_path);
  port_double->refuse_settings = true;
  port_double->write_limit = 3;
  plat::UniqueHandle port = OpenPort(L"COM7:");  // found through the link
  plat::SerialSettings settings;
  EXPECT_FALSE(plat::SetSerialSettings(port.get(), settings));
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidParameter);
  EXPECT_TRUE(plat::GetSerialSettings(port.get(), &settings));

  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  uint32_t done = 0;
  EXPECT_TRUE(plat::Write(port.get(), data.data(), static_cast<uint32_t>(data.size()), &done));
  EXPECT_EQ(done, 3u);
  EXPECT_EQ(Received(), (Bytes{1, 2, 3}));
}

// --- timeouts on virtual time --------------------------------------------

TEST_F(SerialTimingTest, ReadFollowsTheTimeouts) {
  constexpr uint32_t kAskFor = 4;
  struct Case {
    const char* what;
    plat::SerialTimeouts timeouts;
    Bytes buffered;
    uint32_t expect_read;
    uint64_t expect_elapsed_ms;
  };
  const Case cases[] = {
      {"buffered bytes return at once", ReturnOnAny(250), {1, 2}, 2, 0},
      {"no more than asked for", ReturnOnAny(250), {1, 2, 3, 4, 5, 6}, 4, 0},
      {"silent line: nothing after the constant", ReturnOnAny(250), {}, 0, 250},
      {"immediate: nothing at once", kImmediate, {}, 0, 0},
      {"total budget: multiplier per byte plus constant", {0, 10, 100, 0, 0}, {}, 0, 140},
      {"total budget waits for the rest", {0, 0, 200, 0, 0}, {7, 8}, 2, 200},
      {"total budget ends early when all arrived", {0, 0, 200, 0, 0}, {7, 8, 9, 10}, 4, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::UniqueHandle port = OpenPort();
    ASSERT_TRUE(plat::SetSerialTimeouts(port.get(), c.timeouts));
    if (!c.buffered.empty()) Send(master_.get(), c.buffered);
    uint8_t buffer[8];
    std::memset(buffer, kSentinel, sizeof buffer);
    uint32_t done = 99;
    uint64_t start = clock_.Now();
    ASSERT_TRUE(plat::Read(port.get(), buffer, kAskFor, &done));
    EXPECT_EQ(clock_.Now() - start, c.expect_elapsed_ms);
    ASSERT_EQ(done, c.expect_read);
    EXPECT_EQ(Bytes(buffer, buffer + done), Bytes(c.buffered.begin(), c.buffered.begin() + done));
    for (size_t i = done; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], kSentinel) << "byte " << i;
    ASSERT_TRUE(plat::PurgeSerial(port.get(), plat::kPurgeRxClear));
  }
}

TEST_F(SerialTimingTest, FirstByteEndsTheWait) {
  plat::UniqueHandle port = OpenPort();
  ASSERT_TRUE(plat::SetSerialTimeouts(port.get(), ReturnOnAny(5000)));
  Participant peer([this] {
    plat::SleepMs(300);
    Send(master_.get(), {0x41});
    plat::SleepMs(300);
    Send(master_.get(), {0x42});
  });
  uint8_t buffer[4];
  std::memset(buffer, kSentinel, sizeof buffer);
  uint32_t done = 0;
  ASSERT_TRUE(plat::Read(port.get(), buffer, sizeof buffer, &done));
  EXPECT_EQ(clock_.Now(), 300u);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0x41, kSentinel, kSentinel, kSentinel}));
  EXPECT_EQ(done, 1u);
  // The next read waits for the next byte.
  ASSERT_TRUE(plat::Read(port.get(), buffer, sizeof buffer, &done));
  EXPECT_EQ(clock_.Now(), 600u);
  EXPECT_EQ(Bytes(buffer, buffer + done), (Bytes{0x42}));
  peer.Join();
}

TEST_F(SerialTimingTest, IntervalEndsAReadAfterAGap) {
  plat::UniqueHandle port = OpenPort();
  ASSERT_TRUE(plat::SetSerialTimeouts(port.get(), {50, 0, 0, 0, 0}));
  Participant peer([this] {
    plat::SleepMs(1000);  // the first byte may take as long as it likes
    Send(master_.get(), {1});
    plat::SleepMs(30);
    Send(master_.get(), {2});
    plat::SleepMs(80);  // a gap longer than the interval
    Send(master_.get(), {3});
  });
  uint8_t buffer[8];
  uint32_t done = 0;
  ASSERT_TRUE(plat::Read(port.get(), buffer, sizeof buffer, &done));
  EXPECT_EQ(clock_.Now(), 1080u);
  EXPECT_EQ(Bytes(buffer, buffer + done), (Bytes{1, 2}));
  peer.Join();
}

TEST_F(SerialTimingTest, WriteThatCannotFinishTimesOut) {
  plat::UniqueHandle port = OpenPort();
  ASSERT_TRUE(plat::SetSerialTimeouts(port.get(), {0, 0, 0, 0, 500}));
  // Nobody reads the far end: the line's buffers fill up.
  Bytes data(1 << 20, 0x55);
  uint32_t done = 0;
  EXPECT_FALSE(plat::Write(port.get(), data.data(), static_cast<uint32_t>(data.size()), &done));
  EXPECT_EQ(plat::LastError(), plat::kErrTimeout);
  EXPECT_EQ(clock_.Now(), 500u);
  EXPECT_GT(done, 0u);
  EXPECT_LT(done, data.size());
}

// --- purging, modem lines ------------------------------------------------

TEST_F(SerialPortTest, PurgeClearsEachDirectionOnItsOwn) {
  plat::UniqueHandle port = OpenPort();
  ASSERT_TRUE(plat::SetSerialTimeouts(port.get(), kImmediate));
  uint8_t buffer[8];
  uint32_t done = 0;

  Send(master_.get(), {1, 2, 3});
  EXPECT_TRUE(plat::PurgeSerial(port.get(), plat::kPurgeTxAbort | plat::kPurgeTxClear | plat::kPurgeRxAbort));
  ASSERT_TRUE(plat::Read(port.get(), buffer, sizeof buffer, &done));
  EXPECT_EQ(done, 3u) << "clearing the transmit side kept what was received";

  Send(master_.get(), {4, 5, 6});
  EXPECT_TRUE(plat::PurgeSerial(port.get(), plat::kPurgeRxClear));
  ASSERT_TRUE(plat::Read(port.get(), buffer, sizeof buffer, &done));
  EXPECT_EQ(done, 0u);

  // The master side purges what the port sent.
  Send(port.get(), {7, 8});
  EXPECT_TRUE(plat::PurgeSerial(master_.get(), plat::kPurgeRxAbort | plat::kPurgeRxClear));
  EXPECT_TRUE(Received().empty());

  EXPECT_FALSE(plat::PurgeSerial(port.get(), 0x10));
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidParameter);
}

TEST_F(SerialPortTest, ModemLinesAndBreak) {
  plat::UniqueHandle pty_port = OpenPort();
  uint32_t status = kSentinel;
  EXPECT_TRUE(plat::GetModemStatus(pty_port.get(), &status));
  EXPECT_EQ(status, 0u) << "a pty has no modem lines";
  EXPECT_TRUE(plat::SetModemLines(pty_port.get(), true, false));
  EXPECT_TRUE(plat::SetBreak(pty_port.get()));
  EXPECT_TRUE(plat::ClearBreak(pty_port.get()));
  pty_port.reset();

  auto port_double = plat::testing::AttachSerialDouble(pty_.slave_path);
  port_double->SetModemStatus(plat::kModemCts | plat::kModemDcd);
  plat::UniqueHandle port = OpenPort();
  EXPECT_TRUE(plat::GetModemStatus(port.get(), &status));
  EXPECT_EQ(status, plat::kModemCts | plat::kModemDcd);

  // The master side is no serial port.
  plat::SerialSettings settings;
  EXPECT_FALSE(plat::GetModemStatus(master_.get(), &status));
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidHandle);
  EXPECT_FALSE(plat::SetSerialSettings(master_.get(), settings));
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidHandle);
}

// --- waits ended from another thread -----------------------------------

TEST_F(SerialConcurrencyTest, ModemWaitEndsWhenASelectedLineChanges) {
  auto port_double = plat::testing::AttachSerialDouble(pty_.slave_path);
  plat::UniqueHandle port = OpenPort();
  ASSERT_TRUE(plat::SetModemEventMask(port.get(), plat::kModemCts));
  uint32_t events = 0;
  bool ok = false;
  Participant waiter([&] {
    ok = plat::WaitModemEvent(port.get(), &events);
  });
  UntilOthersWait();
  port_double->SetModemStatus(plat::kModemDsr);  // not selected
  UntilOthersWait();
  EXPECT_FALSE(waiter.finished());
  port_double->SetModemStatus(plat::kModemDsr | plat::kModemCts);
  waiter.Join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(events, plat::kModemCts);
}

TEST_F(SerialConcurrencyTest, CloseEndsAModemWait) {
  plat::Handle port = plat::OpenSerialPort(L"COM7:");
  ASSERT_NE(port, plat::kInvalidHandle);
  ASSERT_TRUE(plat::SetModemEventMask(port, plat::kModemCts | plat::kModemDsr));
  bool ok = true;
  plat::ErrorCode error = plat::kErrNone;
  Participant waiter([&] {
    uint32_t events = 0;
    ok = plat::WaitModemEvent(port, &events);
    error = plat::LastError();
  });
  UntilOthersWait();
  EXPECT_TRUE(plat::CloseHandle(port));
  waiter.Join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, plat::kErrOperationAborted);
  plat::UniqueHandle again = OpenPort();  // the close released the port
  EXPECT_TRUE(again.valid());
}

TEST_F(SerialConcurrencyTest, CloseEndsABlockedRead) {
  // No timeouts: a read waits for as long as it takes.
  plat::Handle port = plat::OpenSerialPort(L"COM7:");
  ASSERT_NE(port, plat::kInvalidHandle);
  ASSERT_TRUE(plat::SetSerialTimeouts(master_.get(), {}));
  for (plat::Handle h : {port, master_.release()}) {
    SCOPED_TRACE(h == port ? "serial port" : "pty master");
    uint8_t buffer[4];
    std::memset(buffer, kSentinel, sizeof buffer);
    uint32_t done = 99;
    bool ok = true;
    plat::ErrorCode error = plat::kErrNone;
    Participant reader([&] {
      ok = plat::Read(h, buffer, sizeof buffer, &done);
      error = plat::LastError();
    });
    UntilOthersWait();
    EXPECT_TRUE(plat::CloseHandle(h));
    reader.Join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, plat::kErrOperationAborted);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes(4, kSentinel));
  }
}

}  // namespace
