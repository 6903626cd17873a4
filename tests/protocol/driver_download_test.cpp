#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "scripted_line.h"

namespace {

using sim::EngineStep;
using sim::FaultKind;
using Strings = std::vector<std::string>;

class DriverDownloadTest : public EngineFixture {
 protected:
  // Starts the engine and gets past link detection.
  void Connect(const sim::EngineConfig& config) {
    StartEngine(config);
    ASSERT_EQ(data_rate_detect(config.model.c_str()), PROTO_SUCCESS);
    trace_.Clear();
  }

  std::string Driver(size_t size) { return WriteFile("driver.bin", Pattern(size)); }

  // Each recorded value starts with the expected text, in order.
  void ExpectRecorded(const std::string& tag, const Strings& expected) {
    const Strings values = ResultValues(tag);
    ASSERT_EQ(values.size(), expected.size()) << tag;
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values[i].rfind(expected[i], 0), 0u) << values[i];
  }

  // Position of the first trace message equal to text, or -1.
  int MessageIndex(const std::string& text) const {
    const Strings messages = trace_.Messages();
    const auto it = std::find(messages.begin(), messages.end(), text);
    return it == messages.end() ? -1 : static_cast<int>(it - messages.begin());
  }
};

// ---------------------------------------------------------------------------
// Download

