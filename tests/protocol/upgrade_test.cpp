// One whole upgrade against the simulated engine: both phases, the statuses,
// the version hand-back, the result codes and the port closed on every path.

#include "upgrade_support.h"

namespace {

constexpr char kEngineVersion[] = "SIM FW 1.00";
const std::vector<BoardEntry> kBoards = {{0x0B00, 0x3800}, {0x0A00, 0x0400}};  // engine: 0x0A00, 0x0400
const std::vector<BoardEntry> kOtherBoards = {{0x0B00, 0x3800}};

constexpr char kClosingPort[] = "transport_close - Closing port";

// What the caller gets back from one engine_upgrade.
struct UpgradeOutcome {
  int result = -1;
  std::string scanner_version;  // the buffer's text after the call
  int32_t scanner_length = 0;
  std::string psoc_version;
  int32_t psoc_length = 0;
};

// Files handed to engine_upgrade; empty names are passed as absent.
struct UpgradeFiles {
  std::string scanner_driver;
  std::string psoc_driver;
  std::string psoc_image;
  std::string scanner_image;
};

const char* OrNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

class UpgradeTest : public FlashEngineFixture {
 protected:
  static constexpr char kUnwritten = '#';  // fills the version buffers before the call

  // Starts the engine (port not yet open) and runs one upgrade on it the way
  // the dialog does: 256-byte version buffers, lengths 256, no port handle.
  UpgradeOutcome Upgrade(const sim::EngineConfig& config, const UpgradeFiles& files, int32_t scanner_length = 256,
                         bool psoc_buffer = true) {
    if (!engine_) StartEngine(config, /*open_transport=*/false);
    char scanner_version[256];
    char psoc_version[256];
    memset(scanner_version, kUnwritten, sizeof(scanner_version) - 1);
    memset(psoc_version, kUnwritten, sizeof(psoc_version) - 1);
    scanner_version[255] = psoc_version[255] = '\0';
    UpgradeOutcome out;
    out.scanner_length = scanner_length;
    out.psoc_length = 256;
    out.result =
        engine_upgrade(engine_->slave_path().c_str(), 115200, config.model.c_str(), OrNull(files.scanner_driver),
                       OrNull(files.psoc_driver), OrNull(files.psoc_image), OrNull(files.scanner_image),
                       psoc_buffer ? psoc_version : nullptr, scanner_version, psoc_buffer ? &out.psoc_length : nullptr,
                       &out.scanner_length, &StatusLog::Collect, plat::kNoHandle);
    out.scanner_version = scanner_version;
    out.psoc_version = psoc_version;
    return out;
  }

  static std::string Untouched() { return std::string(255, kUnwritten); }

