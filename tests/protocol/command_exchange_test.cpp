#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine_fixture.h"
#include "protocol_internal.h"
#include "scripted_line.h"

namespace {

TEST(BlockChecksum, WeighsEachByteByItsDistanceFromTheEnd) {
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    uint32_t expected;
  };
  const std::vector<uint8_t> frame = {0x00, 0x11, 0, 0, 0, 0, 0, 0, 0, 0};
  const Case cases[] = {
      {"abc", {0x61, 0x62, 0x63}, 0x24A},
      {"flash init frame", frame, 0x99},
      {"256 x 0xFF", std::vector<uint8_t>(256, 0xFF), 0x7FFF80},
      {"one byte", {0x80}, 0x80},
      // The sum wraps modulo 2^32 for the largest buffer.
      {"65535 x 0xFF", std::vector<uint8_t>(65535, 0xFF), 0x7F808000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(block_checksum(c.data.data(), static_cast<int>(c.data.size())), c.expected);
  }
  const uint8_t any = 0x55;
  EXPECT_EQ(block_checksum(&any, 0), 0u);
  EXPECT_EQ(block_checksum(nullptr, 3), 4u);
}

class TransmitCmdTest : public EngineFixture {
 protected:
  ScriptedLine line_;
};

TEST_F(TransmitCmdTest, SendsFrameAndChecksumThenWantsRspAck) {
  struct Case {
    const char* name;
    std::vector<uint8_t> reply;
    int result;
    const char* report;  // ErrStr text, or nullptr
    uint64_t elapsed_ms;
  };
  const Case cases[] = {
      {"acknowledged", {RSP_ACK}, PROTO_SUCCESS, nullptr, 0},
      {"done instead of ack", {RSP_DONE}, PROTO_FAILURE, "ERROR cmd chk rsp_ack: 0x31", 0},
      {"silent engine", {}, PROTO_FAILURE, "ERROR cmd chk rsp_ack: 0x0", TRANSPORT_READ_TIMEOUT_MS},
  };
  line_.Open();
  const uint8_t frame[CMD_FRAME_SIZE] = {0x00, CMD_FLASH_INIT};
  std::vector<std::string> reports;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trace_.Clear();
    if (!c.reply.empty()) line_.Feed(c.reply);
    const uint64_t start = NowMs();
    EXPECT_EQ(transmit_cmd(frame, CMD_FRAME_SIZE), c.result);
    // No pause of its own: a failure costs at most the read timeout.
    EXPECT_EQ(NowMs() - start, c.elapsed_ms);
    const std::vector<uint8_t> wire = {0x00, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x99};
    EXPECT_EQ(line_.Sent(), wire);
    if (c.report == nullptr) {
      EXPECT_FALSE(trace_.Contains("ERROR"));
      continue;
    }
    reports.push_back(c.report);
    // A reply that was missing or wrong is marked as received.
    EXPECT_EQ(trace_.Count("<- " + std::string(c.report) + "\r\n"), 1);
  }
  EXPECT_EQ(ResultValues("ErrStr"), reports);
}

TEST_F(TransmitCmdTest, NoFrameIsAnArgumentError) {
  line_.Open();
  EXPECT_EQ(transmit_cmd(nullptr, CMD_FRAME_SIZE), PROTO_ARGUMENT_MISSING);
  EXPECT_TRUE(line_.Sent().empty());
}

TEST_F(TransmitCmdTest, FailedSendIsMarkedAsSent) {
  // No port is held, so nothing can be sent.
  const uint8_t frame[CMD_FRAME_SIZE] = {0x00, CMD_ACK_MODE};
  EXPECT_EQ(transmit_cmd(frame, CMD_FRAME_SIZE), PROTO_FAILURE);
  EXPECT_EQ(trace_.Count("-> ERROR transmit_cmd\r\n"), 1);
  EXPECT_EQ(ResultValues("ErrStr"), std::vector<std::string>{"ERROR transmit_cmd"});
}

// Status texts and error reports without an engine.
class ProtocolConventionsTest : public EngineFixture {};

struct Posted {
  std::vector<std::string> texts;
  bool lengths_match = true;
};
Posted* g_posted = nullptr;