TEST_F(DriverDownloadTest, ServesEveryRequestedWholeBlock) {
  struct Case {
    const char* name;
    size_t size;
    bool device_path;
    sim::BlockOrder order;
    int repeat;
  };
  const Case cases[] = {
      // Bytes 768 to 999 are never sent.
      {"1,000 bytes in order", 1000, false, sim::BlockOrder::kInOrder, 1},
      {"device path, reverse order", 1000, true, sim::BlockOrder::kReverse, 1},
      {"every block three times", 1000, false, sim::BlockOrder::kRepeatEach, 3},
      {"smallest driver", 256, false, sim::BlockOrder::kInOrder, 1},
      {"largest driver", 65535, false, sim::BlockOrder::kInOrder, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::EngineConfig config;
    config.block_order = c.order;
    config.repeat_count = c.repeat;
    Connect(config);
    const std::string host_path = Driver(c.size);
    const std::string name = c.device_path ? "\\My Documents\\driver.bin" : host_path;
    const int blocks = static_cast<int>(c.size / FLASH_BLOCK_SIZE);

    EXPECT_EQ(dwnld_flash_driver(name.c_str()), PROTO_SUCCESS);
    EXPECT_EQ(engine_->DriverBlockCount(), blocks);
    EXPECT_EQ(engine_->DriverStarts(), 1);
    const std::vector<uint8_t> pattern = Pattern(c.size);
    EXPECT_EQ(engine_->DriverReceived(),
              std::vector<uint8_t>(pattern.begin(), pattern.begin() + blocks * FLASH_BLOCK_SIZE));
    EXPECT_EQ(trace_.Count("\tNum blocks: " + std::to_string(blocks) + "=filesize: " + std::to_string(c.size) +
                           "/256\r\n"),
              1);
    EXPECT_EQ(trace_.Count("-> num blks: " + std::to_string(blocks) + "\r\n"), 1);
    EXPECT_EQ(trace_.Count("\t<- block req: 0x2\r\n"), blocks >= 2 ? c.repeat : 0);
    EXPECT_EQ(trace_.Count("\t<- rsp: 0xbb\r\n"), 1);
    EXPECT_EQ(trace_.Count("Closing flash driver file\r\n"), 1);
    EXPECT_FALSE(trace_.Contains("ERROR"));
    StopEngine();
  }
}

class ScriptedDriverTest : public DriverDownloadTest {
 protected:
  ScriptedLine line_;
};

TEST_F(ScriptedDriverTest, SizesTheBlockCountCannotCarryAreRefusedBeforeAnythingIsSent) {
  line_.Open();
  for (size_t size : {size_t{0}, size_t{255}, size_t{65536}}) {
    SCOPED_TRACE(size);
    trace_.Clear();
    EXPECT_EQ(dwnld_flash_driver(Driver(size).c_str()), PROTO_FAILURE);
    EXPECT_TRUE(line_.Sent().empty());
    EXPECT_EQ(trace_.Count("Flash size error. filesize: " + std::to_string(size) + "\r\n"), 1);
    EXPECT_EQ(trace_.Count("ERROR: error transmitting block:0\r\n"), 1);
    EXPECT_EQ(ResultValues("ErrStr"), Strings{"Flash size error. filesize: " + std::to_string(size)});
  }
}

TEST_F(ScriptedDriverTest, DoneAsTheFirstAnswerEndsTheDownload) {
  line_.Open();
  line_.Feed({DWNLD_RSP, DWNLD_DONE});
  EXPECT_EQ(dwnld_flash_driver(Driver(1000).c_str()), PROTO_SUCCESS);
  EXPECT_EQ(line_.Sent(), (std::vector<uint8_t>{START_DWNLD, 3}));
  EXPECT_EQ(trace_.Count("\t<- rsp: 0xbb\r\n"), 1);
}

TEST_F(ScriptedDriverTest, MissingArgumentsSendNothing) {
  line_.Open();
  int32_t flash_size = -1;
  uint16_t words[4] = {};
  EXPECT_EQ(dwnld_driver_and_init(nullptr, 2, &flash_size), PROTO_ARGUMENT_MISSING);
  EXPECT_EQ(dwnld_flash_driver(nullptr), PROTO_ARGUMENT_MISSING);
  EXPECT_EQ(firmware_version(words, nullptr, 256), PROTO_ARGUMENT_MISSING);
  EXPECT_EQ(flash_size, -1);
  EXPECT_TRUE(line_.Sent().empty());
}

TEST_F(DriverDownloadTest, DownloadFailuresAreReported) {
  struct Case {
    const char* name;
    std::vector<sim::Fault> faults;
    std::vector<uint8_t> extra_requests;
    bool missing_file;
    bool served;          // the engine got as far as requesting blocks
    Strings recorded;     // "ErrStr" values
    std::string line;     // a trace line of the failure
    int current_block;    // in the closing "error transmitting block" line
  };
  const Case cases[] = {
      {"wrong download response", {{EngineStep::kDownloadStart, FaultKind::kWrongByte, 0x55, 1}}, {}, false, false,
       {"Download request response failure.  <-rsp: 0x55"}, "<-rsp: 0x55\r\n", 0},
      {"no download response", {{EngineStep::kDownloadStart, FaultKind::kSilence, 0, 1}}, {}, false, false,
       {"Download request response failure.  <-rsp: 0x0"}, "<-rsp: 0x0\r\n", 0},
      {"not a block request", {{EngineStep::kBlockRequest, FaultKind::kWrongByte, 0x42, 1}}, {}, false, true,
       {"bad block req: 0x42"}, "<- bad block req: 0x42\r\n", 0},
      {"engine falls silent", {{EngineStep::kBlockRequest, FaultKind::kSilence, 0, 1}}, {}, false, true, {},
       "\t<- rsp: 0x0\r\n", 0},
      {"block beyond the count", {}, {4}, false, true, {"Num blocks requested exceeds actual number if blocks"},
       "ERROR: num blocks requested > actual number blocks. bReply=4, numblocks=3\r\n", 3},
      {"block 0", {}, {0}, false, true, {"dwnld_flash_driver - ERROR block 0 requested"},
       "\t<- block req: 0x0\r\n", 3},
      {"no checksum request", {{EngineStep::kChecksumRequest, FaultKind::kSilence, 0, 2}}, {}, false, true,
       {"Checksum request error for block number 2"}, "ERROR chk req, err: 0x0, block:0x2\r\n", 2},
      {"missing file", {}, {}, true, false, {"Cannot open "}, "", 0},
  };
  expect_clean_protocol_ = false;  // the host gives up in mid-exchange
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::EngineConfig config;
    config.faults = c.faults;
    config.extra_block_requests = c.extra_requests;
    Connect(config);
    const std::string name = c.missing_file ? root_.Host("My Documents/missing.bin") : Driver(1000);
    EXPECT_EQ(dwnld_flash_driver(name.c_str()), PROTO_FAILURE);
    if (!c.line.empty()) {
      EXPECT_EQ(trace_.Count(c.line), 1);
    }
    EXPECT_EQ(trace_.Count("ERROR: error transmitting block:" + std::to_string(c.current_block) + "\r\n"), 1);
    EXPECT_EQ(trace_.Count("Closing flash driver file\r\n"), c.served ? 1 : 0);
    EXPECT_EQ(engine_->DriverStarts(), 0);
    ExpectRecorded("ErrStr", c.recorded);
    StopEngine();
  }
}

