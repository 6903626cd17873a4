// The simulated engine, driven by a scripted host through the transport
// under virtual time: its answers on the good paths, the host mistakes it
// catches, the faults it injects, and its timing.
#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine_wire.h"
#include "simulator.h"
#include "test_support.h"
#include "trace_log.h"
#include "transport.h"

namespace {

namespace wire = sim::wire;
using sim::EngineStep;
using sim::FaultKind;

constexpr uint32_t kReadTimeoutMs = TRANSPORT_READ_TIMEOUT_MS;

// Names a parameterised case by its `name` field (test names; PrintTo below
// for failure messages).
template <class Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param_info) {
  return param_info.param.name;
}

// A driver of `blocks` blocks whose bytes differ from block to block.
std::vector<uint8_t> Driver(int blocks) {
  std::vector<uint8_t> bytes(size_t(blocks) * wire::kBlockSize);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 3 + i / 256);
  return bytes;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

// Parameters of a write block frame: count, then address, high bytes first.
std::array<uint8_t, 8> WriteParams(uint16_t count, uint32_t address) {
  return {static_cast<uint8_t>(count >> 8),     static_cast<uint8_t>(count),
          static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
          static_cast<uint8_t>(address >> 8),  static_cast<uint8_t>(address)};
}

// The host's side, scripted on the transport. Every receive waits at most
// the transport's read timeout (virtual time).
class Host {
 public:
  // The next byte, or -1 when nothing arrived within the read timeout.
  int Rx() {
    uint8_t byte = 0;
    return transport_rx_byte(&byte) ? byte : -1;
  }
  void Tx(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(transport_tx_bytes(bytes.data(), static_cast<uint32_t>(bytes.size())), 1);
  }
  void TxLong(uint32_t value) { ASSERT_EQ(transport_tx_long(value), 1); }

  // Sends a command frame and its checksum (plus `checksum_error`).
  void Frame(uint8_t opcode, std::array<uint8_t, 8> params = {}, uint32_t checksum_error = 0) {
    std::vector<uint8_t> frame = {0x00, opcode};
    frame.insert(frame.end(), params.begin(), params.end());
    Tx(frame);
    TxLong(wire::BlockChecksum(frame.data(), frame.size()) + checksum_error);
  }
  // Sends a command frame and returns the engine's answer (RSP_ACK when taken).
  int Command(uint8_t opcode, std::array<uint8_t, 8> params = {}) {
    Frame(opcode, params);
    return Rx();
  }
  // Receives up to n bytes, acknowledging each; stops at a silence.
  std::vector<uint8_t> RxAcked(size_t n) {
    std::vector<uint8_t> bytes;
    while (bytes.size() < n) {
      int byte = Rx();
      if (byte < 0) break;
      bytes.push_back(static_cast<uint8_t>(byte));
      Tx({ACK});
    }
    return bytes;
  }

  int Autodetect() {
    Tx({wire::kAutodetectByte});
    return Rx();
  }

  struct DownloadResult {
    std::vector<int> requests;  // block numbers in the order requested
    bool done = false;          // DWNLD_DONE arrived
  };
  // Takes the boot code through a driver download, serving every request;
  // a request beyond the driver is refused (nothing sent).
  DownloadResult Download(const std::vector<uint8_t>& driver) {
    DownloadResult result;
    int blocks = static_cast<int>(driver.size() / wire::kBlockSize);
    Tx({wire::kStartDwnld});
    EXPECT_EQ(Rx(), wire::kDwnldRsp);
    Tx({static_cast<uint8_t>(blocks)});
    for (;;) {
      int code = Rx();
      if (code == wire::kDwnldDone) {
        result.done = true;
        return result;
      }
      if (code != wire::kBlockReq) return result;
      int block = Rx();
      result.requests.push_back(block);
      if (block < 1 || block > blocks) return result;
      const uint8_t* data = driver.data() + (block - 1) * wire::kBlockSize;
      Tx(std::vector<uint8_t>(data, data + wire::kBlockSize));
      EXPECT_EQ(Rx(), wire::kChkReq);
      TxLong(wire::BlockChecksum(data, wire::kBlockSize));
    }
  }