  // A 300-byte scanner image behind a header with these boards.
  std::string ScannerImage(const std::vector<BoardEntry>& boards = kBoards) {
    return WriteFile("fw.bin", BinFile(boards, Pattern(300)));
  }
};

std::vector<std::string> EraseAndWriteStatuses(const char* first_block_status) {
  return {"Erasing flash for upgrade.\r\nPlease wait...", "Erase flash complete", first_block_status,
          "Writing blocks complete.  Please wait."};
}

std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// ---------------------------------------------------------------------------
// Successful upgrades

TEST_F(UpgradeTest, ScannerFilesOnlyAsFromTheDialog) {
  std::vector<uint8_t> image = Pattern(2560 + 44);
  UpgradeFiles files{DriverFile(), "", "", WriteFile("fw.bin", BinFile(kBoards, image))};
  UpgradeOutcome out = Upgrade(sim::EngineConfig{}, files);

  EXPECT_EQ(out.result, PROTO_SUCCESS);
  EXPECT_EQ(StatusLog::texts,
            Join({{"Erasing Scanner flash. Please wait..."}, EraseAndWriteStatuses("Writing block 0 of 10")}));
  EXPECT_TRUE(StatusLog::lengths_consistent);
  EXPECT_EQ(out.scanner_version, kEngineVersion);
  EXPECT_EQ(out.scanner_length, 12);
  EXPECT_EQ(out.psoc_version, Untouched());
  ExpectFlashHolds(image);
  EXPECT_TRUE(engine_->DriverRemoved());
  EXPECT_FALSE(trace_.Contains("PSOC"));
  EXPECT_TRUE(trace_.Contains("firmware version after load. reserved: 1,0,2560,1024, ver: SIM FW 1.00\r\n"));
  EXPECT_EQ(trace_.Count(kClosingPort), 1);
  EXPECT_EQ(ResultValues("Firmware_Ver"), std::vector<std::string>{kEngineVersion});
}

TEST_F(UpgradeTest, CoProcessorThenScannerInOneCall) {
  std::vector<uint8_t> psoc_image = Pattern(300);
  std::vector<uint8_t> scanner_image = Pattern(600);
  std::string driver = DriverFile();
  UpgradeFiles files{driver, driver, WriteFile("psoc.bin", BinFile(kBoards, psoc_image)),
                     WriteFile("fw.bin", BinFile(kBoards, scanner_image))};
  UpgradeOutcome out = Upgrade(sim::EngineConfig{}, files);

  const std::string psoc_line = "PSOC version after load. reserved: 1,0,2560,1024, ver: SIM FW 1.00\r\n";
  EXPECT_EQ(out.result, PROTO_SUCCESS);
  EXPECT_EQ(StatusLog::texts, Join({{"Updating PSOC driver\r\n", "Erasing PSOC flash. Please wait..."},
                                    {"Erasing flash for upgrade.\r\nPlease wait...", "Erase flash complete"},
                                    {"Updating PSOC firmware. Please wait...", "Writing block 0 of 1",
                                     "Writing blocks complete.  Please wait.", psoc_line},
                                    {"Erasing Scanner flash. Please wait..."},
                                    EraseAndWriteStatuses("Writing block 0 of 2")}));
  EXPECT_EQ(out.psoc_version, kEngineVersion);
  EXPECT_EQ(out.psoc_length, 12);
  EXPECT_EQ(out.scanner_version, kEngineVersion);
  EXPECT_EQ(engine_->DriverStarts(), 2);
  EXPECT_EQ(engine_->Erases(), 2);
  ExpectFlashHolds(scanner_image);
  EXPECT_TRUE(trace_.Contains("drvname=" + driver + ", drivernum=3"));
  EXPECT_TRUE(trace_.Contains("drvname=" + driver + ", drivernum=2"));
  // Each driver load records its own version; the co-processor phase adds its line.
  EXPECT_EQ(ResultValues("Flash_Ver"), (std::vector<std::string>{"SIMDRV 1.00", psoc_line, "SIMDRV 1.00"}));
}

struct ImageCase {
  const char* name;
  bool with_header;
  bool device_path;  // name the image "\\My Documents\\..." instead of by host path
  size_t image_size;
  uint32_t flash_size;
  int blocks_sent;
};

class UpgradeImageTest : public UpgradeTest, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(UpgradeImageTest, WritesTheImageByteForByte) {
  const ImageCase& c = GetParam();
  sim::EngineConfig config;
  config.flash_size = c.flash_size;
  if (!c.with_header) {  // a raw image leaves the cleared board table: only board 0 of type 0 fits
    config.version_words[2] = 0;
    config.version_words[3] = 0;
  }
  std::vector<uint8_t> image = Pattern(c.image_size);
  const char* name = c.with_header ? "fw.bin" : "fw.raw";
  std::string host = WriteFile(name, c.with_header ? BinFile(kBoards, image) : image);
  UpgradeFiles files{DriverFile(), "", "", c.device_path ? std::string("\\My Documents\\") + name : host};

