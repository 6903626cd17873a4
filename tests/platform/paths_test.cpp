#include <cstdlib>

#include "test_support.h"

namespace {

using testsupport::TempDeviceRoot;
using testsupport::WriteHostFile;

TEST(Paths, DeviceRootComesFromTheEnvironment) {
  TempDeviceRoot root;
  EXPECT_EQ(plat::DeviceRoot(), root.path());
  setenv("FLASHWRIGHT_ROOT", (root.path() + "//").c_str(), 1);
  EXPECT_EQ(plat::DeviceRoot(), root.path());

  const bool had_home = std::getenv("HOME") != nullptr;
  const std::string home = had_home ? std::getenv("HOME") : "";
  setenv("HOME", "/home/someone", 1);
  unsetenv("FLASHWRIGHT_ROOT");
  EXPECT_EQ(plat::DeviceRoot(), "/home/someone/.flashwright");
  setenv("FLASHWRIGHT_ROOT", "", 1);
  EXPECT_EQ(plat::DeviceRoot(), "/home/someone/.flashwright");
  if (had_home) {
    setenv("HOME", home.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

struct MappingCase {
  const char* device;
  const char* host;  // relative to the root; "/..." is absolute
};

// The root holds "My Documents/Prüfung/Ωmega.bin", "Windows/QZTEventLog.dll",
// and the two folders "Data" and "data".
const MappingCase kMappingCases[] = {
    {"\\My Documents\\flwright.log", "My Documents/flwright.log"},
    {"\\my documents\\FLWRIGHT.LOG", "My Documents/FLWRIGHT.LOG"},
    {"\\WINDOWS\\qzteventlog.DLL", "Windows/QZTEventLog.dll"},
    {"\\My Documents\\Pr\xC3\xBC" "fung\\\xCE\xA9mega.bin", "My Documents/Pr\xC3\xBC" "fung/\xCE\xA9mega.bin"},
    {"\\MY DOCUMENTS\\PR\xC3\x9C" "FUNG\\\xCF\x89MEGA.BIN", "My Documents/Pr\xC3\xBC" "fung/\xCE\xA9mega.bin"},
    {"\\Data\\x", "Data/x"},  // exact spelling preferred over a case-insensitive match
    {"\\data\\x", "data/x"},
    {"\\no such\\Windows\\x", "no such/Windows/x"},  // after a missing folder, as given
    {"My Documents\\x", "My Documents/x"},
    {"\\\\My Documents\\\\.\\x", "My Documents/x"},
    {"\\My Documents\\..\\Windows\\x", "Windows/x"},
    {"\\..\\..\\etc\\passwd", "etc/passwd"},  // never above the root
    {"\\My Documents/x", "My Documents/x"},
    {"/tmp/Some\\Thing", "/tmp/Some\\Thing"},
};

TEST(Paths, DevicePathsMapUnderTheRootIgnoringCase) {
  TempDeviceRoot root;
  WriteHostFile(root.Host("My Documents/Pr\xC3\xBC" "fung/\xCE\xA9mega.bin"), "x");
  WriteHostFile(root.Host("Windows/QZTEventLog.dll"), "x");
  WriteHostFile(root.Host("Data/.keep"), "");
  WriteHostFile(root.Host("data/.keep"), "");
  for (const MappingCase& c : kMappingCases) {
    SCOPED_TRACE(c.device);
    std::string expected = c.host[0] == '/' ? c.host : root.Host(c.host);
    EXPECT_EQ(plat::HostPath(c.device), expected);
    EXPECT_EQ(plat::HostPath(plat::Widen(c.device).c_str()), expected);
  }
  EXPECT_EQ(plat::HostPath(""), root.path());
  EXPECT_EQ(plat::HostPath("\\"), root.path());
}

}  // namespace