// ---------------------------------------------------------------------------
// Driver commands

// The driver operations in the order they run after the download.
enum class Op { kAckMode, kFlashInit, kRemoveDriver, kFirmwareVersion };

class DriverCommandTest : public DriverDownloadTest {
 protected:
  // Downloads the driver and runs the commands that precede `op`.
  void PrepareFor(Op op, const sim::EngineConfig& config) {
    Connect(config);
    ASSERT_EQ(dwnld_flash_driver(Driver(1000).c_str()), PROTO_SUCCESS);
    if (op != Op::kAckMode) {
      ASSERT_EQ(ack_mode_request(), PROTO_SUCCESS);
    }
    int32_t flash_size = 0;
    if (op != Op::kAckMode && op != Op::kFlashInit) {
      ASSERT_EQ(flash_init(&flash_size), PROTO_SUCCESS);
    }
    trace_.Clear();
  }

  int Run(Op op) {
    int32_t flash_size = 0;
    switch (op) {
      case Op::kAckMode: return ack_mode_request();
      case Op::kFlashInit: return flash_init(&flash_size);
      case Op::kRemoveDriver: return remove_driver();
      case Op::kFirmwareVersion: return firmware_version(words_, text_, sizeof(text_));
    }
    return -1;
  }

  uint16_t words_[4] = {};
  char text_[256] = {};
};

TEST_F(DriverCommandTest, FullDriverRunOnAHealthyEngine) {
  const sim::EngineConfig config;
  Connect(config);
  int32_t flash_size = 0;
  ASSERT_EQ(dwnld_driver_and_init(Driver(1000).c_str(), 2, &flash_size), PROTO_SUCCESS);
  EXPECT_EQ(flash_size, static_cast<int32_t>(config.flash_size));
  ASSERT_EQ(firmware_version(words_, text_, sizeof(text_)), PROTO_SUCCESS);
  EXPECT_EQ(std::vector<uint16_t>(words_, words_ + 4),
            std::vector<uint16_t>(config.version_words, config.version_words + 4));
  EXPECT_STREQ(text_, config.firmware_version.c_str());
  ASSERT_EQ(remove_driver(), PROTO_SUCCESS);
  EXPECT_TRUE(engine_->DriverRemoved());

  const std::vector<std::string> lines = {
      "dwnld_driver_and_init - entry. drvname=" + root_.Host("My Documents/driver.bin") +
          ", drivernum=2, entry\r\n",
      "cmd{0x10}\r\n",
      "\t<- done: 0x31\r\n",
      "cmd{0x11}\r\n",
      "\t<- flash size: " + std::to_string(config.flash_size) + "\r\n",
      "\t<- flash ver: " + config.driver_version + " max_len: 0x80\r\n",
      "cmd{0x13}\r\n",
      "\t<- firmware ver: " + config.firmware_version + "\r\n",
      "cmd{0x0,0x12}\r\n",
  };
  for (const std::string& line : lines) EXPECT_EQ(trace_.Count(line), 1) << line;
  // ack mode, flash init and firmware version acknowledge once each; remove
  // driver twice, its first line beginning with a blank.
  EXPECT_EQ(trace_.Count("\t-> ack: 0x6"), 5);
  EXPECT_EQ(trace_.Count(" \t-> ack: 0x6("), 1);
  EXPECT_EQ(trace_.Count("\t<- rsp: 0x31("), 1);
  EXPECT_FALSE(trace_.Contains("ERROR"));
  ExpectRecorded("Flash_Ver", {config.driver_version});
  ExpectRecorded("ErrStr", {});
}

