// The command-line tools run together from a shell, as a technician runs them
// on the bench: fwsim lays out a device root and serves a simulated engine in
// the background, fwsample writes the firmware files, fwflash flashes them.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "engine_protocol.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

using childproc::ChildResult;
using childproc::RunTool;

// Real-time bounds for the background engine: a few seconds, far beyond what
// a sound engine needs, so that a broken one fails the test instead of
// hanging it.
constexpr int kEngineReady_ms = 5000;
constexpr int kEngineStop_ms = 5000;

// --- A whole flash -------------------------------------------------------------

// A whole flash from the shell: fwsim root, fwsample, fwsim engine in the
// background, fwflash. With reader_leaves, nobody reads fwflash's output
// (a pipeline whose reader has gone): the flash must still complete and
// report success.
void FlashThroughTheSimulatedEngine(bool reader_leaves) {
  testsupport::TempDeviceRoot root(false);  // fwsim root lays it out
  ChildResult r = RunTool("fwsim", {"root"});
  ASSERT_EQ(r.status, 0) << r;

  constexpr size_t kBlocks = 5;  // four full blocks and a partial last one
  constexpr size_t kImageSize = (kBlocks - 1) * FLASH_BLOCK_SIZE + 100;
  const std::string bin = root.Host("My Documents/QA71fw.bin");
  r = RunTool("fwsample", {"--driver", root.Host("My Documents/QA71drv.bin"), "--image", bin, "--driver-size",
                           "1024", "--image-size", std::to_string(kImageSize)});
  ASSERT_EQ(r.status, 0) << r;

  // No pacing: the engine answers as fast as the line carries the bytes.
  const std::string dump = root.Host("flash-dump.bin");
  childproc::Background engine("fwsim", {"engine", "--com", "COM2:", "--dump-flash", dump});
  ASSERT_TRUE(engine.WaitForLine("ready", kEngineReady_ms)) << "the engine did not report ready: " << engine.Kill();

  // Files as device paths; port and rate from the engine catalogue.
  const std::vector<std::string> flash_args = {"--engine", "QA71", "--driver", "\\My Documents\\QA71drv.bin",
                                               "--image", "\\My Documents\\QA71fw.bin"};
  if (reader_leaves) {
    childproc::Background flasher("fwflash", flash_args);
    flasher.CloseOutput();
    r = flasher.Finish(childproc::kChildDeadline_ms);
    EXPECT_EQ(r.status, 0) << r;
  } else {
    r = RunTool("fwflash", flash_args);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_NE(r.out.find("Firmware version: SIM FW 1.00"), std::string::npos) << r.out;
  }

  ASSERT_TRUE(engine.Signal(SIGINT));
  const ChildResult stopped = engine.Finish(kEngineStop_ms);
  EXPECT_EQ(stopped.status, 0) << "protocol violations, or no flash dump:\n" << stopped;

  // The flash holds the image (the .bin after its board header), its last
  // block padded with 0xFF.
  const std::string file = testsupport::ReadHostFile(bin);
  ASSERT_GT(file.size(), kImageSize);
  std::string expected = file.substr(file.size() - kImageSize);
  expected.resize(kBlocks * FLASH_BLOCK_SIZE, '\xFF');
  const std::string flash = testsupport::ReadHostFile(dump);
  ASSERT_GE(flash.size(), expected.size());
  const size_t matching = static_cast<size_t>(
      std::mismatch(expected.begin(), expected.end(), flash.begin()).first - expected.begin());
  EXPECT_EQ(matching, expected.size()) << "the flash differs from the image after the bytes that match";

  const std::string results = testsupport::ReadHostFile(root.Host("My Documents/KPXResults.xml"));
  EXPECT_NE(results.find("<Firmware_Ver>SIM FW 1.00</Firmware_Ver>"), std::string::npos) << results;
  EXPECT_NE(results.find("</KPX_Results>"), std::string::npos) << "the results record is closed:\n" << results;
}

TEST(ShellToolsTest, FlashesASampleFirmwareThroughTheSimulatedEngine) { FlashThroughTheSimulatedEngine(false); }

TEST(ShellToolsTest, FlashCompletesWhenTheReaderOfItsOutputGoesAway) { FlashThroughTheSimulatedEngine(true); }

// --- fwsim root ----------------------------------------------------------------

struct RootCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* message;  // in the standard output or error
};

class FwsimRootTest : public ::testing::TestWithParam<RootCase> {};