int RecordStatus(const char* text, uint32_t length, uint32_t length2) {
  g_posted->texts.push_back(text);
  g_posted->lengths_match = g_posted->lengths_match && length == length2 && length == strlen(text) + 1;
  return 0;
}

TEST_F(ProtocolConventionsTest, StatusTextsReachTheCallbackWithTheirLengthPlusOne) {
  Posted posted;
  g_posted = &posted;
  post_status(RecordStatus, "Erase flash complete", sizeof("Erase flash complete"));
  proto_post_composed_status(RecordStatus, "Writing block %d of %d", 10, 12);
  proto_post_composed_status(RecordStatus, "%s", std::string(400, 'x').c_str());
  post_status(nullptr, "nobody listens", sizeof("nobody listens"));
  proto_post_composed_status(nullptr, "Writing block %d of %d", 0, 1);
  g_posted = nullptr;
  const std::vector<std::string> expected = {"Erase flash complete", "Writing block 10 of 12",
                                             std::string(PROTO_STATUS_BUFFER_SIZE - 1, 'x')};
  EXPECT_EQ(posted.texts, expected);
  EXPECT_TRUE(posted.lengths_match);
}

TEST_F(ProtocolConventionsTest, ErrorReportIsCutTo255CharactersAndRecorded) {
  const std::string longest(PROTO_ERROR_TEXT_MAX, 'e');
  proto_error_report("<- ", "%s", (longest + "tail").c_str());
  proto_error_report("", "Flash size error. filesize: %d", 255);
  EXPECT_EQ(trace_.Count("<- " + longest + "\r\n"), 1);
  EXPECT_FALSE(trace_.Contains("tail"));
  EXPECT_EQ(trace_.Count("Flash size error. filesize: 255"), 2);  // the record, then the line
  EXPECT_EQ(trace_.Count("Flash size error. filesize: 255\r\n"), 1);
  EXPECT_EQ(ResultValues("ErrStr"), (std::vector<std::string>{longest, "Flash size error. filesize: 255"}));
}

TEST_F(ProtocolConventionsTest, ErrorReportIsNotCutInsideACharacter) {
  // A file name whose two-byte character straddles the 255th byte.
  const std::string name = std::string(PROTO_ERROR_TEXT_MAX - std::strlen("Error opening ") - 1, 'n') + "\xC3\xA9.bin";
  proto_error_report("", "Error opening %s", name.c_str());
  const std::string kept = "Error opening " + name.substr(0, name.size() - std::strlen("\xC3\xA9.bin"));
  EXPECT_EQ(trace_.Count(kept + "\r\n"), 1);
  EXPECT_EQ(ResultValues("ErrStr"), std::vector<std::string>{kept});
}

TEST_F(ProtocolConventionsTest, PauseLetsTheWatchdogRunOut) {
  const uint64_t start = NowMs();
  proto_pause();
  EXPECT_EQ(NowMs() - start, PROTO_PAUSE_MS);
}

TEST_F(ProtocolConventionsTest, ProgressCountersKeepTheirLastValues) {
  KpxSetTotalBlocks(11);
  KpxSetCurrentBlock(9);
  EXPECT_EQ(KpxGetTotalBlocks(), 11);
  EXPECT_EQ(KpxGetCurrentBlock(), 9);
  // The total is traced without a line break.
  EXPECT_EQ(trace_.Count("KpxSetTotalBlocks( 11 )"), 1);
  EXPECT_FALSE(trace_.Contains("KpxSetTotalBlocks( 11 )\r\n"));
}

// The dialog reads the counters while the worker writes them.
TEST(ProgressCountersConcurrency, ReaderSeesOnlyWholeValues) {
  constexpr int32_t kPatterns[2] = {0x00000000, 0x7FFFFFFF};
  KpxSetCurrentBlock(kPatterns[0]);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) KpxSetCurrentBlock(kPatterns[i & 1]);
    done = true;
  });
  bool whole = true;
  while (!done) {
    const int32_t seen = KpxGetCurrentBlock();
    whole = whole && (seen == kPatterns[0] || seen == kPatterns[1]);
  }
  writer.join();
  EXPECT_TRUE(whole);
}

}  // namespace