TEST_F(DriverCommandTest, FailuresReportAndPauseAsEachCommandDefines) {
  struct Case {
    const char* name;
    Op op;
    sim::Fault fault;
    uint64_t elapsed_ms;
    Strings recorded;  // "ErrStr" values (prefixes)
    std::string line;  // a trace line of the failure
  };
  constexpr uint64_t kTimeout = TRANSPORT_READ_TIMEOUT_MS;
  constexpr uint64_t kPause = PROTO_PAUSE_MS;
  constexpr uint64_t kAckPause = TRANSPORT_ACK_FAILURE_PAUSE_MS;
  const Case cases[] = {
      {"ack mode: done instead of ack", Op::kAckMode, {EngineStep::kCommandAck, FaultKind::kWrongByte, 0x31, 1},
       kPause, {"ERROR cmd chk rsp_ack: 0x31", "ERROR: rx'ing cmd ack"}, "<- ERROR cmd chk rsp_ack: 0x31\r\n"},
      {"ack mode: no ack", Op::kAckMode, {EngineStep::kCommandAck, FaultKind::kSilence, 0, 1}, kTimeout + kPause,
       {"ERROR cmd chk rsp_ack: 0x0", "ERROR: rx'ing cmd ack"}, "<- ERROR cmd chk rsp_ack: 0x0\r\n"},
      {"ack mode: no done", Op::kAckMode, {EngineStep::kAckModeDone, FaultKind::kSilence, 0, 1},
       kTimeout + kPause, {"ERROR: scanner did not respond to ack mode request"}, "\t<- done: 0x0\r\n"},
      {"ack mode: wrong done", Op::kAckMode, {EngineStep::kAckModeDone, FaultKind::kWrongByte, 0x55, 1}, kPause,
       {"ERROR: scanner did not respond to ack mode request"}, "\t<- done: 0x55\r\n"},
      {"flash init: no ack", Op::kFlashInit, {EngineStep::kCommandAck, FaultKind::kSilence, 0, 2},
       kTimeout + kPause, {"ERROR cmd chk rsp_ack: 0x0", "ERROR rsp: 0x0", "ERROR: flash init failed"},
       "ERROR rsp: 0x0\r\n"},
      {"flash init: no size", Op::kFlashInit, {EngineStep::kFlashSize, FaultKind::kSilence, 0, 1},
       kTimeout + kAckPause + kPause, {"ERROR flash size: ", "ERROR: flash init failed"}, ""},
      {"flash init: no version", Op::kFlashInit, {EngineStep::kFlashVersion, FaultKind::kSilence, 0, 1},
       kTimeout + kAckPause, {"ERROR: rx'ing version", "ERROR: flash init failed"}, "ERROR: rx'ing version\r\n"},
      {"remove driver: no ack", Op::kRemoveDriver, {EngineStep::kCommandAck, FaultKind::kSilence, 0, 3},
       kTimeout + kPause, {"ERROR cmd chk rsp_ack: 0x0", "ERROR remove_driver rsp: 0x0"},
       "<- ERROR remove_driver rsp: 0x0\r\n"},
      {"remove driver: no done", Op::kRemoveDriver, {EngineStep::kRemoveDone, FaultKind::kSilence, 0, 1},
       kTimeout + kPause, {"ERROR remove_driver rsp: 0x0"}, "<- ERROR remove_driver rsp: 0x0\r\n"},
      {"remove driver: wrong done", Op::kRemoveDriver, {EngineStep::kRemoveDone, FaultKind::kWrongByte, 0x55, 1},
       kPause, {"ERROR remove_driver rsp: 0x55"}, "<- ERROR remove_driver rsp: 0x55\r\n"},
      // The version request never pauses of its own.
      {"firmware version: no ack", Op::kFirmwareVersion, {EngineStep::kCommandAck, FaultKind::kSilence, 0, 3},
       kTimeout, {"ERROR cmd chk rsp_ack: 0x0"}, "<- ERROR cmd chk rsp_ack: 0x0\r\n"},
      {"firmware version: no words", Op::kFirmwareVersion, {EngineStep::kVersionWords, FaultKind::kSilence, 0, 1},
       kTimeout + kAckPause, {}, "ERROR firmware_version, <- resp\r\n"},
      {"firmware version: no text", Op::kFirmwareVersion, {EngineStep::kVersionText, FaultKind::kSilence, 0, 1},
       kTimeout + kAckPause, {"ERROR: firmware_version, rxing version"},
       "ERROR: firmware_version, rxing version\r\n"},
  };
  expect_clean_protocol_ = false;  // the host gives up in mid-exchange
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::EngineConfig config;
    config.faults = {c.fault};
    PrepareFor(c.op, config);
    const uint64_t start = NowMs();
    EXPECT_EQ(Run(c.op), PROTO_FAILURE);
    EXPECT_EQ(NowMs() - start, c.elapsed_ms);
    if (!c.line.empty()) {
      EXPECT_EQ(trace_.Count(c.line), 1);
    }
    ExpectRecorded("ErrStr", c.recorded);
    StopEngine();
  }
}

