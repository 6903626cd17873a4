// A simulated engine on a pseudo-terminal, with the transport opened on it,
// virtual time and a capture of the trace.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine_protocol.h"
#include "simulator.h"
#include "test_support.h"
#include "trace_log.h"
#include "transport.h"

class EngineFixture : public ::testing::Test {
 protected:
  // Starts the engine and opens the transport on it at 115200 baud.
  void StartEngine(const sim::EngineConfig& config, bool open_transport = true) {
    engine_ = std::make_unique<sim::SimEngine>(config);
    ASSERT_TRUE(engine_->Start()) << "cannot start the simulated engine";
    if (open_transport) {
      ASSERT_EQ(transport_open(engine_->slave_path().c_str(), 115200, 0), 1);
    }
  }

  void TearDown() override {
    transport_close();
    if (engine_) {
      engine_->Stop();
      if (expect_clean_protocol_) {
        for (const auto& v : engine_->Violations()) ADD_FAILURE() << "protocol violation: " << v.what;
      }
    }
    CloseTraceLog();
  }

  // Ends the current engine as the test's end would (so a table of cases can
  // start a fresh engine per case).
  void StopEngine() {
    TearDown();
    engine_.reset();
  }

  // Writes a file into the device root's "My Documents" and returns its host path.
  std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = root_.Host("My Documents/" + name);
    testsupport::WriteHostFile(path, std::string(bytes.begin(), bytes.end()));
    return path;
  }

  // A recognisable image: byte i is (i * 7 + i / 256) & 0xFF.
  static std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
  }

  // Ends the trace log (which ends the results record) and returns the values
  // recorded under `tag` ("ErrStr", "Flash_Ver", ...), in order.
  std::vector<std::string> ResultValues(const std::string& tag) {
    CloseTraceLog();
    const std::string path = root_.Host("My Documents/KPXResults.xml");
    std::vector<std::string> values;
    if (!testsupport::HostFileExists(path)) return values;
    const std::string text = testsupport::ReadHostFile(path);
    const std::string open = "<" + tag + ">", close = "</" + tag + ">";
    for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
      at += open.size();
      const size_t end = text.find(close, at);
      if (end == std::string::npos) break;
      values.push_back(text.substr(at, end - at));
      at = end + close.size();
    }
    return values;
  }

  // Virtual milliseconds since the test began.
  uint64_t NowMs() const { return clock_.Now(); }

  testsupport::TempDeviceRoot root_;
  plat::VirtualClock clock_;
  testsupport::DebugCapture trace_;
  std::unique_ptr<sim::SimEngine> engine_;
  bool expect_clean_protocol_ = true;
};
