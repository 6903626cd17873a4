// A fresh device root and debugger capture per test, with the trace log put
// back where a new process starts before and after each test.
#pragma once

#include <string>

#include "test_support.h"
#include "trace_log.h"
#include "trace_log_internal.h"

class TraceLogFixture : public ::testing::Test {
 protected:
  void SetUp() override { diag_testing::ResetTraceLogForTest(); }
  void TearDown() override { diag_testing::ResetTraceLogForTest(); }

  std::string LogPath() const { return root_.Host("My Documents/flwright.log"); }
  std::string ResultsPath() const { return root_.Host("My Documents/KPXResults.xml"); }
  std::string EventLogPath() const { return root_.Host("Windows/eventlog.txt"); }
  std::string Log() const { return testsupport::ReadHostFile(LogPath()); }
  std::string Results() const { return testsupport::ReadHostFile(ResultsPath()); }
  std::string EventLog() const { return testsupport::ReadHostFile(EventLogPath()); }

  testsupport::TempDeviceRoot root_;
  testsupport::DebugCapture debug_;
};