  EXPECT_EQ(Upgrade(config, files).result, PROTO_SUCCESS);
  EXPECT_EQ(engine_->BlocksWritten(), c.blocks_sent);
  ExpectFlashHolds(image);
}

INSTANTIATE_TEST_SUITE_P(Images, UpgradeImageTest,
                         ::testing::Values(ImageCase{"BinWithBoardTable", true, true, 1000, 256 * 1024, 4},
                                           ImageCase{"RawImage", false, false, 1000, 256 * 1024, 4},
                                           ImageCase{"ExactMultipleOfTheBlock", true, false, 1024, 256 * 1024, 4},
                                           ImageCase{"PartialLastBlock", true, false, 1025, 256 * 1024, 5},
                                           ImageCase{"ExactlyTheFlashSize", true, false, 4096, 4096, 16}),
                         CaseName());

// ---------------------------------------------------------------------------
// Results other than a full upgrade

TEST_F(UpgradeTest, ScannerImageWithoutDriverLoadsNothing) {
  UpgradeOutcome out = Upgrade(sim::EngineConfig{}, {"", "", "", ScannerImage()});
  EXPECT_EQ(out.result, PROTO_SUCCESS);
  EXPECT_EQ(engine_->DriverStarts(), 0);
  EXPECT_EQ(engine_->Erases(), 0);
  EXPECT_TRUE(StatusLog::texts.empty());
  EXPECT_EQ(out.scanner_version, Untouched());
  EXPECT_EQ(trace_.Count(kClosingPort), 1);
}

TEST_F(UpgradeTest, WrongAutodetectAnswerClosesThePort) {
  sim::EngineConfig config;
  config.autodetect_rsp = 0x70;  // QE86's answer, not QA71's
  UpgradeOutcome out = Upgrade(config, {DriverFile(), "", "", ScannerImage()});
  EXPECT_EQ(out.result, PROTO_LINK_FAILED);
  EXPECT_TRUE(trace_.Contains("Upgrade - ERROR: data_rate_detect\r\n"));
  EXPECT_EQ(trace_.Count(kClosingPort), 1);
  EXPECT_EQ(engine_->DriverStarts(), 0);
  EXPECT_EQ(engine_->DriverBlockCount(), 0);
}

TEST_F(UpgradeTest, BoardMismatchRemovesTheDriverAndErasesNothing) {
  UpgradeOutcome out = Upgrade(sim::EngineConfig{}, {DriverFile(), "", "", ScannerImage(kOtherBoards)});
  EXPECT_EQ(out.result, PROTO_BOARD_NOT_SUPPORTED);
  EXPECT_TRUE(trace_.Contains("Upgrade - SCANNER ERROR: Validating board id: 0x0\r\n"));
  EXPECT_TRUE(engine_->DriverRemoved());
  EXPECT_EQ(engine_->Erases(), 0);
  EXPECT_TRUE(StatusLog::texts.empty());
  EXPECT_EQ(trace_.Count(kClosingPort), 1);
}

TEST_F(UpgradeTest, VersionLongerThanTheLengthValueIsNotCopied) {
  sim::EngineConfig config;
  config.firmware_version = std::string(30, 'V');
  UpgradeOutcome out = Upgrade(config, {DriverFile(), "", "", ScannerImage()}, 16);
  EXPECT_EQ(out.result, PROTO_SUCCESS);
  EXPECT_TRUE(trace_.Contains("Upgrade - SCANNER WARNING! Cannot return ver. in_len: 16, actual_len: 1f\r\n"));
  EXPECT_EQ(out.scanner_length, 31);
  EXPECT_EQ(out.scanner_version, Untouched());
}

TEST_F(UpgradeTest, PortThatCannotBeOpenedFailsTheUpgrade) {
  StartEngine(sim::EngineConfig{}, /*open_transport=*/false);
  std::string image = ScannerImage();
  std::string missing_port = root_.Host("absent-tty");
  EXPECT_EQ(engine_upgrade(missing_port.c_str(), 115200, "QA71", DriverFile().c_str(), nullptr, nullptr, image.c_str(),
                           nullptr, nullptr, nullptr, nullptr, &StatusLog::Collect, plat::kNoHandle),
            PROTO_FAILURE);
  EXPECT_TRUE(trace_.Contains("transport_open - ERROR opening transport."));
  EXPECT_FALSE(trace_.Contains("autodetect"));
  EXPECT_EQ(engine_->DriverStarts(), 0);
}

TEST_F(UpgradeTest, MissingScannerImageNeverOpensThePort) {
  std::string missing = root_.Host("My Documents/absent.bin");
  UpgradeOutcome out = Upgrade(sim::EngineConfig{}, {DriverFile(), "", "", missing});
  EXPECT_EQ(out.result, PROTO_FAILURE);
  EXPECT_TRUE(trace_.Contains("ERROR: Input file invalid\r\n"));
  EXPECT_TRUE(trace_.Contains("Upgrade - Scanner ERROR: " + missing + " offset acquisition failed\r\n"));
  EXPECT_TRUE(trace_.Contains("Upgrade - ERROR: Scanner validation failure\r\n"));
  EXPECT_FALSE(trace_.Contains("transport_open"));
  EXPECT_EQ(engine_->DriverStarts(), 0);
}

TEST_F(UpgradeTest, FailedCoProcessorPhaseDoesNotStopTheScannerPhase) {
  std::string driver = DriverFile();
  UpgradeOutcome out =
      Upgrade(sim::EngineConfig{},
              {driver, driver, WriteFile("psoc.bin", BinFile(kOtherBoards, Pattern(300))), ScannerImage()});
  EXPECT_EQ(out.result, PROTO_SUCCESS);
  EXPECT_TRUE(trace_.Contains("Upgrade - PSOC ERROR: Validating board id: 0x0\r\n"));
  EXPECT_EQ(engine_->Erases(), 1);
  EXPECT_EQ(out.scanner_version, kEngineVersion);
}

TEST_F(UpgradeTest, CoProcessorPhaseWithoutVersionBuffer) {
  std::string driver = DriverFile();
  std::string image = ScannerImage();
  UpgradeOutcome out = Upgrade(sim::EngineConfig{}, {"", driver, image, ""}, 256, /*psoc_buffer=*/false);
  EXPECT_EQ(out.result, PROTO_SUCCESS);
  EXPECT_TRUE(trace_.Contains("Upgrade - PSOC WARNING! Cannot return ver. in_len: 0, actual_len: c\r\n"));
}

TEST_F(UpgradeTest, FailedScannerVersionReadHandsBackNoStaleText) {
  // Version word requests: co-processor board check, its read-back, scanner
  // board check, scanner read-back. The fourth goes unanswered.
  sim::EngineConfig config;
  config.faults.push_back({sim::EngineStep::kVersionWords, sim::FaultKind::kSilence, 0, 4});
  std::string driver = DriverFile();
  std::string image = ScannerImage();
  UpgradeOutcome out = Upgrade(config, {driver, driver, image, image});
  EXPECT_EQ(out.result, PROTO_FAILURE);
  EXPECT_EQ(out.psoc_version, kEngineVersion);
  EXPECT_EQ(out.scanner_version, "");
  EXPECT_EQ(out.scanner_length, 1);
  EXPECT_EQ(ResultValues("Firmware_Ver"), std::vector<std::string>{""});
}

}  // namespace
