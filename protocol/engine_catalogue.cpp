// The engine catalogue: which autodetect answer and serial settings belong to
// each engine model, and which upgrade routine serves each device type.
#include <cstring>
#include <cwchar>
#include <strings.h>

#include "engine_protocol.h"
#include "protocol_internal.h"

const wchar_t ENGINE_QA71[] = L"QA71";
const wchar_t ENGINE_QB32[] = L"QB32";
const wchar_t ENGINE_QC53[] = L"QC53";
const wchar_t ENGINE_QE86[] = L"QE86";
const wchar_t ENGINE_QF27[] = L"QF27";

namespace {
const wchar_t PORT_COM2[] = L"COM2:";
const wchar_t PORT_COM7[] = L"COM7:";
}  // namespace

const EngineLinkEntry EngineLinkTable[] = {
    {ENGINE_QE86, 0x70, 115200, PORT_COM2},
    {ENGINE_QA71, 0x72, 115200, PORT_COM2},
    {ENGINE_QA71, 0x73, 115200, PORT_COM2},
    {ENGINE_QF27, 0x72, 460800, PORT_COM7},
};
const int EngineLinkTableCount = sizeof(EngineLinkTable) / sizeof(EngineLinkTable[0]);

const ScannerTypeEntry ScannerTypeTable[] = {
    {37, ENGINE_QA71, engine_upgrade},
    {32, ENGINE_QC53, engine_upgrade},
    {28, ENGINE_QB32, engine_upgrade},
    {34, ENGINE_QE86, engine_upgrade},
    {48, ENGINE_QF27, engine_upgrade},
};
const int ScannerTypeTableCount = sizeof(ScannerTypeTable) / sizeof(ScannerTypeTable[0]);

bool FindEngineLink(const wchar_t* engine, uint32_t* baud, const wchar_t** port) {
  if (engine == nullptr) return false;
  for (int i = 0; i < EngineLinkTableCount; ++i) {
    const EngineLinkEntry& row = EngineLinkTable[i];
    if (wcscasecmp(row.name, engine) != 0) continue;
    if (baud != nullptr) *baud = row.baud;
    if (port != nullptr) *port = row.port;
    return true;
  }
  return false;
}

const EngineLinkEntry* FindAutodetectRow(const char* engine, uint8_t response) {
  if (engine == nullptr) return nullptr;
  for (int i = 0; i < EngineLinkTableCount; ++i) {
    const EngineLinkEntry& row = EngineLinkTable[i];
    // The callers hold the engine name as narrow text; compare in that form.
    char name[16];
    if (plat::WideToNarrow(row.name, -1, name, sizeof(name)) == 0) continue;
    if (strcasecmp(name, engine) == 0 && row.autodetect_rsp == response) return &row;
  }
  return nullptr;
}

bool IsAutodetectAccepted(const char* engine, uint8_t response) {
  return FindAutodetectRow(engine, response) != nullptr;
}

const wchar_t* EngineNameForDeviceType(int32_t device_type) {
  for (int i = 0; i < ScannerTypeTableCount; ++i) {
    if (ScannerTypeTable[i].device_type == device_type) return ScannerTypeTable[i].name;
  }
  return nullptr;
}

// Returns the number of rows stored, so a caller may walk rows[0..result).
int FindUpgradeRows(const wchar_t* engine, const ScannerTypeEntry** rows, int capacity) {
  if (engine == nullptr) return 0;
  const size_t length = wcslen(engine);
  int found = 0;
  for (int i = 0; i < ScannerTypeTableCount; ++i) {
    if (wcsncasecmp(ScannerTypeTable[i].name, engine, length) != 0) continue;
    if (rows == nullptr || found >= capacity) break;
    rows[found++] = &ScannerTypeTable[i];
  }
  return found;
}
