#include <unistd.h>

#include <filesystem>
#include <string>

#include "trace_log_fixture.h"

namespace fs = std::filesystem;

namespace {

using ResultsXmlTest = TraceLogFixture;

TEST_F(ResultsXmlTest, FailureThenCloseLeavesExactlyThreeLines) {
  TraceMsg(true, ZONE_ERROR, "CheckFiles - ERROR firmware file missing\r\n");
  LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "Firmware file %s not found", "a.bin");
  CloseTraceLog();
  EXPECT_EQ(Results(), "<KPX_Results>\r\n\t<ErrStr>Firmware file a.bin not found</ErrStr>\r\n</KPX_Results>\r\n");
}

TEST_F(ResultsXmlTest, EachIndexWritesItsElementInCallOrder) {
  struct Case {
    int index;
    const char* value;
    const char* line;
  };
  const Case cases[] = {
      {RESULT_DATE, "2024-01-02", "\t<Date>2024-01-02</Date>\r\n"},
      {RESULT_TIME, "12:00", "\t<Time>12:00</Time>\r\n"},
      {RESULT_DUR, "93 s", "\t<Dur>93 s</Dur>\r\n"},
      {RESULT_FLASH_VER, "DRV 2.1", "\t<Flash_Ver>DRV 2.1</Flash_Ver>\r\n"},
      {RESULT_SERIAL_NUM, "SN1", "\t<Serial_Num>SN1</Serial_Num>\r\n"},
      {RESULT_ERRSTR, "a<b && c>d", "\t<ErrStr>a<b && c>d</ErrStr>\r\n"},  // no escaping
      {RESULT_ERRSTR, "two\r\nlines", "\t<ErrStr>two\r\nlines</ErrStr>\r\n"},
  };
  std::string expected = "<KPX_Results>\r\n";
  for (const Case& c : cases) {
    LogResult(true, c.index, ZONE_INFO, "%s", c.value);
    expected += c.line;
  }
  EXPECT_EQ(Results(), expected);
  EXPECT_EQ(Log(), "");
}

// Indices outside the tag table are refused, never looked up past its end.
TEST_F(ResultsXmlTest, IndexOutsideTheTableRecordsNothing) {
  for (int index : {-1, 10, 1000}) {
    LogResult(true, index, ZONE_ERROR, "index %d", index);
  }
  EXPECT_EQ(Results(), "<KPX_Results>\r\n");
  EXPECT_EQ(debug_.Count("CResultsXml::Add - ERROR no element for index"), 3);
}

// A value too long for a 511-character line is cut so that the line still
// ends with its end tag.
TEST_F(ResultsXmlTest, OverlongValueIsCutAndKeepsItsEndTag) {
  LogResult(true, RESULT_HW_CFG, ZONE_INFO, "%s", std::string(900, 'h').c_str());
  LogResult(true, RESULT_SERIAL_NUM, ZONE_INFO, "after");
  const std::string results = Results();
  const size_t first = results.find("\r\n") + 2;
  const size_t second = results.find("\r\n", first) + 2;
  const std::string line = results.substr(first, second - first);
  EXPECT_EQ(line.size(), 511u);
  EXPECT_EQ(line.substr(0, 9), "\t<Hw_Cfg>");
  EXPECT_EQ(line.substr(line.size() - 11), "</Hw_Cfg>\r\n");
  EXPECT_EQ(results.substr(second), "\t<Serial_Num>after</Serial_Num>\r\n");
}

// The record cannot be created (a folder stands where it belongs) while the
// trace file can: reported once for the whole process, values dropped.
TEST_F(ResultsXmlTest, CreationFailureIsReportedOnce) {
  fs::create_directory(ResultsPath());
  TraceMsg(true, ZONE_INFO, "first\r\n");
  LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "dropped one");
  LogResult(true, RESULT_FIRMWARE_VER, ZONE_INFO, "dropped two");
  const std::string first_run = Log();
  CloseTraceLog();
  TraceMsg(true, ZONE_INFO, "after close\r\n");
  LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "dropped three");

  EXPECT_EQ(debug_.Count("CResultsXml::Open.  Error writing start tag <KPX_Results>\r\n"), 1);
  EXPECT_EQ(debug_.Count("Error writing end tag"), 0);
  EXPECT_TRUE(fs::is_directory(ResultsPath()));
  EXPECT_EQ(first_run, "CResultsXml::Open.  Error writing start tag <KPX_Results>\r\nfirst\r\n");
  EXPECT_EQ(Log(), "after close\r\n" + first_run.substr(13));
}

// Writes that fail on an open record (a full disk) are traced with the line
// each time; the end tag's failure lands at the end of this run's log, and
// CloseTraceLog still leaves everything closed.
TEST_F(ResultsXmlTest, WriteFailuresAreTracedAndCloseStillClosesAll) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full on this machine";
  fs::create_symlink("/dev/full", ResultsPath());
  TraceMsg(true, ZONE_INFO, "run - start\r\n");
  LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "E1");
  CloseTraceLog();

  EXPECT_EQ(Log(),
            "CResultsXml::Open.  Error writing start tag <KPX_Results>\r\n"
            "run - start\r\n"
            "CResultsXml::Add.  Error writing end tag \t<ErrStr>E1</ErrStr>\r\n"
            "CResultsXml::Close.  Error writing end tag");
  // Nothing holds the trace file any more: a no-sharing open succeeds.
  plat::UniqueHandle file(plat::OpenFile(L"\\My Documents\\flwright.log", plat::kAccessRead | plat::kAccessWrite,
                                         plat::kShareNone, plat::Disposition::kOpenExisting));
  EXPECT_TRUE(file.valid()) << "win32err " << plat::LastError();
}

}  // namespace