TEST_F(DriverCommandTest, FlashInitChecksTheVersionLengthAndTheSize) {
  struct Case {
    const char* name;
    std::string version;
    uint32_t flash_size;
    int result;
    Strings recorded;
  };
  const std::string longest(FLASH_VERSION_MAX - 1, 'v');
  const Case cases[] = {
      {"127-character version", longest, 4096, PROTO_SUCCESS, {}},
      {"128-character version", longest + "v", 4096, PROTO_FAILURE,
       {"ERROR: rx'ing version", "ERROR: flash init failed"}},
      {"flash size 0", "SIMDRV 0", 0, PROTO_FAILURE, {"ERROR: flash size returned from scanner is zero"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::EngineConfig config;
    config.driver_version = c.version;
    config.flash_size = c.flash_size;
    Connect(config);
    int32_t flash_size = -1;
    EXPECT_EQ(dwnld_driver_and_init(Driver(512).c_str(), 3, &flash_size), c.result);
    const bool version_arrived = c.version.size() < FLASH_VERSION_MAX;
    if (version_arrived) {
      EXPECT_EQ(flash_size, static_cast<int32_t>(c.flash_size));
      // The version is recorded before the size is judged.
      const int recorded_at = MessageIndex(c.version);
      ASSERT_GE(recorded_at, 0);
      if (c.flash_size == 0) {
        EXPECT_LT(recorded_at, MessageIndex(c.recorded[0] + "\r\n"));
      }
    }
    const Strings recorded = ResultValues("ErrStr");
    EXPECT_EQ(recorded, c.recorded);
    ExpectRecorded("Flash_Ver", version_arrived ? Strings{c.version} : Strings{});
    StopEngine();
  }
}

TEST_F(DriverCommandTest, VersionTraceStaysInsideAnUnfinishedBuffer) {
  sim::EngineConfig config;
  config.faults = {{EngineStep::kVersionText, FaultKind::kSilence, 0, 1}};
  expect_clean_protocol_ = false;
  PrepareFor(Op::kFirmwareVersion, config);
  char text[8];
  memset(text, 'k', sizeof(text));  // no NUL anywhere
  EXPECT_EQ(firmware_version(words_, text, sizeof(text)), PROTO_FAILURE);
  EXPECT_EQ(trace_.Count("\t<- firmware ver: kkkkkkkk\r\n"), 1);
  EXPECT_EQ(std::string(text, sizeof(text)), std::string(sizeof(text), 'k'));  // left alone
}

}  // namespace
