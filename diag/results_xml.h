// The results record "\\My Documents\\KPXResults.xml": one tagged line per
// recorded value, between a root start tag and a root end tag. Narrow text,
// lines ended by CR LF, no escaping. Private to diag/: only the trace log
// owns an instance and calls it, with the trace log's lock held.
#pragma once

#include <cstddef>

#include "platform.h"

// Longest line of the record, tags and "\r\n" included.
constexpr size_t kResultsLineMax = 511;

// The element tag of a LogResult index, or nullptr for an index outside the
// table (9, "end of the table", included).
const char* ResultsTag(int index);

class CResultsXml {
 public:
  explicit CResultsXml(const wchar_t* path) : m_path(path) {}
  CResultsXml(const CResultsXml&) = delete;
  CResultsXml& operator=(const CResultsXml&) = delete;

  // Creates the file afresh and writes the root start tag; does nothing once
  // started, and nothing either once creation has failed (the record then
  // stays broken for the rest of the process). 1 on success, 0 on failure.
  int Open();
  // Appends "\t<tag>value</tag>\r\n", starting the record first if needed.
  // A value too long for the line is cut so the line still ends with its end
  // tag. 0 when the line could not be written whole (or the index has no
  // tag); 1 otherwise, also when the record is broken and nothing is written.
  int Add(int index, const char* value);
  // Writes the root end tag and closes the file. A broken record stays broken.
  int Close();

  // What process exit does: the file is closed without an end tag, and the
  // record counts as not started (tests use it to begin like a new process).
  void Abandon();

 private:
  bool IsValid() const { return m_file != plat::kNoHandle && m_file != plat::kInvalidHandle; }

  plat::Handle m_file = plat::kNoHandle;  // kNoHandle: not started; kInvalidHandle: broken
  const wchar_t* m_path;
};
