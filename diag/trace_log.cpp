// The process-wide trace log: every message goes to the maker's event-log
// library (when asked), the debugger output and the trace file
// "\\My Documents\\flwright.log"; recorded values go to the results record.
#include "trace_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "trace_log_internal.h"

namespace {

const char kTracePath[] = "\\My Documents\\flwright.log";
const wchar_t kResultsPath[] = L"\\My Documents\\KPXResults.xml";
const wchar_t kEventLogLibrary[] = L"\\Windows\\QZTEventLog.dll";
const char kEventLogExport[] = "QZTLogString";

// The event-log library's entry: a zone and a printf format with its arguments.
using QZTLogStringFn = void (*)(uint32_t zone, const char* format, ...);

// The event-log binding, loaded on the first message and released by
// CloseTraceLog. Guarded by the trace log's lock.
plat::ModuleHandle g_eventLogLibrary = nullptr;
QZTLogStringFn m_pfnQZTLogString = nullptr;

// Set once the static trace log is destroyed at process exit; a message traced
// after that (from another static's destructor) reaches the debugger only.
std::atomic<bool> g_traceLogGone{false};

// Loads the library and resolves its entry if not done yet. A failure leaves
// the item empty, to be tried again on the next message; nothing is reported.
QZTLogStringFn BindEventLog() {
  if (g_eventLogLibrary == nullptr) g_eventLogLibrary = plat::LoadModule(kEventLogLibrary);
  if (g_eventLogLibrary != nullptr && m_pfnQZTLogString == nullptr) {
    m_pfnQZTLogString = reinterpret_cast<QZTLogStringFn>(plat::FindExport(g_eventLogLibrary, kEventLogExport));
  }
  return m_pfnQZTLogString;
}

void ReleaseEventLog() {
  if (g_eventLogLibrary != nullptr) plat::ReleaseModule(g_eventLogLibrary);
  g_eventLogLibrary = nullptr;
  m_pfnQZTLogString = nullptr;
}

bool EndsWithLineEnd(const char* text) {
  const size_t length = strlen(text);
  return length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n';
}

// Formats into the message buffer and returns the message's length. A
// message too long for the buffer is cut at a character boundary; if its
// format ends the line, the cut message still ends with "\r\n".
size_t FormatMessage(char (&message)[kTraceMessageBytes], const char* format, va_list args) {
  constexpr size_t kMax = kTraceMessageBytes - 1;
  const int formatted = vsnprintf(message, sizeof(message), format, args);
  if (formatted < 0) {
    // An argument that cannot be converted (a wide text with an invalid
    // character): the bare format still says where the message came from.
    const size_t length = CutLength(format, strlen(format), kMax);
    memcpy(message, format, length);
    message[length] = '\0';
    return length;
  }
  const size_t full = static_cast<size_t>(formatted);
  if (full <= kMax) return full;
  size_t length = 0;
  if (EndsWithLineEnd(format)) {
    length = CutLength(message, full, kMax - 2);
    message[length++] = '\r';
    message[length++] = '\n';
  } else {
    length = CutLength(message, full, kMax);
  }
  message[length] = '\0';
  return length;
}

// One message, formatted and converted for the debugger output, in buffers
// on the caller's stack: no heap allocation per message.
struct FormattedMessage {
  char text[kTraceMessageBytes];
  size_t length = 0;
  wchar_t wide[kTraceWideChars] = {};

  void Format(const char* format, va_list args) {
    length = FormatMessage(text, format, args);
    plat::NarrowToWide(text, -1, wide, static_cast<int>(kTraceMessageBytes));
  }
};

}  // namespace

size_t CutLength(const char* text, size_t length, size_t max) {
  if (length <= max) return length;
  // Find where the last character before the cut starts and drop it if the
  // cut splits it. Only text[0, max) is read.
  size_t start = max;
  while (start > 0 && max - start < 3 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) --start;
  if (start == 0) return max;
  const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
  const size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return max - (start - 1) < needed ? start - 1 : max;
}

CTraceLog::CTraceLog() : m_results(kResultsPath) {
  memset(m_tracePath, 0, sizeof(m_tracePath));
  memcpy(m_tracePath, kTracePath, sizeof(kTracePath));
}

CTraceLog::~CTraceLog() {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  CloseTraceFile();
  g_traceLogGone = true;
}

void CTraceLog::EnsureOpen() {
  if (m_file != plat::kNoHandle) return;
  wchar_t path[sizeof(m_tracePath)];
  plat::NarrowToWide(m_tracePath, -1, path, static_cast<int>(sizeof(m_tracePath)));
  // Open-or-create without truncating: this run's lines overwrite the start
  // of an earlier log and leave the rest of a longer one behind them.
  const plat::Handle file = plat::OpenFile(path, plat::kAccessRead | plat::kAccessWrite, plat::kShareNone,
                                           plat::Disposition::kOpenAlways);
  m_file = file == plat::kInvalidHandle ? plat::kNoHandle : file;
  m_results.Open();
}

void CTraceLog::Write(const char* text, size_t length) {
  if (m_file == plat::kNoHandle) return;
  uint32_t written = 0;
  plat::Write(m_file, text, static_cast<uint32_t>(length), &written);
}

void CTraceLog::Close() {
  // The record first: a failure to write its end tag is traced while the
  // trace file is still open, so it lands at the end of this run's log.
  m_results.Close();
  CloseTraceFile();
}

void CTraceLog::Abandon() {
  CloseTraceFile();
  m_results.Abandon();
}

void CTraceLog::CloseTraceFile() {
  if (m_file != plat::kNoHandle) plat::CloseHandle(m_file);
  m_file = plat::kNoHandle;
}

CTraceLog& TheTraceLog() {
  static CTraceLog log;
  return log;
}

void TraceMsg(bool toEventLog, uint32_t zone, const char* format, ...) {
  FormattedMessage message;
  va_list args;
  va_start(args, format);
  message.Format(format, args);
  va_end(args);
  if (g_traceLogGone) return plat::DebugOutput(message.wide);

  CTraceLog& log = TheTraceLog();
  std::lock_guard<std::recursive_mutex> guard(log.Lock());
  QZTLogStringFn log_string = BindEventLog();
  if (toEventLog && log_string != nullptr) log_string(zone, "%s", message.text);
  plat::DebugOutput(message.wide);
  log.EnsureOpen();
  log.Write(message.text, message.length);
}

void LogResult(bool /*toEventLog*/, int index, uint32_t /*zone*/, const char* format, ...) {
  FormattedMessage message;
  va_list args;
  va_start(args, format);
  message.Format(format, args);
  va_end(args);
  if (g_traceLogGone) return plat::DebugOutput(message.wide);

  CTraceLog& log = TheTraceLog();
  std::lock_guard<std::recursive_mutex> guard(log.Lock());
  plat::DebugOutput(message.wide);
  log.EnsureOpen();
  if (index != RESULT_NONE) log.Results().Add(index, message.text);
}

void CloseTraceLog() {
  if (g_traceLogGone) return;
  CTraceLog& log = TheTraceLog();
  std::lock_guard<std::recursive_mutex> guard(log.Lock());
  log.Close();
  ReleaseEventLog();
}

namespace diag_testing {

void ResetTraceLogForTest() {
  CTraceLog& log = TheTraceLog();
  std::lock_guard<std::recursive_mutex> guard(log.Lock());
  log.Abandon();
  ReleaseEventLog();
}

}  // namespace diag_testing
