#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "engine_protocol.h"

namespace {

struct LinkCase {
  const wchar_t* engine;
  bool found;
  uint32_t baud;
  const wchar_t* port;
};

TEST(EngineCatalogue, DefaultLinkSettingsComeFromTheFirstFittingRow) {
  const LinkCase cases[] = {
      {L"QA71", true, 115200, L"COM2:"},
      {L"qa71", true, 115200, L"COM2:"},
      {L"QE86", true, 115200, L"COM2:"},
      {L"QF27", true, 460800, L"COM7:"},
      {L"QB32", false, 0, nullptr},
      {L"QC53", false, 0, nullptr},
      {L"QA7", false, 0, nullptr},
      {L"", false, 0, nullptr},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(plat::Narrow(c.engine));
    uint32_t baud = 0;
    const wchar_t* port = nullptr;
    ASSERT_EQ(FindEngineLink(c.engine, &baud, &port), c.found);
    if (!c.found) continue;
    EXPECT_EQ(baud, c.baud);
    EXPECT_STREQ(port, c.port);
  }
  // QA71 has two rows; the default is the first of them (row 2 of the table).
  const wchar_t* port = nullptr;
  ASSERT_TRUE(FindEngineLink(L"QA71", nullptr, &port));
  EXPECT_EQ(port, EngineLinkTable[1].port);
  EXPECT_FALSE(FindEngineLink(nullptr, nullptr, nullptr));
}

TEST(EngineCatalogue, AutodetectAnswerMustBePairedWithTheEngine) {
  struct Case {
    const char* engine;
    uint8_t response;
    bool accepted;
  };
  const Case cases[] = {
      {"QA71", 0x72, true},  {"QA71", 0x73, true},  {"QE86", 0x70, true},  {"QF27", 0x72, true},
      {"QA71", 0x70, false}, {"QE86", 0x72, false}, {"QF27", 0x73, false}, {"QB32", 0x70, false},
      {"QB32", 0x72, false}, {"QC53", 0x73, false}, {"QC53", 0x00, false}, {"QA7", 0x72, false},
      {"", 0x72, false},     {nullptr, 0x72, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.engine ? c.engine : "(null)") + " " + std::to_string(c.response));
    EXPECT_EQ(IsAutodetectAccepted(c.engine, c.response), c.accepted);
  }
}

TEST(EngineCatalogue, DeviceTypeNamesTheEngine) {
  struct Case {
    int32_t device_type;
    const wchar_t* name;  // the shared constant itself, or nullptr
  };
  const Case cases[] = {
      {37, ENGINE_QA71}, {28, ENGINE_QB32}, {32, ENGINE_QC53}, {34, ENGINE_QE86},
      {48, ENGINE_QF27}, {0, nullptr},      {36, nullptr},     {-1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device_type);
    // The rows hold the shared name constants, not copies.
    EXPECT_EQ(EngineNameForDeviceType(c.device_type), c.name);
  }
}

TEST(EngineCatalogue, UpgradeRowsMatchTheStartOfTheNameIgnoringCase) {
  struct Case {
    const wchar_t* engine;
    std::vector<int> rows;  // indices into ScannerTypeTable, in order
  };
  const Case cases[] = {
      {L"qa71", {0}},
      {L"QF27", {4}},
      {L"Q", {0, 1, 2, 3, 4}},
      {L"", {0, 1, 2, 3, 4}},
      {L"QA71X", {}},
      {L"QX", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(plat::Narrow(c.engine));
    const ScannerTypeEntry* rows[8] = {};
    const int n = FindUpgradeRows(c.engine, rows, 8);
    ASSERT_EQ(n, static_cast<int>(c.rows.size()));
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(rows[i], &ScannerTypeTable[c.rows[i]]);
      EXPECT_EQ(rows[i]->upgrade, &engine_upgrade);
    }
  }
}

TEST(EngineCatalogue, UpgradeRowsNeverOverrunTheCallersArray) {
  const ScannerTypeEntry* rows[3] = {nullptr, nullptr, nullptr};
  EXPECT_EQ(FindUpgradeRows(L"", rows, 2), 2);
  EXPECT_EQ(rows[0], &ScannerTypeTable[0]);
  EXPECT_EQ(rows[1], &ScannerTypeTable[1]);
  EXPECT_EQ(rows[2], nullptr);
  EXPECT_EQ(FindUpgradeRows(nullptr, rows, 3), 0);
}

}  // namespace
