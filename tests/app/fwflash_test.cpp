// fwflash, run as a child process against a simulated engine on a
// pseudo-terminal linked in as the device root's "COM2:". The child runs on
// the real clock, so every case here ends without a protocol timeout.
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "sample_firmware.h"
#include "simulator.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

using childproc::ChildResult;

ChildResult RunFwflash(const std::vector<std::string>& args, bool on_terminal = false) {
  return childproc::RunTool("fwflash", args, on_terminal);
}

class FwflashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = sample::ImageBytes(3000);  // eleven full blocks and a last partial one
    files_["{driver}"] = Write("drv.bin", sample::DriverBytes(512));
    files_["{image}"] = Write("fw.bin", sample::BinFile({{0x0B00, 0x3800}, {0x0A00, 0x0400}}, image_));
    files_["{other_board}"] = Write("other.bin", sample::BinFile({{0x0A00, 0x0401}}, image_));
    files_["{tiny}"] = Write("tiny.drv", sample::DriverBytes(255));
    files_["{empty}"] = Write("empty.bin", {});
    files_["{missing}"] = root_.Host("files/missing.bin");
  }

  void TearDown() override {
    if (!engine_) return;
    engine_->Stop();
    for (const auto& v : engine_->Violations()) ADD_FAILURE() << "protocol violation: " << v.what;
  }

  void StartEngine(const sim::EngineConfig& config = {}) {
    engine_ = std::make_unique<sim::SimEngine>(config);
    ASSERT_TRUE(engine_->Start(L"COM2:")) << "cannot start the simulated engine";
  }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = root_.Host("files/" + name);
    testsupport::WriteHostFile(path, std::string(bytes.begin(), bytes.end()));
    return path;
  }

  // Replaces the file placeholders ("{driver}", ...) with host paths.
  std::vector<std::string> Args(std::vector<std::string> args) const {
    for (auto& a : args) {
      if (auto it = files_.find(a); it != files_.end()) a = it->second;
    }
    return args;
  }

  std::string Results() const { return testsupport::ReadHostFile(root_.Host("My Documents/KPXResults.xml")); }

  testsupport::TempDeviceRoot root_;
  std::unique_ptr<sim::SimEngine> engine_;
  std::map<std::string, std::string> files_;
  std::vector<uint8_t> image_;
};

// --- Successful upgrades -----------------------------------------------------

struct SuccessCase {
  const char* name;
  std::vector<std::string> args;
  int driver_loads;  // one per phase
};

class FwflashSuccessTest : public FwflashTest, public ::testing::WithParamInterface<SuccessCase> {};

