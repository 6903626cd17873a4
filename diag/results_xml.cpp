// The results record: what a run found and why it failed, for an
// administrator or a management tool.
#include "results_xml.h"

#include <cstdio>
#include <cstring>

#include "trace_log.h"
#include "trace_log_internal.h"

namespace {

// Element tags by LogResult index; the last entry ends the table.
const char* const kResultsTags[] = {
    "KPX_Results", "Date", "Time", "ErrStr", "Dur", "Flash_Ver", "Firmware_Ver", "Serial_Num", "Hw_Cfg", nullptr,
};
constexpr int kResultsTagCount = static_cast<int>(sizeof(kResultsTags) / sizeof(kResultsTags[0]));

// Writes a whole line; false when the write fails or comes up short.
bool WriteLine(plat::Handle file, const char* line, size_t length) {
  uint32_t written = 0;
  const bool ok = plat::Write(file, line, static_cast<uint32_t>(length), &written);
  return ok && written == length;
}

}  // namespace

const char* ResultsTag(int index) {
  if (index < 0 || index >= kResultsTagCount) return nullptr;
  return kResultsTags[index];
}

int CResultsXml::Open() {
  if (m_file != plat::kNoHandle) return 1;  // started, or creation already failed
  // A failed creation leaves kInvalidHandle here, so the failure below is
  // reported once and later calls do not try again.
  m_file = plat::OpenFile(m_path, plat::kAccessRead | plat::kAccessWrite, plat::kShareNone,
                          plat::Disposition::kCreateAlways);
  if (m_file == plat::kNoHandle) return 0;

  char line[kResultsLineMax + 1];
  const int length = snprintf(line, sizeof(line), "<%s>\r\n", kResultsTags[RESULT_ROOT]);
  if (!IsValid() || !WriteLine(m_file, line, static_cast<size_t>(length))) {
    TraceMsg(true, ZONE_ERROR, "CResultsXml::Open.  Error writing start tag %s", line);
    return 0;
  }
  return 1;
}

int CResultsXml::Add(int index, const char* value) {
  const char* tag = ResultsTag(index);
  if (tag == nullptr) {
    TraceMsg(true, ZONE_ERROR, "CResultsXml::Add - ERROR no element for index %d\r\n", index);
    return 0;
  }
  if (m_file == plat::kNoHandle) Open();
  if (!IsValid()) return 1;  // broken record: values are dropped silently

  // "\t<" tag ">" value "</" tag ">\r\n": the value gets what the tags leave.
  const size_t overhead = 8 + 2 * strlen(tag);
  const size_t room = kResultsLineMax > overhead ? kResultsLineMax - overhead : 0;
  const int value_length = static_cast<int>(CutLength(value, strlen(value), room));
  char line[kResultsLineMax + 1];
  const int length = snprintf(line, sizeof(line), "\t<%s>%.*s</%s>\r\n", tag, value_length, value, tag);
  if (!WriteLine(m_file, line, static_cast<size_t>(length))) {
    TraceMsg(true, ZONE_ERROR, "CResultsXml::Add.  Error writing end tag %s", line);
    return 0;
  }
  return 1;
}

int CResultsXml::Close() {
  if (!IsValid()) return 1;
  char line[kResultsLineMax + 1];
  const int length = snprintf(line, sizeof(line), "</%s>\r\n", kResultsTags[RESULT_ROOT]);
  int result = 1;
  if (!WriteLine(m_file, line, static_cast<size_t>(length))) {
    TraceMsg(true, ZONE_ERROR, "CResultsXml::Close.  Error writing end tag");
    result = 0;
  }
  plat::CloseHandle(m_file);
  m_file = plat::kNoHandle;
  return result;
}

void CResultsXml::Abandon() {
  if (IsValid()) plat::CloseHandle(m_file);
  m_file = plat::kNoHandle;
}
