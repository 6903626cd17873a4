// Flashwright diagnostics: the process-wide trace log and results record.
//
// TraceMsg sends one formatted line to the event-log library, the debugger
// output and the trace file "\\My Documents\\flwright.log"; LogResult records
// one tagged value in the results record "\\My Documents\\KPXResults.xml".
// Messages carry their own "\r\n". Both are safe to call from any thread and
// allocate nothing on the heap per message.
#pragma once

#include <cstdint>

// Trace zones: the event identifier passed on to the event log.
constexpr uint32_t ZONE_SUCCESS = 0x04230000u;
constexpr uint32_t ZONE_INFO = 0x44230000u;
constexpr uint32_t ZONE_WARNING = 0x84230000u;
constexpr uint32_t ZONE_ERROR = 0xC4230000u;

// Results record fields, by LogResult index.
enum ResultField : int {
  RESULT_ROOT = 0,          // KPX_Results, the root element
  RESULT_DATE = 1,          // Date
  RESULT_TIME = 2,          // Time
  RESULT_ERRSTR = 3,        // ErrStr: every recorded failure text
  RESULT_DUR = 4,           // Dur
  RESULT_FLASH_VER = 5,     // Flash_Ver
  RESULT_FIRMWARE_VER = 6,  // Firmware_Ver
  RESULT_SERIAL_NUM = 7,    // Serial_Num
  RESULT_HW_CFG = 8,        // Hw_Cfg
  RESULT_NONE = 9,          // end of the table: nothing is recorded
};

void TraceMsg(bool toEventLog, uint32_t zone, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void LogResult(bool toEventLog, int index, uint32_t zone, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void CloseTraceLog();
