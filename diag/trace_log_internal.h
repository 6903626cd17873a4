// The static trace log behind TraceMsg, LogResult and CloseTraceLog. Private
// to diag/ (and its tests).
#pragma once

#include <cstddef>
#include <mutex>

#include "platform.h"
#include "results_xml.h"

// Size of the narrow message buffer (the longest message is one byte less)
// and of the wide buffer it is converted into for the debugger output.
constexpr size_t kTraceMessageBytes = 1024;
constexpr size_t kTraceWideChars = 2048;

// How many bytes of a UTF-8 text of `length` bytes fit in `max` bytes without
// splitting a character.
size_t CutLength(const char* text, size_t length, size_t max);

class CTraceLog {
 public:
  CTraceLog();
  // Closes the trace file if it is open; the results record is left as it
  // is (a run that ends without CloseTraceLog leaves no root end tag).
  ~CTraceLog();
  CTraceLog(const CTraceLog&) = delete;
  CTraceLog& operator=(const CTraceLog&) = delete;

  // Serialises the opening step, the event-log binding and every write.
  // Re-entrant: the opening step can trace (a failed results start tag).
  std::recursive_mutex& Lock() { return m_lock; }

  // The opening step: opens the trace file (read/write, no sharing,
  // open-or-create, written from its beginning) and starts the results
  // record. Does nothing while the trace file is open. Lock held.
  void EnsureOpen();
  // Writes exactly `length` bytes to the trace file if it is open; a failed
  // or short write is ignored. Lock held.
  void Write(const char* text, size_t length);
  // Closes the trace file and ends the results record. Lock held.
  void Close();
  // Closes the trace file and abandons the results record without its end
  // tag, as process exit would. Lock held.
  void Abandon();

  CResultsXml& Results() { return m_results; }

 private:
  void CloseTraceFile();

  std::recursive_mutex m_lock;
  plat::Handle m_file = plat::kNoHandle;  // kNoHandle: none
  char m_tracePath[260];
  CResultsXml m_results;
};

// The one trace log of the process.
CTraceLog& TheTraceLog();

namespace diag_testing {

// Puts the trace log back where a new process starts: trace file closed,
// results record abandoned without its end tag, event-log library released.
void ResetTraceLogForTest();

}  // namespace diag_testing