  // Command exchanges as a correct host runs them; false if the engine strayed.
  bool AckMode() {
    if (Command(wire::kCmdAckMode) != wire::kRspAck || Rx() != wire::kRspDone) return false;
    Tx({ACK});
    return true;
  }
  // The flash size, and the version text through the transport's receive.
  bool FlashInit(uint32_t* size, std::string* version, int version_buffer = 128) {
    if (Command(wire::kCmdFlashInit) != wire::kRspAck) return false;
    Tx({ACK});
    if (transport_rx_long_ack(size) != 1) return false;
    std::vector<char> text(size_t(version_buffer), '\0');
    if (transport_rx_string(text.data(), version_buffer) != 1) return false;
    *version = text.data();
    return true;
  }
  bool FirmwareVersion(uint16_t words[4], std::string* text) {
    if (Command(wire::kCmdFirmwareVersion) != wire::kRspAck) return false;
    Tx({ACK});
    for (int i = 0; i < 4; ++i) {
      if (transport_rx_word_ack(&words[i]) != 1) return false;
    }
    char buffer[256] = {};
    if (transport_rx_string(buffer, sizeof buffer) != 1) return false;
    *text = buffer;
    return true;
  }
  bool Erase() {
    if (Command(wire::kCmdEraseAll) != wire::kRspAck) return false;
    Tx({ACK});
    if (Rx() != wire::kRspDone) return false;
    Tx({ACK});
    return true;
  }
  // Sends a write block command with its data; returns the engine's answer
  // to the data (RSP_DONE), ACKed; -1 if silent.
  int WriteBlock(uint32_t address, const std::vector<uint8_t>& data, uint32_t checksum_error = 0) {
    Frame(wire::kCmdWriteBlock, WriteParams(static_cast<uint16_t>(data.size()), address));
    EXPECT_EQ(Rx(), wire::kRspAck);
    Tx({ACK});
    Tx(data);
    TxLong(wire::BlockChecksum(data.data(), data.size()) + checksum_error);
    int answer = Rx();
    if (answer == wire::kRspDone) Tx({ACK});
    return answer;
  }
  bool RemoveDriver() {
    if (Command(wire::kCmdRemoveDriver) != wire::kRspAck) return false;
    Tx({ACK});
    if (Rx() != wire::kRspDone) return false;
    Tx({ACK});
    return true;
  }
  // Download of a 2-block driver and the ack mode request.
  bool LoadDriver() { return Download(Driver(2)).done && AckMode(); }
};

class SimEngineTest : public ::testing::Test {
 protected:
  void StartEngine(sim::EngineConfig config = {}, const wchar_t* com = nullptr) {
    engine_ = std::make_unique<sim::SimEngine>(std::move(config));
    ASSERT_TRUE(engine_->Start(com)) << "cannot start the simulated engine";
    std::string port = com != nullptr ? plat::Narrow(com) : engine_->slave_path();
    ASSERT_EQ(transport_open(port.c_str(), 115200, 0), 1);
  }

  void TearDown() override {
    transport_close();
    if (engine_) engine_->Stop();
    CloseTraceLog();
  }

  std::string ViolationText() const {
    std::string text;
    for (const auto& v : engine_->Violations()) text += std::string(sim::EngineStepName(v.step)) + ": " + v.what + "\n";
    return text;
  }

  testsupport::TempDeviceRoot root_;
  plat::VirtualClock clock_;
  testsupport::DebugCapture trace_;
  std::unique_ptr<sim::SimEngine> engine_;
  Host host_;
};

// ---------------------------------------------------------------------------
// Good paths