TEST_P(FwsimRootTest, ExitsWithTheDocumentedStatus) {
  const RootCase& c = GetParam();
  testsupport::TempDeviceRoot root(false);

  ChildResult r = RunTool("fwsim", c.args);

  EXPECT_EQ(r.status, c.status) << r;
  EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r;
  // The whole layout on success; a run that fails changes nothing.
  for (const char* entry : {"My Documents", "Windows", "registry.reg", "Windows/QZTEventLog.dll"}) {
    EXPECT_EQ(fs::exists(root.Host(entry)), c.status == 0) << entry;
  }
  if (c.status != 0) return;

  // Run again: the registry, which may hold settings by now, is kept.
  const std::string registry = root.Host("registry.reg");
  const std::string settings = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n";
  testsupport::WriteHostFile(registry, settings);
  r = RunTool("fwsim", c.args);
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(testsupport::ReadHostFile(registry), settings);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FwsimRootTest,
    ::testing::Values(
        RootCase{"LaysOutTheRoot", {"root"}, 0, "Device root "},
        RootCase{"UnknownOption", {"root", "--bogus"}, 2, "unknown argument: --bogus"},
        RootCase{"NoLibraryFolder", {"root", "--libs", "/nonexistent"}, 1, "/nonexistent is not a folder"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// --- fwsim engine ----------------------------------------------------------------

struct EngineUsageCase {
  const char* name;
  std::vector<std::string> args;  // after "engine --com COM7:"
  const char* message;            // in the standard error
};

class FwsimEngineUsageTest : public ::testing::TestWithParam<EngineUsageCase> {};

TEST_P(FwsimEngineUsageTest, ExitsWithoutLinkingAPort) {
  const EngineUsageCase& c = GetParam();
  testsupport::TempDeviceRoot root(false);
  std::vector<std::string> args = {"engine", "--com", "COM7:"};
  args.insert(args.end(), c.args.begin(), c.args.end());

  // An engine that took the options would serve until stopped: bounded.
  const ChildResult r = RunTool("fwsim", args, false, kEngineReady_ms);

  EXPECT_EQ(r.status, 2) << r;
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("ready"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_empty(root.path())) << "no COM7: link, nothing else either";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FwsimEngineUsageTest,
    ::testing::Values(EngineUsageCase{"UnknownOption", {"--bogus"}, "unknown option --bogus"},
                      EngineUsageCase{"OptionWithoutValue", {"--dump-flash"}, "--dump-flash needs a value"},
                      EngineUsageCase{"BadNumber", {"--flash-size", "lots"}, "bad value for --flash-size: lots"},
                      EngineUsageCase{"HexPrefixWithoutDigits", {"--flash-size", "0x"},
                                      "bad value for --flash-size: 0x"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// The engine's tty name is handed out again once it is gone: an engine that
// exits takes its COM link with it, unless another engine has taken the name.
TEST(FwsimEngineLinkTest, ExitRemovesTheComLinkItStillOwns) {
  testsupport::TempDeviceRoot root(false);
  const std::string link = root.Host("COM7:");
  const std::vector<std::string> args = {"engine", "--com", "COM7:"};
  std::unique_ptr<childproc::Background> engines[2];
  std::string ttys[2];
  for (int i = 0; i < 2; ++i) {  // the second starts once the first has linked the name
    engines[i] = std::make_unique<childproc::Background>("fwsim", args);
    ASSERT_TRUE(engines[i]->ReadLine(&ttys[i], kEngineReady_ms)) << engines[i]->Kill();
    ASSERT_TRUE(engines[i]->WaitForLine("ready", kEngineReady_ms)) << engines[i]->Kill();
  }
  ASSERT_EQ(fs::read_symlink(link).string(), ttys[1]) << "the second engine took the name";

  const std::string link_after_exit[2] = {ttys[1], ""};  // the first engine's exit leaves the second's link
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(engines[i]->Signal(SIGINT));
    const ChildResult stopped = engines[i]->Finish(kEngineStop_ms);
    EXPECT_EQ(stopped.status, 0) << stopped;
    std::error_code ec;
    EXPECT_EQ(fs::read_symlink(link, ec).string(), link_after_exit[i]) << "after engine " << i + 1 << " exited";
  }
}

// --- Numbers on the command lines ------------------------------------------------
// The tools take decimal or 0x hexadecimal, as their --help says: a leading 0
// is a decimal digit, never an octal prefix.

struct NumberCase {
  const char* name;
  const char* text;
  size_t value;
};

const NumberCase kNumberCases[] = {
    {"LeadingZeroIsDecimal", "0100", 100},
    {"HexPrefix", "0x100", 256},
    {"UpperCaseHexPrefix", "0X1F", 31},
};

std::string NumberCaseName(const ::testing::TestParamInfo<NumberCase>& param_info) {
  return param_info.param.name;
}

class FwsimEngineNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(FwsimEngineNumberTest, FlashSizeIsReadAsDocumented) {
  const NumberCase& c = GetParam();
  testsupport::TempDeviceRoot root(false);
  const std::string dump = root.Host("flash-dump.bin");
  childproc::Background engine("fwsim", {"engine", "--com", "COM7:", "--flash-size", c.text, "--dump-flash", dump});
  ASSERT_TRUE(engine.WaitForLine("ready", kEngineReady_ms)) << "the engine did not report ready: " << engine.Kill();
  ASSERT_TRUE(engine.Signal(SIGINT));
  const ChildResult stopped = engine.Finish(kEngineStop_ms);
  EXPECT_EQ(stopped.status, 0) << stopped;
  EXPECT_EQ(testsupport::ReadHostFile(dump).size(), c.value);
}

INSTANTIATE_TEST_SUITE_P(Cases, FwsimEngineNumberTest, ::testing::ValuesIn(kNumberCases), NumberCaseName);

class FwsampleNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(FwsampleNumberTest, SizesAndBoardsAreReadAsDocumented) {
  const NumberCase& c = GetParam();
  testsupport::TempDeviceRoot root(false);
  const std::string driver = root.Host("drv.bin");
  const std::string raw = root.Host("fw.raw");
  ChildResult r = RunTool("fwsample", {"--driver", driver, "--image", raw, "--image-size", c.text, "--raw"});
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_EQ(testsupport::ReadHostFile(raw).size(), c.value);

  // The board id lands in the header: magic, count, scanner type, board id.
  const std::string bin = root.Host("fw.bin");
  r = RunTool("fwsample", {"--driver", driver, "--image", bin, "--image-size", "0", "--board",
                           std::string("0x0A00:") + c.text});
  ASSERT_EQ(r.status, 0) << r;
  const std::string header = testsupport::ReadHostFile(bin);
  ASSERT_GE(header.size(), 12u);
  EXPECT_EQ(static_cast<uint8_t>(header[10]) * 256u + static_cast<uint8_t>(header[11]), c.value);
}

INSTANTIATE_TEST_SUITE_P(Cases, FwsampleNumberTest, ::testing::ValuesIn(kNumberCases), NumberCaseName);

}  // namespace
