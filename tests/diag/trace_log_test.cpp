#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "trace_log_fixture.h"

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Heap allocations of this executable, counted while g_count_allocations is set.

namespace {
std::atomic<bool> g_count_allocations{false};
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (g_count_allocations) ++g_allocations;
  void* p = std::malloc(size != 0 ? size : 1);
  if (p == nullptr) std::abort();
  return p;
}
// Not inlined, so the compiler does not pair a visible free() with new.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using TraceLogTest = TraceLogFixture;

TEST_F(TraceLogTest, FirstMessageCreatesTheLogAndStartsTheRecord) {
  TraceMsg(true, ZONE_INFO, "OnInitDialog - in.  silent: %d\r\n", 0);
  EXPECT_EQ(Log(), "OnInitDialog - in.  silent: 0\r\n");
  EXPECT_EQ(Results(), "<KPX_Results>\r\n");
  EXPECT_EQ(debug_.Messages(), std::vector<std::string>{"OnInitDialog - in.  silent: 0\r\n"});
}

TEST_F(TraceLogTest, ShorterRunOverwritesTheStartAndLeavesTheTail) {
  TraceMsg(true, ZONE_INFO, "first run, line one\r\n");
  TraceMsg(true, ZONE_INFO, "first run, line two\r\n");
  diag_testing::ResetTraceLogForTest();  // the process ends without CloseTraceLog
  TraceMsg(true, ZONE_INFO, "second\r\n");
  EXPECT_EQ(Log(), "second\r\nn, line one\r\nfirst run, line two\r\n");
}

TEST_F(TraceLogTest, MessageWithoutLineEndRunsOn) {
  TraceMsg(true, ZONE_INFO, "progress %d%%", 50);
  TraceMsg(true, ZONE_INFO, " ... done\r\n");
  EXPECT_EQ(Log(), "progress 50% ... done\r\n");
}

TEST_F(TraceLogTest, IndexNineReachesTheDebuggerAndOpensBothFilesOnly) {
  LogResult(true, RESULT_NONE, ZONE_INFO, "nothing to record %d", 9);
  EXPECT_EQ(debug_.Messages(), std::vector<std::string>{"nothing to record 9"});
  EXPECT_TRUE(testsupport::HostFileExists(LogPath()));
  EXPECT_EQ(Log(), "");  // recorded values never go to the trace file
  EXPECT_EQ(Results(), "<KPX_Results>\r\n");
}

TEST_F(TraceLogTest, MessageAfterCloseReopensFromTheStartWithAFreshRecord) {
  TraceMsg(true, ZONE_INFO, "run one - first line\r\n");
  LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "first failure");
  CloseTraceLog();
  EXPECT_EQ(Results(), "<KPX_Results>\r\n\t<ErrStr>first failure</ErrStr>\r\n</KPX_Results>\r\n");
  CloseTraceLog();  // nothing open: nothing happens

  TraceMsg(true, ZONE_INFO, "again\r\n");
  EXPECT_EQ(Log(), "again\r\n - first line\r\n");
  EXPECT_EQ(Results(), "<KPX_Results>\r\n");
}

TEST_F(TraceLogTest, TraceFileThatCannotBeOpenedIsTriedAgainOnEveryMessage) {
  fs::create_directory(LogPath());  // a folder where the log should be
  TraceMsg(true, ZONE_INFO, "lost to the file\r\n");
  EXPECT_TRUE(debug_.Contains("lost to the file\r\n"));
  EXPECT_EQ(Results(), "<KPX_Results>\r\n");  // the record starts all the same

  fs::remove(LogPath());
  TraceMsg(true, ZONE_INFO, "reaches the file\r\n");
  EXPECT_EQ(Log(), "reaches the file\r\n");
}

