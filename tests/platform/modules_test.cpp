#include <cstdint>

#include "test_support.h"

namespace {

using testsupport::DebugCapture;
using testsupport::ReadHostFile;
using testsupport::TempDeviceRoot;
using testsupport::WriteHostFile;

using LogStringFn = void (*)(uint32_t zone, const char* format, ...);

struct LoadCase {
  std::wstring name;
  plat::ErrorCode error;  // kErrNone: loads
};

const std::wstring kSimLibHost = plat::Widen(FLASHWRIGHT_SIMLIB_DIR "/QZTEventLog.dll");

const LoadCase kLoadCases[] = {
    {L"QZTEventLog.dll", plat::kErrNone},
    {L"qzteventlog.DLL", plat::kErrNone},  // bare names are looked up ignoring case
    {L"QZTEventLog", plat::kErrNone},      // ".dll" is implied
    {L"\\Windows\\QZTEventLog.dll", plat::kErrNone},
    {L"\\windows\\qzteventlog.dll", plat::kErrNone},
    {kSimLibHost, plat::kErrNone},
    {L"Missing.dll", plat::kErrNotFound},
    {L"\\My Documents\\QZTEventLog.dll", plat::kErrNotFound},
    {L"/nonexistent/QZTEventLog.dll", plat::kErrNotFound},
    {L"Windows", plat::kErrNotFound},  // a bare name inside \Windows, not the folder
    {L"Broken.dll", plat::kErrBadFormat},
};

TEST(Modules, LoadsByBareNameDevicePathOrHostPath) {
  TempDeviceRoot root;
  root.InstallEventLogLibrary();
  WriteHostFile(root.Host("Windows/Broken.dll"), "not a library");
  for (const LoadCase& c : kLoadCases) {
    SCOPED_TRACE(plat::Narrow(c.name));
    plat::SetLastErrorCode(plat::kErrNone);
    plat::ModuleHandle module = plat::LoadModule(c.name.c_str());
    EXPECT_EQ(module != nullptr, c.error == plat::kErrNone);
    if (module == nullptr) {
      EXPECT_EQ(plat::LastError(), c.error);
    } else {
      EXPECT_TRUE(plat::ReleaseModule(module));
    }
  }
}

TEST(Modules, ExportsAreFoundAndCalled) {
  TempDeviceRoot root;
  root.InstallEventLogLibrary();
  plat::ModuleHandle module = plat::LoadModule(L"QZTEventLog.dll");
  ASSERT_NE(module, nullptr);
  auto log = reinterpret_cast<LogStringFn>(plat::FindExport(module, "QZTLogString"));
  ASSERT_NE(log, nullptr);
  log(0x44230000u, "%s", "Modules - hello\r\n");
  EXPECT_NE(ReadHostFile(root.Host("Windows/eventlog.txt")).find("Modules - hello"), std::string::npos);

  EXPECT_EQ(plat::FindExport(module, "QZTNoSuchExport"), nullptr);
  EXPECT_EQ(plat::LastError(), plat::kErrNotFound);
  EXPECT_TRUE(plat::ReleaseModule(module));

  EXPECT_EQ(plat::FindExport(nullptr, "QZTLogString"), nullptr);
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidHandle);
  EXPECT_FALSE(plat::ReleaseModule(nullptr));
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidHandle);
}

TEST(Modules, LoadErrorGoesToTheDebuggerOutput) {
  TempDeviceRoot root;
  WriteHostFile(root.Host("Windows/Broken.dll"), "not a library");
  DebugCapture capture;
  EXPECT_EQ(plat::LoadModule(L"broken.dll"), nullptr);
  // The loader's own reason names the host file it tried.
  EXPECT_EQ(capture.Count("LoadModule - ERROR loading broken.dll: "), 1) << capture.Text();
  EXPECT_TRUE(capture.Contains(root.Host("Windows/Broken.dll"))) << capture.Text();
  capture.Clear();
  EXPECT_EQ(plat::LoadModule(L"Missing.dll"), nullptr);
  EXPECT_EQ(capture.Text(), "");
}

}  // namespace