TEST_F(SimEngineTest, WholeUpgradeAnswersAsTheProtocolSaysAndRecordsNoViolation) {
  StartEngine({}, L"COM2:");
  EXPECT_EQ(host_.Autodetect(), 0x72);

  std::vector<uint8_t> driver = Driver(3);
  Host::DownloadResult download = host_.Download(driver);
  EXPECT_TRUE(download.done);
  EXPECT_EQ(download.requests, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(engine_->DriverReceived(), driver);
  EXPECT_EQ(engine_->DriverBlockCount(), 3);
  EXPECT_EQ(engine_->DriverStarts(), 1);

  ASSERT_TRUE(host_.AckMode());
  uint32_t flash_size = 0;
  std::string driver_version;
  ASSERT_TRUE(host_.FlashInit(&flash_size, &driver_version));
  EXPECT_EQ(flash_size, 256u * 1024);
  EXPECT_EQ(driver_version, "SIMDRV 1.00");
  uint16_t words[4] = {};
  std::string firmware;
  ASSERT_TRUE(host_.FirmwareVersion(words, &firmware));
  EXPECT_EQ(std::vector<uint16_t>(words, words + 4), (std::vector<uint16_t>{1, 0, 0x0A00, 0x0400}));
  EXPECT_EQ(firmware, "SIM FW 1.00");

  EXPECT_EQ(engine_->Flash()[1000], sim::PreviousFirmwareByte(1000));
  ASSERT_TRUE(host_.Erase());
  std::vector<uint8_t> image = Pattern(2 * wire::kBlockSize, 1);
  EXPECT_EQ(host_.WriteBlock(0, {image.begin(), image.begin() + 256}), wire::kRspDone);
  EXPECT_EQ(host_.WriteBlock(256, {image.begin() + 256, image.end()}), wire::kRspDone);
  ASSERT_TRUE(host_.RemoveDriver());

  std::vector<uint8_t> flash = engine_->Flash();
  ASSERT_EQ(flash.size(), 256u * 1024);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  EXPECT_TRUE(std::all_of(flash.begin() + 512, flash.end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(engine_->Erases(), 1);
  EXPECT_EQ(engine_->BlocksWritten(), 2);
  EXPECT_TRUE(engine_->DriverRemoved());
  EXPECT_EQ(engine_->CommandLog(), (std::vector<uint8_t>{0x10, 0x11, 0x13, 0x14, 0x16, 0x16, 0x12}));

  // The driver has ended: the boot code answers again.
  EXPECT_EQ(host_.Autodetect(), 0x72);
  EXPECT_EQ(engine_->AutodetectsReceived(), 2);
  EXPECT_EQ(ViolationText(), "");
}

struct BlockOrderCase {
  const char* name;
  sim::BlockOrder order;
  int repeat;
  std::vector<uint8_t> extra;
  std::vector<int> requests;
};
void PrintTo(const BlockOrderCase& c, std::ostream* os) { *os << c.name; }

class SimEngineBlockOrderTest : public SimEngineTest, public ::testing::WithParamInterface<BlockOrderCase> {};

TEST_P(SimEngineBlockOrderTest, RequestsBlocksInTheConfiguredOrder) {
  const BlockOrderCase& c = GetParam();
  sim::EngineConfig config;
  config.block_order = c.order;
  config.repeat_count = c.repeat;
  config.extra_block_requests = c.extra;
  StartEngine(config);
  std::vector<uint8_t> driver = Driver(3);
  Host::DownloadResult download = host_.Download(driver);
  EXPECT_TRUE(download.done);
  EXPECT_EQ(download.requests, c.requests);
  EXPECT_EQ(engine_->DriverStarts(), 1);
  EXPECT_EQ(ViolationText(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Orders, SimEngineBlockOrderTest,
    ::testing::Values(BlockOrderCase{"InOrder", sim::BlockOrder::kInOrder, 1, {}, {1, 2, 3}},
                      BlockOrderCase{"RepeatEach", sim::BlockOrder::kRepeatEach, 2, {}, {1, 1, 2, 2, 3, 3}},
                      BlockOrderCase{"Reverse", sim::BlockOrder::kReverse, 1, {}, {3, 2, 1}},
                      BlockOrderCase{"NoneThenExtra", sim::BlockOrder::kNone, 1, {2}, {2}},
                      BlockOrderCase{"InOrderPlusRepeat", sim::BlockOrder::kInOrder, 1, {1}, {1, 2, 3, 1}}),
    CaseName<BlockOrderCase>);

TEST_F(SimEngineTest, HostRefusingABlockBeyondTheDriverIsNoViolation) {
  sim::EngineConfig config;
  config.extra_block_requests = {4};
  StartEngine(config);
  Host::DownloadResult download = host_.Download(Driver(3));
  EXPECT_FALSE(download.done);
  EXPECT_EQ(download.requests, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(host_.Rx(), -1);
  EXPECT_EQ(engine_->DriverStarts(), 0);
  EXPECT_EQ(host_.Autodetect(), 0x72);  // the boot code listens again
  EXPECT_EQ(ViolationText(), "");
}

struct VersionLengthCase {
  size_t length;
  bool host_takes_it;  // fits the host's 128-byte buffer with its NUL
};

class SimEngineVersionLengthTest : public SimEngineTest, public ::testing::WithParamInterface<VersionLengthCase> {};

TEST_P(SimEngineVersionLengthTest, SendsDriverVersionOfAnyLength) {
  sim::EngineConfig config;
  config.driver_version = std::string(GetParam().length, 'v');
  StartEngine(config);
  ASSERT_TRUE(host_.LoadDriver());
  uint32_t size = 0;
  std::string version;
  EXPECT_EQ(host_.FlashInit(&size, &version), GetParam().host_takes_it);
  if (GetParam().host_takes_it) {
    EXPECT_EQ(version, config.driver_version);
  }
  // A host that stops at its buffer's end is right: the engine drops the
  // rest of the text and takes the next command.
  while (host_.Rx() != -1) {
  }
  uint16_t words[4];
  std::string firmware;
  EXPECT_TRUE(host_.FirmwareVersion(words, &firmware));
  EXPECT_EQ(ViolationText(), "");
}

INSTANTIATE_TEST_SUITE_P(Lengths, SimEngineVersionLengthTest,
                         ::testing::Values(VersionLengthCase{0, true}, VersionLengthCase{127, true},
                                           VersionLengthCase{128, false}, VersionLengthCase{300, false}));

TEST_F(SimEngineTest, WholeLongTextReachesAHostThatTakesIt) {
  sim::EngineConfig config;
  config.driver_version = std::string(300, 'w');
  StartEngine(config);
  ASSERT_TRUE(host_.LoadDriver());
  ASSERT_EQ(host_.Command(wire::kCmdFlashInit), wire::kRspAck);
  host_.Tx({ACK});
  std::vector<uint8_t> received = host_.RxAcked(4 + 301);
  ASSERT_EQ(received.size(), 305u);
  EXPECT_EQ(std::string(received.begin() + 4, received.end() - 1), config.driver_version);
  EXPECT_EQ(received.back(), 0);
  EXPECT_EQ(ViolationText(), "");
}

TEST_F(SimEngineTest, FlashSizeZeroIsReportedAndEveryWriteIsOutside) {
  sim::EngineConfig config;
  config.flash_size = 0;
  StartEngine(config);
  ASSERT_TRUE(host_.LoadDriver());
  uint32_t size = 1;
  std::string version;
  ASSERT_TRUE(host_.FlashInit(&size, &version));
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(engine_->Flash().empty());
  ASSERT_TRUE(host_.Erase());
  EXPECT_EQ(host_.WriteBlock(0, Pattern(1, 0)), -1);
  ASSERT_EQ(engine_->Violations().size(), 1u);
  EXPECT_NE(engine_->Violations()[0].what.find("outside the flash"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Host mistakes: each is recorded once, the engine goes silent (the host's
// next receive times out), and the engine then listens again.

enum class After { kBootCode, kDriverStarted, kDriver };

struct MistakeCase {
  const char* name;
  After setup;  // where the host stands when it errs
  std::function<void(Host&)> mistake;
  EngineStep step;
  const char* expected;  // part of the violation text
  After listens;         // where the engine listens afterwards
};
void PrintTo(const MistakeCase& c, std::ostream* os) { *os << c.name; }

class SimEngineMistakeTest : public SimEngineTest, public ::testing::WithParamInterface<MistakeCase> {};

TEST_P(SimEngineMistakeTest, RecordsTheMistakeAndGoesSilent) {
  const MistakeCase& c = GetParam();
  sim::EngineConfig config;
  config.flash_size = 4096;
  StartEngine(config);
  if (c.setup == After::kDriver) {
    ASSERT_TRUE(host_.LoadDriver());
  }

  c.mistake(host_);
  EXPECT_EQ(host_.Rx(), -1) << "the engine answered a host mistake";

  std::vector<sim::Violation> violations = engine_->Violations();
  ASSERT_EQ(violations.size(), 1u) << ViolationText();
  EXPECT_EQ(violations[0].step, c.step) << ViolationText();
  EXPECT_NE(violations[0].what.find(c.expected), std::string::npos) << ViolationText();

  if (c.listens == After::kBootCode) {
    EXPECT_EQ(host_.Autodetect(), 0x72);
  } else if (c.listens == After::kDriverStarted) {
    EXPECT_TRUE(host_.AckMode());
  } else {
    uint16_t words[4];
    std::string text;
    EXPECT_TRUE(host_.FirmwareVersion(words, &text));
  }
  EXPECT_EQ(engine_->Violations().size(), 1u) << ViolationText();
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, SimEngineMistakeTest,
    ::testing::Values(
        MistakeCase{"StrayByteToTheBootCode", After::kBootCode, [](Host& h) { h.Tx({0x55}); },
                    EngineStep::kAutodetect, "boot code: unexpected byte 0x55", After::kBootCode},
        MistakeCase{"BadDriverBlockChecksum", After::kBootCode,
                    [](Host& h) {
                      std::vector<uint8_t> driver = Driver(1);
                      h.Tx({wire::kStartDwnld});
                      EXPECT_EQ(h.Rx(), wire::kDwnldRsp);
                      h.Tx({1});
                      EXPECT_EQ(h.Rx(), wire::kBlockReq);
                      EXPECT_EQ(h.Rx(), 1);
                      h.Tx(driver);
                      EXPECT_EQ(h.Rx(), wire::kChkReq);
                      h.TxLong(wire::BlockChecksum(driver.data(), driver.size()) ^ 1);
                    },
                    EngineStep::kChecksumRequest, "driver block 1: checksum", After::kBootCode},
        MistakeCase{"BlockCountZero", After::kBootCode,
                    [](Host& h) {
                      h.Tx({wire::kStartDwnld});
                      EXPECT_EQ(h.Rx(), wire::kDwnldRsp);
                      h.Tx({0});
                    },
                    EngineStep::kDownloadStart, "block count 0", After::kBootCode},
        MistakeCase{"CommandBeforeAckMode", After::kBootCode,
                    [](Host& h) {
                      ASSERT_TRUE(h.Download(Driver(1)).done);
                      h.Frame(wire::kCmdFlashInit);
                    },
                    EngineStep::kCommandAck, "command 0x11 before the ack mode request", After::kDriverStarted},
        MistakeCase{"BadFrameChecksum", After::kDriver,
                    [](Host& h) { h.Frame(wire::kCmdFirmwareVersion, {}, 1); }, EngineStep::kCommandAck,
                    "checksum 0x000000AC from the host, the frame gives 0x000000AB", After::kDriver},
        MistakeCase{"FrameNotStartingWithZero", After::kDriver, [](Host& h) { h.Tx({0x01, 0x13}); },
                    EngineStep::kCommandAck, "byte 0x01 where a command frame should begin", After::kDriver},
        MistakeCase{"UnknownOpcode", After::kDriver, [](Host& h) { h.Frame(0x15); }, EngineStep::kCommandAck,
                    "unknown opcode 0x15", After::kDriver},
        MistakeCase{"ReservedParameterByteSet", After::kDriver,
                    [](Host& h) { h.Frame(wire::kCmdEraseAll, {0, 0, 0, 7}); }, EngineStep::kCommandAck,
                    "parameter byte 5 is 0x07", After::kDriver},
        MistakeCase{"IncompleteFrame", After::kDriver, [](Host& h) { h.Tx({0x00, 0x13, 0x00}); },
                    EngineStep::kCommandAck, "2 of 13 bytes arrived", After::kDriver},
        MistakeCase{"NoAckAfterRspAck", After::kDriver,
                    [](Host& h) { EXPECT_EQ(h.Command(wire::kCmdEraseAll), wire::kRspAck); },
                    EngineStep::kCommandAck, "no ACK after RSP_ACK of erase", After::kDriver},
        MistakeCase{"MissingAckAfterAFlashSizeByte", After::kDriver,
                    [](Host& h) {
                      EXPECT_EQ(h.Command(wire::kCmdFlashInit), wire::kRspAck);
                      h.Tx({ACK});
                      EXPECT_EQ(h.RxAcked(2).size(), 2u);
                      EXPECT_EQ(h.Rx(), 0x10);  // third byte of 4096, not acknowledged
                    },
                    EngineStep::kFlashSize, "no ACK after byte 3 of 4 of the flash size", After::kDriver},
        MistakeCase{"AckSentEarly", After::kDriver,
                    [](Host& h) {
                      EXPECT_EQ(h.Command(wire::kCmdFirmwareVersion), wire::kRspAck);
                      h.Tx({ACK, ACK});
                    },
                    EngineStep::kVersionWords, "before byte 1 of 8 of the version words", After::kDriver},
        MistakeCase{"WrongByteInsteadOfAck", After::kDriver,
                    [](Host& h) {
                      EXPECT_EQ(h.Command(wire::kCmdAckMode), wire::kRspAck);
                      EXPECT_EQ(h.Rx(), wire::kRspDone);
                      h.Tx({0x15});
                    },
                    EngineStep::kAckModeDone, "the host sent 0x15", After::kDriver},
        MistakeCase{"BadWriteChecksum", After::kDriver,
                    [](Host& h) {
                      ASSERT_TRUE(h.Erase());
                      h.WriteBlock(0, Pattern(256, 0), 5);
                    },
                    EngineStep::kWriteDone, "data checksum", After::kDriver},
        MistakeCase{"WriteOutsideTheFlash", After::kDriver,
                    [](Host& h) {
                      ASSERT_TRUE(h.Erase());
                      h.WriteBlock(4096 - 128, Pattern(256, 0));
                    },
                    EngineStep::kWriteDone, "256 bytes at 0x00000F80 lies outside the flash (4096 bytes)",
                    After::kDriver},
        MistakeCase{"WriteWithoutErase", After::kDriver, [](Host& h) { h.WriteBlock(512, Pattern(256, 0)); },
                    EngineStep::kWriteDone, "byte 0x00000200 is not erased (never erased)", After::kDriver},
        MistakeCase{"WriteTwiceSinceTheErase", After::kDriver,
                    [](Host& h) {
                      ASSERT_TRUE(h.Erase());
                      EXPECT_EQ(h.WriteBlock(0, Pattern(256, 0)), wire::kRspDone);
                      h.WriteBlock(128, Pattern(256, 0));
                    },
                    EngineStep::kWriteDone, "byte 0x00000080 is not erased (already written since the erase)",
                    After::kDriver},
        MistakeCase{"WriteOfZeroBytes", After::kDriver,
                    [](Host& h) {
                      EXPECT_EQ(h.Command(wire::kCmdWriteBlock, WriteParams(0, 0)), wire::kRspAck);
                      h.Tx({ACK});
                    },
                    EngineStep::kWriteDone, "byte count 0", After::kDriver},
        MistakeCase{"ByteDuringTheErase", After::kDriver,
                    [](Host& h) {
                      EXPECT_EQ(h.Command(wire::kCmdEraseAll), wire::kRspAck);
                      h.Tx({ACK, 0x33});
                    },
                    EngineStep::kEraseDone, "before the erase done", After::kDriver}),
    CaseName<MistakeCase>);

TEST_F(SimEngineTest, HostServingABlockBeyondTheDriverIsAViolation) {
  sim::EngineConfig config;
  config.extra_block_requests = {2};
  StartEngine(config);
  std::vector<uint8_t> driver = Driver(1);
  Host::DownloadResult download = host_.Download(driver);
  ASSERT_EQ(download.requests, (std::vector<int>{1, 2}));
  host_.Tx(driver);  // serves block 2 although it announced 1 block
  EXPECT_EQ(host_.Rx(), -1);
  ASSERT_EQ(engine_->Violations().size(), 1u);
  EXPECT_EQ(engine_->Violations()[0].what, "driver download: the host served block 2, but its block count is 1");
}

TEST_F(SimEngineTest, RefusedWriteLeavesTheFlashAsItWas) {
  StartEngine();
  ASSERT_TRUE(host_.LoadDriver());
  EXPECT_EQ(host_.WriteBlock(0, Pattern(256, 9)), -1);
  std::vector<uint8_t> flash = engine_->Flash();
  for (uint32_t a : {0u, 1u, 255u, 250u}) EXPECT_EQ(flash[a], sim::PreviousFirmwareByte(a)) << a;
  EXPECT_EQ(engine_->BlocksWritten(), 0);
}

// ---------------------------------------------------------------------------
// Faults: each changes its own step only, and what a correct host does about
// it is no violation.

struct AutodetectFaultCase {
  const char* name;
  sim::Fault fault;
  std::vector<int> answers;  // what the autodetect attempts receive, one by one
};
void PrintTo(const AutodetectFaultCase& c, std::ostream* os) { *os << c.name; }

class SimEngineAutodetectFaultTest : public SimEngineTest,
                                     public ::testing::WithParamInterface<AutodetectFaultCase> {};

TEST_P(SimEngineAutodetectFaultTest, ChangesOnlyTheChosenAnswer) {
  sim::EngineConfig config;
  config.faults = {GetParam().fault};
  StartEngine(config);
  std::vector<int> answers;
  for (size_t i = 0; i < GetParam().answers.size(); ++i) {
    host_.Tx({wire::kAutodetectByte});
    answers.push_back(host_.Rx());
  }
  EXPECT_EQ(answers, GetParam().answers);
  EXPECT_EQ(ViolationText(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimEngineAutodetectFaultTest,
    ::testing::Values(
        AutodetectFaultCase{"WrongByteSecond", {EngineStep::kAutodetect, FaultKind::kWrongByte, 0x70, 2}, {0x72, 0x70, 0x72}},
        AutodetectFaultCase{"SilenceFirst", {EngineStep::kAutodetect, FaultKind::kSilence, 0, 1}, {-1, 0x72, 0x72}},
        AutodetectFaultCase{"SilenceEvery", {EngineStep::kAutodetect, FaultKind::kSilence, 0, 0}, {-1, -1, -1}},
        AutodetectFaultCase{"StrayFirst", {EngineStep::kAutodetect, FaultKind::kStrayByte, 0x55, 1}, {0x55, 0x72}}),
    CaseName<AutodetectFaultCase>);

TEST_F(SimEngineTest, FirstMatchingFaultApplies) {
  sim::EngineConfig config;
  config.faults = {{EngineStep::kAutodetect, FaultKind::kWrongByte, 0x70, 1},
                   {EngineStep::kAutodetect, FaultKind::kSilence, 0, 0}};
  StartEngine(config);
  EXPECT_EQ(host_.Autodetect(), 0x70);
  EXPECT_EQ(host_.Autodetect(), -1);
  EXPECT_EQ(engine_->FaultsInjected(), 2);
}

TEST_F(SimEngineTest, SilencedCommandAckOfOneOpcodeLeavesTheOthers) {
  sim::EngineConfig config;
  config.faults = {{EngineStep::kCommandAck, FaultKind::kSilence, 0, 1, wire::kCmdFirmwareVersion}};
  StartEngine(config);
  ASSERT_TRUE(host_.LoadDriver());
  EXPECT_EQ(host_.Command(wire::kCmdFirmwareVersion), -1);
  host_.Tx({ACK});  // a host that goes on regardless is excused
  EXPECT_EQ(host_.Rx(), -1);
  uint16_t words[4];
  std::string text;
  EXPECT_TRUE(host_.FirmwareVersion(words, &text));
  EXPECT_TRUE(host_.Erase());
  EXPECT_EQ(engine_->CommandLog(), (std::vector<uint8_t>{0x10, 0x13, 0x14}));
  EXPECT_EQ(ViolationText(), "");
}

TEST_F(SimEngineTest, WrongFlashSizeByteChangesOnlyThatByte) {
  sim::EngineConfig config;
  config.faults = {{EngineStep::kFlashSize, FaultKind::kWrongByte, 0x7E, 1}};
  StartEngine(config);
  ASSERT_TRUE(host_.LoadDriver());
  uint32_t size = 0;
  std::string version;
  ASSERT_TRUE(host_.FlashInit(&size, &version));
  EXPECT_EQ(size, 0x7E040000u);
  EXPECT_EQ(version, "SIMDRV 1.00");
  ASSERT_TRUE(host_.FlashInit(&size, &version));
  EXPECT_EQ(size, 0x00040000u);
  EXPECT_EQ(ViolationText(), "");
}

TEST_F(SimEngineTest, StrayByteBeforeAnAcknowledgedStepShiftsTheBytes) {
  sim::EngineConfig config;
  config.faults = {{EngineStep::kVersionWords, FaultKind::kStrayByte, 0x99, 1}};
  StartEngine(config);
  ASSERT_TRUE(host_.LoadDriver());
  ASSERT_EQ(host_.Command(wire::kCmdFirmwareVersion), wire::kRspAck);
  host_.Tx({ACK});
  std::vector<uint8_t> received = host_.RxAcked(1 + 8 + 12);
  EXPECT_EQ(received, (std::vector<uint8_t>{0x99, 0x00, 0x01, 0x00, 0x00, 0x0A, 0x00, 0x04, 0x00, 'S', 'I', 'M', ' ',
                                            'F', 'W', ' ', '1', '.', '0', '0', 0x00}));
  EXPECT_EQ(ViolationText(), "");
}

TEST_F(SimEngineTest, StrayByteBeforeEraseDoneThenTheAnswer) {
  sim::EngineConfig config;
  config.faults = {{EngineStep::kEraseDone, FaultKind::kStrayByte, 0x55, 1}};
  StartEngine(config);
  ASSERT_TRUE(host_.LoadDriver());
  ASSERT_EQ(host_.Command(wire::kCmdEraseAll), wire::kRspAck);
  host_.Tx({ACK});
  EXPECT_EQ(host_.Rx(), 0x55);
  EXPECT_EQ(host_.Rx(), wire::kRspDone);
  host_.Tx({ACK});
  EXPECT_EQ(host_.WriteBlock(0, Pattern(256, 0)), wire::kRspDone);
  EXPECT_EQ(ViolationText(), "");
}

TEST_F(SimEngineTest, BadChecksumAtWriteDoneLeavesTheBlockUnwritten) {
  sim::EngineConfig config;
  config.faults = {{EngineStep::kWriteDone, FaultKind::kBadChecksum, 0, 1}};
  StartEngine(config);
  ASSERT_TRUE(host_.LoadDriver());
  ASSERT_TRUE(host_.Erase());
  std::vector<uint8_t> block = Pattern(256, 3);
  EXPECT_EQ(host_.WriteBlock(0, block), -1);
  EXPECT_EQ(engine_->Flash()[1], 0xFF);
  EXPECT_EQ(host_.WriteBlock(0, block), wire::kRspDone);  // the retry programs it
  EXPECT_EQ(engine_->Flash()[1], block[1]);
  EXPECT_EQ(engine_->BlocksWritten(), 1);
  EXPECT_EQ(ViolationText(), "");
}

TEST_F(SimEngineTest, BadChecksumAtABlockEndsTheDownloadUntilTheNextOne) {
  sim::EngineConfig config;
  config.faults = {{EngineStep::kChecksumRequest, FaultKind::kBadChecksum, 0, 2}};
  StartEngine(config);
  std::vector<uint8_t> driver = Driver(3);
  Host::DownloadResult first = host_.Download(driver);
  EXPECT_FALSE(first.done);
  EXPECT_EQ(first.requests, (std::vector<int>{1, 2}));
  EXPECT_EQ(engine_->DriverStarts(), 0);
  Host::DownloadResult second = host_.Download(driver);
  EXPECT_TRUE(second.done);
  EXPECT_EQ(engine_->DriverReceived(), driver);
  EXPECT_EQ(ViolationText(), "");
}

// ---------------------------------------------------------------------------
// Timing, mode, transcript, pre-boot stage

class SimEngineEraseWaitTest : public SimEngineTest, public ::testing::WithParamInterface<int> {};

TEST_P(SimEngineEraseWaitTest, EraseTakesThatManyHostReadTimeouts) {
  int waits = GetParam();
  sim::EngineConfig config;
  config.erase_waits = waits;
  StartEngine(config);
  ASSERT_TRUE(host_.LoadDriver());
  ASSERT_EQ(host_.Command(wire::kCmdEraseAll), wire::kRspAck);
  host_.Tx({ACK});
  uint64_t start = clock_.Now();
  int timeouts = 0;
  int answer = -1;
  while ((answer = host_.Rx()) == -1 && timeouts < waits + 2) ++timeouts;
  uint64_t elapsed = clock_.Now() - start;
  EXPECT_EQ(answer, wire::kRspDone);
  EXPECT_EQ(timeouts, waits > 0 ? waits - 1 : 0);
  uint64_t expected = waits > 0 ? uint64_t(waits) * kReadTimeoutMs - sim::kEraseMarginMs : 0;
  EXPECT_GE(elapsed, expected);
  EXPECT_LT(elapsed, expected + 50);
  host_.Tx({ACK});
  EXPECT_EQ(ViolationText(), "");
}

INSTANTIATE_TEST_SUITE_P(Waits, SimEngineEraseWaitTest, ::testing::Values(0, 1, 3, 150));

TEST_F(SimEngineTest, PacingCostsTenBitsPerByte) {
  sim::EngineConfig config;
  config.pace_baud = 1000;  // 10 ms per byte
  StartEngine(config);
  uint64_t start = clock_.Now();
  EXPECT_EQ(host_.Autodetect(), 0x72);  // one byte each way
  uint64_t elapsed = clock_.Now() - start;
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 30u);
}

TEST_F(SimEngineTest, OperatingModeIgnoresEverythingAndLeavingItResetsTheEngine) {
  StartEngine();
  engine_->SetDownloadMode(false);
  EXPECT_EQ(host_.Autodetect(), -1);
  host_.Tx({0x55});
  EXPECT_EQ(host_.Rx(), -1);
  engine_->SetDownloadMode(true);
  EXPECT_EQ(host_.Autodetect(), 0x72);

  // A running driver is gone after operating mode: 0x00 is an autodetect
  // byte again, not the start of a frame.
  ASSERT_TRUE(host_.LoadDriver());
  engine_->SetDownloadMode(false);
  engine_->SetDownloadMode(true);
  EXPECT_EQ(host_.Autodetect(), 0x72);
  EXPECT_EQ(engine_->AutodetectsReceived(), 2);
  EXPECT_EQ(ViolationText(), "");
}

TEST_F(SimEngineTest, TranscriptHasOneLinePerDirectionAndTheViolations) {
  sim::EngineConfig config;
  config.transcript_path = root_.Host("line.txt");
  StartEngine(config);
  EXPECT_EQ(host_.Autodetect(), 0x72);
  host_.Tx({wire::kStartDwnld});
  EXPECT_EQ(host_.Rx(), wire::kDwnldRsp);
  host_.Tx({0});
  EXPECT_EQ(host_.Rx(), -1);
  engine_->Stop();
  std::string text = testsupport::ReadHostFile(config.transcript_path);
  EXPECT_EQ(text.substr(0, 24), "H> 00\nE> 72\nH> AA\nE> 88\n") << text;
  EXPECT_NE(text.find("H> 00\n!! download start: driver download: block count 0"), std::string::npos) << text;
}

// A loader handshake in front of the boot code: 0x40 answered with BF 12 34 00.
class HandshakeStage : public sim::PreBootStage {
 public:
  bool Run(sim::EngineLine& line) override {
    uint8_t byte = 0;
    for (;;) {
      sim::EngineLine::Rx rx = line.Receive(&byte, sim::EngineLine::kWaitForever);
      if (rx == sim::EngineLine::Rx::kEnded) return false;
      if (rx == sim::EngineLine::Rx::kByte && byte == 0x40) break;
      line.Note("handshake: ignored");
    }
    const uint8_t answer[4] = {0xBF, 0x12, 0x34, 0x00};
    return line.Send(answer, sizeof answer);
  }
};

TEST_F(SimEngineTest, PreBootStageRunsBeforeTheBootCodeAfterEverySwitchIntoDownloadMode) {
  sim::EngineConfig config;
  config.pre_boot = std::make_shared<HandshakeStage>();
  StartEngine(config);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(host_.Autodetect(), -1) << round;  // the boot code does not listen yet
    host_.Tx({0x40});
    std::vector<int> answer;
    for (int i = 0; i < 4; ++i) answer.push_back(host_.Rx());
    EXPECT_EQ(answer, (std::vector<int>{0xBF, 0x12, 0x34, 0x00}));
    EXPECT_EQ(host_.Autodetect(), 0x72) << round;
    engine_->SetDownloadMode(false);
    engine_->SetDownloadMode(true);
  }
  EXPECT_EQ(ViolationText(), "");
}

// ---------------------------------------------------------------------------

TEST_F(SimEngineTest, StartFailsOnAnUnusableConfiguration) {
  sim::EngineConfig config;
  config.flash_size = sim::kMaxFlashSize + 1;
  sim::SimEngine engine(config);
  EXPECT_FALSE(engine.Start());
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidParameter);
}

using SimEngineConcurrencyTest = SimEngineTest;

// Stop ends the serving thread in the middle of a long erase, and the
// accessors may be read while the engine serves.
TEST_F(SimEngineConcurrencyTest, StopEndsAnEraseInProgress) {
  sim::EngineConfig config;
  config.erase_waits = 150;
  StartEngine(config);
  ASSERT_TRUE(host_.LoadDriver());
  ASSERT_EQ(host_.Command(wire::kCmdEraseAll), wire::kRspAck);
  host_.Tx({ACK});
  plat::SleepMs(1000);  // the engine is in its erase now
  EXPECT_EQ(engine_->Erases(), 1);
  EXPECT_EQ(engine_->Flash()[0], 0xFF);
  engine_->Stop();
  EXPECT_EQ(host_.Rx(), -1);
  EXPECT_EQ(ViolationText(), "");
}

}  // namespace