// Messages longer than the 1023 bytes a message holds are cut, at a character
// boundary, and keep the line end their format asks for.
TEST_F(TraceLogTest, OverlongMessageIsCutWithoutOverrun) {
  std::string e_acute;  // 2-byte characters: the cut at 1021 bytes falls inside one
  for (int i = 0; i < 600; ++i) e_acute += "\xC3\xA9";
  struct Case {
    const char* format;
    std::string text;
    std::string ending;
    size_t length;
  };
  const Case cases[] = {
      {"%s\r\n", std::string(2000, 'x'), "xx\r\n", 1023},
      {"%s", std::string(2000, 'x'), "xxx", 1023},
      {"%s\r\n", e_acute, "\xC3\xA9\r\n", 1022},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    diag_testing::ResetTraceLogForTest();
    fs::remove(LogPath());
    debug_.Clear();
    TraceMsg(true, ZONE_INFO, c.format, c.text.c_str());
    const std::string log = Log();
    EXPECT_EQ(log.size(), c.length);
    EXPECT_EQ(log.substr(log.size() - c.ending.size()), c.ending);
    EXPECT_EQ(debug_.Text(), log);  // whole characters only: the round trip changes nothing
  }
}

// A wide argument that cannot be converted makes the formatting fail: the
// bare format is traced rather than whatever the buffer held.
TEST_F(TraceLogTest, UnconvertibleArgumentTracesTheFormat) {
  const wchar_t lone_surrogate[] = {static_cast<wchar_t>(0xD800), 0};
  TraceMsg(true, ZONE_ERROR, "Dlg::SetPath - ERROR path %ls\r\n", lone_surrogate);
  EXPECT_EQ(Log(), "Dlg::SetPath - ERROR path %ls\r\n");
}

TEST_F(TraceLogTest, EventLogLibraryMissingLeavesTheOtherSinks) {
  TraceMsg(true, ZONE_ERROR, "transport_open - ERROR opening port\r\n");
  EXPECT_EQ(Log(), "transport_open - ERROR opening port\r\n");
  EXPECT_TRUE(debug_.Contains("transport_open - ERROR"));
  EXPECT_FALSE(testsupport::HostFileExists(EventLogPath()));
}

TEST_F(TraceLogTest, EventLogGetsExactlyTheFlaggedMessagesWithTheirZones) {
  root_.InstallEventLogLibrary();
  TraceMsg(true, ZONE_INFO, "OnStart - in.\r\n");
  TraceMsg(false, ZONE_INFO, "-> block %d\r\n", 7);
  TraceMsg(true, ZONE_SUCCESS, "Download successful.\r\n");
  TraceMsg(true, ZONE_WARNING, "%s\r\n", "WARNING 100%s literal, not a format");
  TraceMsg(true, ZONE_ERROR, "no line end");
  LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "recorded, not sent");
  EXPECT_EQ(EventLog(),
            "0x44230000 OnStart - in.\r\n"
            "0x04230000 Download successful.\r\n"
            "0x84230000 WARNING 100%s literal, not a format\r\n"
            "0xC4230000 no line end\n");
}

TEST_F(TraceLogTest, CloseReleasesTheEventLogAndTheNextMessageLoadsItAgain) {
  root_.InstallEventLogLibrary();
  TraceMsg(true, ZONE_INFO, "before close\r\n");
  CloseTraceLog();
  // Released: with the library gone from the device, nothing reaches the event log.
  fs::remove(root_.Host("Windows/QZTEventLog.dll"));
  TraceMsg(true, ZONE_INFO, "while missing\r\n");
  root_.InstallEventLogLibrary();
  TraceMsg(true, ZONE_INFO, "after reinstall\r\n");
  EXPECT_EQ(EventLog(), "0x44230000 before close\r\n0x44230000 after reinstall\r\n");
}