TEST_P(FwflashSuccessTest, FlashesTheImageAndReportsTheVersion) {
  // No "My Documents" yet: fwflash creates it so the run leaves its trace.
  fs::remove_all(root_.Host("My Documents"));
  StartEngine();

  ChildResult r = RunFwflash(Args(GetParam().args));

  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Created "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Erasing Scanner flash. Please wait..."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Firmware version: SIM FW 1.00"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\r'), std::string::npos) << "progress in a log must not redraw lines";

  std::vector<uint8_t> flash = engine_->Flash();
  ASSERT_GE(flash.size(), 3072u);
  EXPECT_TRUE(std::equal(image_.begin(), image_.end(), flash.begin())) << "flash differs from the image";
  EXPECT_TRUE(std::all_of(flash.begin() + 3000, flash.begin() + 3072, [](uint8_t b) { return b == 0xFF; }))
      << "the last block is padded with 0xFF";
  EXPECT_EQ(engine_->DriverStarts(), GetParam().driver_loads);
  EXPECT_TRUE(engine_->DriverRemoved());

  const std::string results = Results();
  EXPECT_NE(results.find("\t<Firmware_Ver>SIM FW 1.00</Firmware_Ver>\r\n"), std::string::npos) << results;
  EXPECT_NE(results.find("</KPX_Results>"), std::string::npos) << "the results record is closed";
  EXPECT_EQ(results.find("ErrStr"), std::string::npos) << results;
  EXPECT_TRUE(testsupport::HostFileExists(root_.Host("My Documents/flwright.log")));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FwflashSuccessTest,
    ::testing::Values(
        // Port and rate from the catalogue; the engine name in lower case.
        SuccessCase{"ScannerOnly", {"--engine", "qa71", "--driver", "{driver}", "--image", "{image}"}, 1},
        SuccessCase{"WithCoprocessor",
                    {"--port", "COM2", "--baud=115200", "--engine", "QA71", "--driver", "{driver}", "--image",
                     "{image}", "--psoc-driver", "{driver}", "--psoc-image", "{image}"},
                    2}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(FwflashTest, ShowsAProgressBarOnATerminal) {
  StartEngine();
  ChildResult r = RunFwflash(Args({"--engine", "QA71", "--driver", "{driver}", "--image", "{image}"}), true);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\r["), std::string::npos) << r.out;
  // Eleven full blocks and a last one: a written image ends the bar full.
  EXPECT_NE(r.out.find("100%  block 12/12"), std::string::npos) << r.out;
}

// --- Exit statuses -------------------------------------------------------------

struct StatusCase {
  const char* name;
  bool with_base;                    // start from a complete, valid command line
  std::vector<std::string> args;     // appended; a later option replaces an earlier one
  uint8_t autodetect_rsp;            // the engine's answer to the autodetect byte
  int status;
  const char* message;               // in the standard output or error
};

class FwflashStatusTest : public FwflashTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(FwflashStatusTest, ExitsWithTheDocumentedStatus) {
  const StatusCase& c = GetParam();
  sim::EngineConfig config;
  config.autodetect_rsp = c.autodetect_rsp;
  StartEngine(config);
  const std::string previous = "<KPX_Results>\r\n\t<Firmware_Ver>previous run</Firmware_Ver>\r\n</KPX_Results>\r\n";
  testsupport::WriteHostFile(root_.Host("My Documents/KPXResults.xml"), previous);

  std::vector<std::string> args;
  if (c.with_base) args = {"--engine", "QA71", "--driver", "{driver}", "--image", "{image}"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  ChildResult r = RunFwflash(Args(args));

  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
  if (c.status == 64) {
    // Refused before anything happened: no trace, the last run's record intact.
    EXPECT_EQ(Results(), previous);
    EXPECT_FALSE(testsupport::HostFileExists(root_.Host("My Documents/flwright.log")));
    EXPECT_EQ(engine_->AutodetectsReceived(), 0) << "nothing may be sent to the engine";
  } else {
    // The record tells an administrator that the run failed.
    EXPECT_NE(Results().find("\t<ErrStr>fwflash - upgrade failed, result " + std::to_string(c.status)),
              std::string::npos) << Results();
    EXPECT_EQ(Results().find("<Firmware_Ver>"), std::string::npos) << Results();
    EXPECT_EQ(engine_->Erases(), 0) << "nothing may be erased";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FwflashStatusTest,
    ::testing::Values(
        StatusCase{"NoArguments", false, {}, 0x72, 64, "option --engine is required"},
        StatusCase{"UnknownOption", true, {"--speed", "9600"}, 0x72, 64, "unknown option '--speed'"},
        StatusCase{"OptionWithoutValue", true, {"--baud"}, 0x72, 64, "option --baud needs a value"},
        StatusCase{"UnknownEngine", true, {"--engine", "QZ99"}, 0x72, 64, "unknown engine 'QZ99'"},
        StatusCase{"EngineWithoutLinkSettings", true, {"--engine", "QB32"}, 0x72, 64, "no link settings"},
        StatusCase{"UnsupportedBaud", true, {"--baud", "12345"}, 0x72, 64, "unsupported baud rate '12345'"},
        StatusCase{"BaudNotANumber", true, {"--baud", "fast"}, 0x72, 64, "unsupported baud rate 'fast'"},
        StatusCase{"MissingImage", true, {"--image", "{missing}"}, 0x72, 64, "cannot read image file"},
        StatusCase{"EmptyImage", true, {"--image", "{empty}"}, 0x72, 64, "is empty"},
        StatusCase{"DriverTooSmall", true, {"--driver", "{tiny}"}, 0x72, 64, "has 255 bytes"},
        StatusCase{"DriverIsAFolder", true, {"--driver", "/tmp"}, 0x72, 64, "it is a folder"},
        StatusCase{"HalfCoprocessorPair", true, {"--psoc-image", "{image}"}, 0x72, 64, "give both or neither"},
        StatusCase{"PortNotFound", true, {"--port", "COM9:"}, 0x72, 64, "port COM9: not found"},
        StatusCase{"BoardNotSupported", true, {"--image", "{other_board}"}, 0x72, 2, "board"},
        StatusCase{"WrongAutodetectAnswer", true, {}, 0x70, 5, "link detection failed"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// The sequence reports the last phase's result; a co-processor image the
// engine's board does not take must still fail the run.
TEST_F(FwflashTest, FailsWhenTheCoprocessorPhaseFailsAndTheScannerPhaseSucceeds) {
  StartEngine();
  ChildResult r = RunFwflash(Args({"--engine", "QA71", "--driver", "{driver}", "--image", "{image}",
                                   "--psoc-driver", "{driver}", "--psoc-image", "{other_board}"}));
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("co-processor phase did not complete"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Co-processor version"), std::string::npos) << r.out;
  EXPECT_NE(Results().find("\t<ErrStr>fwflash - co-processor phase did not complete</ErrStr>"), std::string::npos)
      << Results();
  EXPECT_EQ(engine_->Erases(), 1) << "only the scanner phase erases";
  std::vector<uint8_t> flash = engine_->Flash();
  EXPECT_TRUE(std::equal(image_.begin(), image_.end(), flash.begin())) << "the scanner image is written";
}

TEST_F(FwflashTest, HelpDocumentsEveryOptionAndExitStatus) {
  ChildResult r = RunFwflash({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* text : {"--engine", "--driver", "--image", "--port", "--baud", "--psoc-driver", "--psoc-image",
                           "\n  0 ", "\n  1 ", "\n  2 ", "\n  4 ", "\n  5 ", "\n  64 "}) {
    EXPECT_NE(r.out.find(text), std::string::npos) << "missing: " << text;
  }
}

}  // namespace
