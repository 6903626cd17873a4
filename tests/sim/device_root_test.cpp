#include <filesystem>
#include <string>

#include "simulator.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testsupport::HostFileExists;
using testsupport::ReadHostFile;
using testsupport::WriteHostFile;

namespace {

const char kEmptyRegistry[] = "Windows Registry Editor Version 5.00\r\n\r\n";

// An empty temporary folder to lay a device root out in, and a folder of
// libraries to install from.
class DeviceRootTest : public ::testing::Test {
 protected:
  std::string Root() const { return temp_.Host("handheld"); }
  std::string At(const std::string& relative) const { return Root() + "/" + relative; }

  bool Create(const std::string& library_dir = FLASHWRIGHT_SIMLIB_DIR) {
    error_.clear();
    return sim::CreateDeviceRoot(Root(), library_dir, &error_);
  }

  testsupport::TempDeviceRoot temp_{false};
  std::string error_;
};

TEST_F(DeviceRootTest, LaysOutFoldersRegistryAndLibraries) {
  ASSERT_TRUE(Create()) << error_;
  EXPECT_TRUE(fs::is_directory(At("My Documents")));
  EXPECT_TRUE(fs::is_directory(At("Windows")));
  EXPECT_EQ(ReadHostFile(At("registry.reg")), kEmptyRegistry);
  EXPECT_EQ(ReadHostFile(At("Windows/QZTEventLog.dll")),
            ReadHostFile(std::string(FLASHWRIGHT_SIMLIB_DIR) + "/QZTEventLog.dll"));
}

// Running it again keeps what is there (registry, logs, other files in
// "Windows", folders spelt another way) and brings the libraries up to date.
TEST_F(DeviceRootTest, SecondRunKeepsFilesAndRefreshesLibraries) {
  fs::create_directories(At("my documents"));
  WriteHostFile(At("my documents/flwright.log"), "earlier run\r\n");
  WriteHostFile(At("registry.reg"), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n");
  ASSERT_TRUE(Create()) << error_;
  WriteHostFile(At("Windows/QZTEventLog.dll"), "stale copy");
  WriteHostFile(At("Windows/eventlog.txt"), "0x44230000 kept\n");

  ASSERT_TRUE(Create()) << error_;
  EXPECT_EQ(ReadHostFile(At("registry.reg")), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n");
  EXPECT_EQ(ReadHostFile(At("my documents/flwright.log")), "earlier run\r\n");
  EXPECT_FALSE(HostFileExists(At("My Documents")));  // the existing spelling is used
  EXPECT_EQ(ReadHostFile(At("Windows/eventlog.txt")), "0x44230000 kept\n");
  EXPECT_EQ(ReadHostFile(At("Windows/QZTEventLog.dll")),
            ReadHostFile(std::string(FLASHWRIGHT_SIMLIB_DIR) + "/QZTEventLog.dll"));
  EXPECT_FALSE(HostFileExists(At("Windows/QZTEventLog.dll.new")));
}

TEST_F(DeviceRootTest, FailsClearlyWithoutLibrariesOrWhereAFileBlocksTheRoot) {
  const std::string no_libraries = temp_.Host("empty");
  fs::create_directories(no_libraries);
  EXPECT_FALSE(Create(temp_.Host("missing")));
  EXPECT_NE(error_.find("missing"), std::string::npos) << error_;
  EXPECT_FALSE(Create(no_libraries));
  EXPECT_NE(error_.find("no simulated libraries"), std::string::npos) << error_;
  EXPECT_FALSE(HostFileExists(Root()));  // a wrong library folder changes nothing

  WriteHostFile(Root(), "a file, not a folder");
  EXPECT_FALSE(Create());
  EXPECT_NE(error_.find(Root()), std::string::npos) << error_;
}

}  // namespace
