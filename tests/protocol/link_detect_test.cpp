#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine_fixture.h"

namespace {

class LinkDetectTest : public EngineFixture {
 protected:
  // After link detection every exchange runs with the usual read timeout:
  // a receive on the (now silent) line takes exactly that long.
  void ExpectReadTimeoutRestored() {
    uint8_t byte = 0;
    const uint64_t start = NowMs();
    EXPECT_EQ(transport_rx_byte(&byte), 0);
    EXPECT_EQ(NowMs() - start, TRANSPORT_READ_TIMEOUT_MS);
  }

  int Attempts() const { return trace_.Count("-> autodetect byte: 0x0, cnt: "); }
};

TEST_F(LinkDetectTest, AcceptsOnlyAnswersTheCatalogueGivesTheEngine) {
  struct Case {
    const char* engine;
    uint8_t answer;
    int result;
    int attempts;
    const char* match;  // the match line, or nullptr
  };
  const Case cases[] = {
      {"QA71", 0x72, PROTO_SUCCESS, 1, "autodetect - found match scan: QA71, validrsp: 0x72\r\n"},
      {"QA71", 0x73, PROTO_SUCCESS, 1, "autodetect - found match scan: QA71, validrsp: 0x73\r\n"},
      {"QE86", 0x70, PROTO_SUCCESS, 1, "autodetect - found match scan: QE86, validrsp: 0x70\r\n"},
      {"QF27", 0x72, PROTO_SUCCESS, 1, "autodetect - found match scan: QF27, validrsp: 0x72\r\n"},
      {"QA71", 0x70, PROTO_LINK_FAILED, LINK_DETECT_ATTEMPTS, nullptr},
      {"QB32", 0x72, PROTO_LINK_FAILED, LINK_DETECT_ATTEMPTS, nullptr},
      {"QC53", 0x73, PROTO_LINK_FAILED, LINK_DETECT_ATTEMPTS, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.engine) + " answering " + std::to_string(c.answer));
    sim::EngineConfig config;
    config.model = c.engine;
    config.autodetect_rsp = c.answer;
    StartEngine(config);
    trace_.Clear();
    EXPECT_EQ(data_rate_detect(c.engine), c.result);
    EXPECT_EQ(Attempts(), c.attempts);
    char answer_line[40];
    snprintf(answer_line, sizeof(answer_line), "\t<- autodetect: 0x%x, dur: ", c.answer);
    EXPECT_EQ(trace_.Count(answer_line), c.attempts);
    EXPECT_EQ(trace_.Count("autodetect - found match"), c.match ? 1 : 0);
    if (c.match) {
      EXPECT_EQ(trace_.Count(c.match), 1);
    }
    ExpectReadTimeoutRestored();
    // A refused answer is only traced.
    EXPECT_TRUE(ResultValues("ErrStr").empty());
    StopEngine();
  }
}

TEST_F(LinkDetectTest, TheLastAttemptDecides) {
  sim::EngineConfig config;
  config.autodetect_rsp = 0x70;  // not a QA71 answer
  for (int occurrence = 2; occurrence <= LINK_DETECT_ATTEMPTS; ++occurrence) {
    config.faults.push_back({sim::EngineStep::kAutodetect, sim::FaultKind::kSilence, 0, occurrence});
  }
  StartEngine(config);
  EXPECT_EQ(data_rate_detect("QA71"), PROTO_FAILURE);
  EXPECT_EQ(Attempts(), LINK_DETECT_ATTEMPTS);
  EXPECT_EQ(trace_.Count("\t<- autodetect: 0x70"), 1);
  ExpectReadTimeoutRestored();
}

TEST_F(LinkDetectTest, SilentEngineCostsSixShortReceives) {
  StartEngine(sim::EngineConfig{});
  engine_->SetDownloadMode(false);  // the boot code is not listening
  const uint64_t start = NowMs();
  EXPECT_EQ(data_rate_detect("QA71"), PROTO_FAILURE);
  EXPECT_EQ(NowMs() - start, uint64_t{LINK_DETECT_ATTEMPTS} * LINK_DETECT_TIMEOUT_MS);
  EXPECT_EQ(Attempts(), LINK_DETECT_ATTEMPTS);
  EXPECT_FALSE(trace_.Contains("<- autodetect"));
  ExpectReadTimeoutRestored();
  EXPECT_TRUE(ResultValues("ErrStr").empty());
}

TEST_F(LinkDetectTest, FailedSendsAreRecordedAndTheAttemptsGoOn) {
  // No port is held: every send fails.
  EXPECT_EQ(data_rate_detect("QA71"), PROTO_FAILURE);
  EXPECT_EQ(Attempts(), LINK_DETECT_ATTEMPTS);
  for (int attempt = 0; attempt < LINK_DETECT_ATTEMPTS; ++attempt) {
    EXPECT_EQ(trace_.Count("data_rate_detect - ERROR tx byte. cnt: " + std::to_string(attempt) + "\r\n"), 1);
  }
  EXPECT_EQ(ResultValues("ErrStr"), std::vector<std::string>(LINK_DETECT_ATTEMPTS, "Autodetect ERROR"));
}

}  // namespace