// A message costs no heap allocation once the files are open and the
// event-log library is bound.
TEST_F(TraceLogTest, MessagesAllocateNothingOnTheHeap) {
  root_.InstallEventLogLibrary();
  struct Counter {
    static void Sink(void* context, const wchar_t*) { ++*static_cast<long*>(context); }
  };
  long debug_messages = 0;
  plat::DebugSink previous = nullptr;
  void* previous_context = nullptr;
  plat::SetDebugSink(&Counter::Sink, &debug_messages, &previous, &previous_context);

  TraceMsg(true, ZONE_INFO, "warm-up\r\n");
  g_allocations = 0;
  g_count_allocations = true;
  TraceMsg(true, ZONE_INFO, "TraceMsg %d %ls\r\n", 1, L"wide");
  TraceMsg(false, ZONE_ERROR, "TraceMsg %s\r\n", "two");
  LogResult(true, RESULT_FIRMWARE_VER, ZONE_SUCCESS, "FW %d.%02d", 1, 5);
  LogResult(true, RESULT_NONE, ZONE_INFO, "not recorded");
  g_count_allocations = false;
  plat::SetDebugSink(previous, previous_context);

  EXPECT_EQ(g_allocations.load(), 0);
  EXPECT_EQ(debug_messages, 5);
  // The counter does see allocations made in this executable.
  g_count_allocations = true;
  const std::string probe(100, 'p');
  g_count_allocations = false;
  EXPECT_GT(g_allocations.load(), 0);
  EXPECT_EQ(EventLog(), "0x44230000 warm-up\r\n0x44230000 TraceMsg 1 wide\r\n");
}

// Process exit destroys the static trace log: the trace file is closed, the
// results record is left without its end tag.
TEST_F(TraceLogTest, ExitWithoutCloseLeavesTheRecordWithoutEndTag) {
  EXPECT_EXIT(
      {
        TraceMsg(true, ZONE_INFO, "leaving through Exit\r\n");
        LogResult(true, RESULT_HW_CFG, ZONE_INFO, "CFG-1");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Log(), "leaving through Exit\r\n");
  EXPECT_EQ(Results(), "<KPX_Results>\r\n\t<Hw_Cfg>CFG-1</Hw_Cfg>\r\n");
}

// Two threads tracing at once: both files are opened once and every message
// reaches every sink whole.
using TraceLogConcurrencyTest = TraceLogFixture;

TEST_F(TraceLogConcurrencyTest, TwoThreadsLeaveEveryMessageWhole) {
  root_.InstallEventLogLibrary();
  constexpr int kMessages = 400;
  const std::string padding(60, '.');
  auto run = [&](char name) {
    for (int i = 0; i < kMessages; ++i) {
      TraceMsg(true, ZONE_INFO, "Thread%c - message %04d %s\r\n", name, i, padding.c_str());
      if (i % 50 == 0) LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "Thread%c %04d", name, i);
    }
  };
  std::thread a(run, 'A');
  std::thread b(run, 'B');
  a.join();
  b.join();

  // Every line of every sink must be one whole message, in order per thread.
  auto check_lines = [&](const std::string& text, const std::string& prefix, const char* what) {
    SCOPED_TRACE(what);
    int next[2] = {0, 0};
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find("\r\n", start);
      ASSERT_NE(end, std::string::npos) << "unterminated tail: " << text.substr(start);
      const std::string line = text.substr(start, end - start);
      start = end + 2;
      ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
      const std::string body = line.substr(prefix.size());
      ASSERT_GE(body.size(), 6u) << line;
      const int thread = body[6] == 'A' ? 0 : 1;
      char expected[128];
      snprintf(expected, sizeof(expected), "Thread%c - message %04d %s", body[6], next[thread], padding.c_str());
      ASSERT_EQ(body, expected);
      ++next[thread];
    }
    EXPECT_EQ(next[0], kMessages);
    EXPECT_EQ(next[1], kMessages);
  };
  check_lines(Log(), "", "trace file");
  check_lines(EventLog(), "0x44230000 ", "event log");
  std::string traced;
  for (const std::string& m : debug_.Messages()) {
    if (m.rfind("Thread", 0) == 0 && m.find(" - ") != std::string::npos) traced += m;
  }
  check_lines(traced, "", "debugger output");

  // The record: started once, then whole value lines only.
  const std::string results = Results();
  ASSERT_EQ(results.rfind("<KPX_Results>\r\n", 0), 0u);
  const std::regex value_line("\t<ErrStr>Thread[AB] [0-9]{4}</ErrStr>");
  int values = 0;
  for (size_t start = 15, end; start < results.size(); start = end + 2, ++values) {
    end = results.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::regex_match(results.substr(start, end - start), value_line)) << results.substr(start, end - start);
  }
  EXPECT_EQ(values, 2 * kMessages / 50);
}

}  // namespace
