// The registry file: reading what registry editors write, queries, saving,
// malformed files and concurrent writers.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform.h"
#include "test_support.h"

namespace {

using namespace std::literals;
using testsupport::DebugCapture;
using testsupport::ReadHostFile;
using testsupport::TempDeviceRoot;
using testsupport::WriteHostFile;

constexpr const wchar_t* kQa71Key = L"Software\\Norlith\\ADCDevices\\QA71";
constexpr const wchar_t* kPortsKey = L"Software\\Norlith\\ADCPorts\\1\\Devices";
constexpr uint32_t kRegQword = 11;

using Bytes = std::vector<uint8_t>;

Bytes WideData(std::wstring_view text) {
  Bytes data(text.size() * sizeof(wchar_t));
  std::memcpy(data.data(), text.data(), data.size());
  return data;
}

Bytes DwordData(uint32_t v) {
  return Bytes(reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4);
}

std::string WithCrlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string Utf16LeWithBom(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  for (wchar_t c : plat::Widen(utf8)) {
    auto put = [&out](uint32_t unit) {
      out += static_cast<char>(unit & 0xFF);
      out += static_cast<char>(unit >> 8);
    };
    const auto cp = static_cast<uint32_t>(c);
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

// A device export as the registry editor writes it (LF here; CRLF in the file).
constexpr std::string_view kDeviceExport = R"(Windows Registry Editor Version 5.00

; Firmware files of the QA71 engine
[HKEY_LOCAL_MACHINE\Software\Norlith\ADCDevices\QA71]
"FirmwareImage"="\\My Documents\\QA71 \"new\".bin"
@="Ünïcødé default"
"Retries"=dword:0000012c
"Blob"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\
  16,17,18,19,1a,ff
"Expand"=hex(2):25,00,52,00,4f,00,4f,00,54,00,25,00,5c,00,66,00,e9,00,00,00
"Ports"=hex(7):43,00,4f,00,4d,00,31,00,3a,00,00,00,43,00,4f,00,4d,00,32,00,3a,\
  00,00,00,00,00
"Qword"=hex(b):2a,00,00,00,00,00,00,00
"Nothing"=hex(0):

[HKEY_LOCAL_MACHINE\Software\Norlith\ADCPorts\1\Devices]
"QA71"="COM7:"

)";

// The same content written by hand in the older format: narrow text in
// hex(2)/hex(7), short root names, comments, odd spacing, deletions.
constexpr std::string_view kHandWrittenRegedit4 = R"(REGEDIT4

; Written by hand.
[HKLM\Software\Norlith\ADCDevices\QA71]
"FirmwareImage"="\\My Documents\\QA71 \"new\".bin"   ; the image
@ = "Ünïcødé default"
"Retries"=DWORD:12C
"Blob"=hex:00,01,02,03,04,05,06,07,08,09,0A,0B,0C,0D,0E,0F,10,11,12,13,14,15,\
       16,17,18,19,1a,ff ; trailing note
"Expand"=hex(2):25,52,4f,4f,54,25,5c,66,c3,a9,00
"Ports"=hex(7):43,4f,4d,31,3a,00,43,4f,4d,32,3a,00,00
"Qword"=hex(b):2a,0,0,0,0,0,0,0
  "Nothing"=hex(0):
"Old"="to be removed"
"Old"=-

[HKLM\Software\Norlith\Removed]
"X"=dword:00000001
[-HKLM\Software\Norlith\Removed]

[HKEY_LOCAL_MACHINE\Software\Norlith\ADCPorts\1\Devices]
"QA71"="COM7:"
)";

struct Query {
  bool ok = false;
  plat::ErrorCode error = plat::kErrNone;
  uint32_t type = 0;
  Bytes data;
};

class RegistryTest : public ::testing::Test {
 protected:
  std::string File() const { return plat::RegistryFilePath(); }
  std::string Text() const { return ReadHostFile(File()); }
  void Write(const std::string& bytes) const { WriteHostFile(File(), bytes); }

  static plat::UniqueHandle Open(const wchar_t* path, bool create = false,
                                 plat::RootKey root = plat::RootKey::kLocalMachine) {
    plat::Handle h = plat::kNoHandle;
    if (!plat::RegistryOpenKey(root, path, create, &h)) return plat::UniqueHandle();
    return plat::UniqueHandle(h);
  }

  static Query Get(plat::Handle key, const wchar_t* name) {
    Query q;
    uint32_t size = 0;
    if (!plat::RegistryQueryValue(key, name, &q.type, nullptr, &size)) {
      q.error = plat::LastError();
      return q;
    }
    q.data.resize(size);
    q.ok = plat::RegistryQueryValue(key, name, &q.type, q.data.data(), &size);
    q.error = q.ok ? plat::kErrNone : plat::LastError();
    return q;
  }

  static bool Set(plat::Handle key, const wchar_t* name, uint32_t type, const Bytes& data) {
    return plat::RegistrySetValue(key, name, type, data.data(), static_cast<uint32_t>(data.size()));
  }

  TempDeviceRoot root_;
};

using RegistryReadTest = RegistryTest;
using RegistryQueryTest = RegistryTest;
using RegistryWriteTest = RegistryTest;
using RegistryMalformedTest = RegistryTest;
using RegistrySaveTest = RegistryTest;
using RegistryConcurrencyTest = RegistryTest;

// --- reading ---------------------------------------------------------------

struct FileCase {
  const char* label;
  std::string bytes;
};

std::vector<FileCase> EquivalentFiles() {
  const std::string crlf = WithCrlf(kDeviceExport);
  return {
      {"version 5, UTF-8, CRLF", crlf},
      {"version 5, UTF-16LE with BOM, CRLF", Utf16LeWithBom(crlf)},
      {"version 5, UTF-8 with BOM, LF", "\xEF\xBB\xBF" + std::string(kDeviceExport)},
      {"REGEDIT4, LF, by hand", std::string(kHandWrittenRegedit4)},
      {"REGEDIT4, CRLF, by hand", WithCrlf(kHandWrittenRegedit4)},
  };
}

struct ValueCase {
  const wchar_t* name;  // spelled differently from the file: look-up ignores case
  uint32_t type;
  Bytes data;
};

std::vector<ValueCase> Qa71Values() {
  Bytes blob;
  for (uint8_t b = 0; b <= 0x1a; ++b) blob.push_back(b);
  blob.push_back(0xff);
  return {
      {L"firmwareIMAGE", plat::kRegString, WideData(L"\\My Documents\\QA71 \"new\".bin\0"sv)},
      {L"", plat::kRegString, WideData(L"Ünïcødé default\0"sv)},
      {L"RETRIES", plat::kRegDword, DwordData(300)},
      {L"blob", plat::kRegBinary, blob},
      {L"expand", plat::kRegExpandString, WideData(L"%ROOT%\\fé\0"sv)},
      {L"ports", plat::kRegMultiString, WideData(L"COM1:\0COM2:\0\0"sv)},
      {L"QWORD", kRegQword, Bytes{0x2a, 0, 0, 0, 0, 0, 0, 0}},
      {L"nothing", plat::kRegNone, Bytes{}},
  };
}

TEST_F(RegistryReadTest, ReadsEveryValueTypeFromEditorFiles) {
  for (const FileCase& file : EquivalentFiles()) {
    SCOPED_TRACE(file.label);
    Write(file.bytes);
    plat::UniqueHandle key = Open(L"SOFTWARE\\norlith\\adcdevices\\qa71");
    ASSERT_TRUE(key.valid()) << plat::LastError() << " " << plat::RegistryLoadError();
    for (const ValueCase& expected : Qa71Values()) {
      SCOPED_TRACE(plat::Narrow(expected.name));
      const Query q = Get(key.get(), expected.name);
      ASSERT_TRUE(q.ok) << q.error;
      EXPECT_EQ(q.type, expected.type);
      EXPECT_EQ(q.data, expected.data);
    }
    EXPECT_EQ(Get(key.get(), L"Old").error, plat::kErrNotFound);
    EXPECT_FALSE(Open(L"Software\\Norlith\\Removed").valid());
    EXPECT_EQ(plat::LastError(), plat::kErrNotFound);
    plat::UniqueHandle ports =
        Open(L"\\Software\\Norlith\\ADCPorts\\1\\Devices");  // leading '\' ignored
    ASSERT_TRUE(ports.valid());
    EXPECT_EQ(Get(ports.get(), L"QA71").data, WideData(L"COM7:\0"sv));
  }
}

TEST_F(RegistryReadTest, EveryRootKeyAndItsShortNameIsRead) {
  struct RootCase {
    const char* section;
    plat::RootKey root;
  };
  const RootCase cases[] = {
      {"HKEY_LOCAL_MACHINE", plat::RootKey::kLocalMachine},
      {"HKLM", plat::RootKey::kLocalMachine},
      {"HKEY_CURRENT_USER", plat::RootKey::kCurrentUser},
      {"HKCU", plat::RootKey::kCurrentUser},
      {"HKEY_CLASSES_ROOT", plat::RootKey::kClassesRoot},
      {"HKCR", plat::RootKey::kClassesRoot},
      {"HKEY_USERS", plat::RootKey::kUsers},
      {"hku", plat::RootKey::kUsers},
  };
  for (const RootCase& c : cases) {
    SCOPED_TRACE(c.section);
    Write("REGEDIT4\n\n[" + std::string(c.section) + "\\A\\B]\n\"V\"=dword:00000007\n");
    plat::UniqueHandle key = Open(L"a\\b", false, c.root);
    ASSERT_TRUE(key.valid());
    EXPECT_EQ(Get(key.get(), L"v").data, DwordData(7));
    // The parent exists by implication; other roots do not have the key.
    EXPECT_TRUE(Open(L"A", false, c.root).valid());
    const plat::RootKey other =
        c.root == plat::RootKey::kUsers ? plat::RootKey::kLocalMachine : plat::RootKey::kUsers;
    EXPECT_FALSE(Open(L"A\\B", false, other).valid());
  }
}

// --- queries ----------------------------------------------------------------

TEST_F(RegistryQueryTest, ReportsSizesAndFailures) {
  Write(WithCrlf(kDeviceExport));
  plat::UniqueHandle key = Open(kQa71Key);
  ASSERT_TRUE(key.valid());
  const Bytes image = WideData(L"\\My Documents\\QA71 \"new\".bin\0"sv);
  const auto image_size = static_cast<uint32_t>(image.size());

  struct QueryCase {
    const char* label;
    plat::Handle key;
    const wchar_t* name;
    bool with_buffer;
    uint32_t buffer_size;
    plat::ErrorCode error;  // kErrNone: succeeds
    uint32_t size_after;
  };
  const QueryCase cases[] = {
      {"size only", key.get(), L"FirmwareImage", false, 0, plat::kErrNone, image_size},
      {"exact buffer", key.get(), L"FirmwareImage", true, image_size, plat::kErrNone, image_size},
      {"larger buffer", key.get(), L"FirmwareImage", true, image_size + 40, plat::kErrNone,
       image_size},
      {"one byte short", key.get(), L"FirmwareImage", true, image_size - 1,
       plat::kErrBufferTooSmall, image_size},
      {"empty buffer", key.get(), L"Retries", true, 0, plat::kErrBufferTooSmall, 4},
      {"zero-byte value", key.get(), L"Nothing", true, 0, plat::kErrNone, 0},
      {"missing value", key.get(), L"PsocImage", true, 64, plat::kErrNotFound, 64},
      {"not a key handle", 0x7777770u, L"FirmwareImage", true, 64, plat::kErrInvalidHandle, 64},
  };
  for (const QueryCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<uint8_t> buffer(c.buffer_size + 1, 0xEE);
    uint32_t size = c.buffer_size;
    const bool ok = plat::RegistryQueryValue(c.key, c.name, nullptr,
                                             c.with_buffer ? buffer.data() : nullptr, &size);
    EXPECT_EQ(ok, c.error == plat::kErrNone);
    EXPECT_EQ(size, c.size_after);
    if (!ok) {
      EXPECT_EQ(plat::LastError(), c.error);
      EXPECT_EQ(buffer[0], 0xEE) << "a failed query leaves the buffer alone";
    } else if (c.with_buffer) {
      EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + size), Get(c.key, c.name).data);
    }
  }
}

TEST_F(RegistryQueryTest, MissingKeysAndFilesAreNotFound) {
  EXPECT_FALSE(Open(kQa71Key).valid());  // no registry file at all: an empty registry
  EXPECT_EQ(plat::LastError(), plat::kErrNotFound);
  EXPECT_FALSE(testsupport::HostFileExists(File())) << "reading never creates the file";

  Write(WithCrlf(kDeviceExport));
  for (const wchar_t* missing :
       {L"Software\\Norlith\\ADCDevices\\QB32", L"Software\\Norlith\\ADCDevices\\QA7",
        L"Software\\Norlith\\ADCDevices\\QA71\\Sub"}) {
    SCOPED_TRACE(plat::Narrow(missing));
    EXPECT_FALSE(Open(missing).valid());
    EXPECT_EQ(plat::LastError(), plat::kErrNotFound);
  }
  plat::UniqueHandle parent = Open(L"Software\\Norlith");
  ASSERT_TRUE(parent.valid()) << "a parent of a section exists";
  EXPECT_EQ(Get(parent.get(), L"FirmwareImage").error, plat::kErrNotFound);
}

TEST_F(RegistryQueryTest, EveryQueryReadsTheFileAfresh) {
  Write(WithCrlf(kDeviceExport));
  plat::UniqueHandle key = Open(kQa71Key);
  ASSERT_TRUE(key.valid());
  Write("REGEDIT4\n[HKLM\\Software\\Norlith\\ADCDevices\\QA71]\n\"Retries\"=dword:00000005\n");
  EXPECT_EQ(Get(key.get(), L"Retries").data, DwordData(5));
  EXPECT_EQ(Get(key.get(), L"FirmwareImage").error, plat::kErrNotFound);
}

// --- writing ----------------------------------------------------------------

TEST_F(RegistryWriteTest, SetValuesReadBackAndShowInTheFile) {
  Bytes long_blob(30);
  for (size_t i = 0; i < long_blob.size(); ++i) long_blob[i] = static_cast<uint8_t>(0xA0 + i);
  struct SetCase {
    const char* label;
    const wchar_t* name;
    uint32_t type;
    Bytes data;
    const char* file_text;  // how the value shows in the file
  };
  const SetCase cases[] = {
      {"string with escapes", L"FirmwareImage", plat::kRegString, WideData(L"\\fw \"x\".bin\0"sv),
       "\"FirmwareImage\"=\"\\\\fw \\\"x\\\".bin\"\r\n"},
      {"default value", L"", plat::kRegString, WideData(L"dflt\0"sv), "@=\"dflt\"\r\n"},
      {"string with a line break", L"Two\"Lines", plat::kRegString, WideData(L"a\nb\0"sv),
       "\"Two\\\"Lines\"=hex(1):61,00,0a,00,62,00,00,00\r\n"},
      {"string without its NUL", L"Bare", plat::kRegString, WideData(L"ab"sv),
       "\"Bare\"=hex(1):61,00,62,00\r\n"},
      {"character beyond 16 bits", L"Wide", plat::kRegExpandString, WideData(L"\U0001F600\0"sv),
       "\"Wide\"=hex(2):3d,d8,00,de,00,00\r\n"},
      {"dword", L"ACSuspendTimeout", plat::kRegDword, DwordData(115200),
       "\"ACSuspendTimeout\"=dword:0001c200\r\n"},
      {"dword of 2 bytes", L"Short", plat::kRegDword, Bytes{1, 2}, "\"Short\"=hex(4):01,02\r\n"},
      {"long binary, wrapped", L"Blob", plat::kRegBinary, long_blob,
       "\"Blob\"=hex:a0,a1,a2,a3,a4,a5,a6,a7,a8,a9,aa,ab,ac,ad,ae,af,b0,b1,b2,b3,b4,b5,\\\r\n"
       "  b6,b7,b8,b9,ba,bb,bc,bd\r\n"},
      {"empty binary", L"Empty", plat::kRegBinary, Bytes{}, "\"Empty\"=hex:\r\n"},
      {"expand string", L"Path", plat::kRegExpandString, WideData(L"%R%\0"sv),
       "\"Path\"=hex(2):25,00,52,00,25,00,00,00\r\n"},
      {"multi string", L"List", plat::kRegMultiString, WideData(L"A\0B\0\0"sv),
       "\"List\"=hex(7):41,00,00,00,42,00,00,00,00,00\r\n"},
      {"other type", L"Q", kRegQword, Bytes{1, 0, 0, 0, 0, 0, 0, 0},
       "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"},
  };
  {
    plat::UniqueHandle key = Open(kQa71Key, /*create=*/true);
    ASSERT_TRUE(key.valid());
    for (const SetCase& c : cases) EXPECT_TRUE(Set(key.get(), c.name, c.type, c.data)) << c.label;
  }
  plat::UniqueHandle fresh = Open(L"software\\norlith\\adcdevices\\QA71");
  ASSERT_TRUE(fresh.valid());
  const std::string text = Text();
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\Software\\Norlith\\ADCDevices\\QA71]\r\n",
                       0),
            0u)
      << text;
  for (const SetCase& c : cases) {
    SCOPED_TRACE(c.label);
    const Query q = Get(fresh.get(), c.name);
    EXPECT_EQ(q.type, c.type);
    EXPECT_EQ(q.data, c.data);
    EXPECT_NE(text.find(c.file_text), std::string::npos) << text;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at byte " << i;
    }
  }
}

TEST_F(RegistryWriteTest, SavingKeepsTheFileAsWrittenApartFromTheChange) {
  const std::string before = WithCrlf(kDeviceExport);
  Write(before);
  plat::UniqueHandle key = Open(kQa71Key);
  ASSERT_TRUE(key.valid());
  ASSERT_TRUE(Set(key.get(), L"retries", plat::kRegDword, DwordData(0x12d)));

  std::string expected = before;
  const std::string old_line = "\"Retries\"=dword:0000012c";
  expected.replace(expected.find(old_line), old_line.size(), "\"Retries\"=dword:0000012d");
  EXPECT_EQ(Text(), expected) << "only the changed value differs; names keep their spelling";

  // A new value goes to the end of its key, a new key to the end of the file.
  ASSERT_TRUE(Set(key.get(), L"FlashDriver", plat::kRegString, WideData(L"drv.bin\0"sv)));
  const std::string added = "\"FlashDriver\"=\"drv.bin\"\r\n";
  expected.insert(expected.find("\r\n[HKEY_LOCAL_MACHINE\\Software\\Norlith\\ADCPorts"), added);
  EXPECT_EQ(Text(), expected);
  ASSERT_TRUE(
      Open(L"System\\CurrentControlSet\\Control\\Power\\Timeouts", /*create=*/true).valid());
  expected += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Power\\Timeouts]\r\n\r\n";
  EXPECT_EQ(Text(), expected);
}

TEST_F(RegistryWriteTest, Regedit4FileIsSavedInVersion5Form) {
  Write(std::string(kHandWrittenRegedit4));
  plat::UniqueHandle key = Open(kQa71Key);
  ASSERT_TRUE(key.valid());
  ASSERT_TRUE(Set(key.get(), L"Retries", plat::kRegDword, DwordData(300)));
  const std::string text = Text();
  for (const char* kept :
       {"Windows Registry Editor Version 5.00\r\n",
        "; Written by hand.\r\n[HKEY_LOCAL_MACHINE\\Software\\",
        "\"FirmwareImage\"=\"\\\\My Documents\\\\QA71 \\\"new\\\".bin\"   ; the image\r\n",
        "\"Expand\"=hex(2):25,00,52,00,4f,00,4f,00,54,00,25,00,5c,00,66,00,e9,00,00,00\r\n",
        "\"Ports\"=hex(7):43,00,4f,00,4d,00,31,00,3a,00,00,00,43,00,4f,00,4d,00,32,00,3a,\\\r\n  "
        "00,00,00,"
        "00,00\r\n",
        "16,17,18,19,1a,ff ; trailing note\r\n"}) {
    EXPECT_NE(text.find(kept), std::string::npos) << kept << "\n" << text;
  }
  for (const char* gone : {"REGEDIT4", "Old", "Removed", "[-"}) {
    EXPECT_EQ(text.find(gone), std::string::npos) << gone;
  }
  for (const ValueCase& expected : Qa71Values()) {
    EXPECT_EQ(Get(key.get(), expected.name).data, expected.data) << plat::Narrow(expected.name);
  }
}

TEST_F(RegistryWriteTest, DeleteValueRemovesItOrReportsItMissing) {
  Write(WithCrlf(kDeviceExport));
  plat::UniqueHandle key = Open(kQa71Key);
  ASSERT_TRUE(key.valid());
  ASSERT_TRUE(plat::RegistryDeleteValue(key.get(), L"BLOB"));
  EXPECT_EQ(Get(key.get(), L"Blob").error, plat::kErrNotFound);
  const std::string after = Text();
  EXPECT_EQ(after.find("Blob"), std::string::npos);

  EXPECT_FALSE(plat::RegistryDeleteValue(key.get(), L"Blob"));
  EXPECT_EQ(plat::LastError(), plat::kErrNotFound);
  EXPECT_EQ(Text(), after);
}

TEST_F(RegistryWriteTest, FirstSetCreatesTheFile) {
  ASSERT_FALSE(testsupport::HostFileExists(File()));
  plat::UniqueHandle key =
      Open(L"System\\CurrentControlSet\\Control\\Power\\Timeouts", /*create=*/true);
  ASSERT_TRUE(key.valid());
  ASSERT_TRUE(Set(key.get(), L"BattSuspendTimeout", plat::kRegDword, DwordData(0)));
  EXPECT_EQ(Text(),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Power\\Timeouts]\r\n"
            "\"BattSuspendTimeout\"=dword:00000000\r\n\r\n");
}

TEST_F(RegistryWriteTest, BadArgumentsAreRefused) {
  plat::UniqueHandle key = Open(kQa71Key, /*create=*/true);
  ASSERT_TRUE(key.valid());
  const plat::Handle k = key.get();
  const uint8_t three_bytes[3] = {1, 2, 3};
  const wchar_t beyond_unicode[] = {static_cast<wchar_t>(0x110000), 0};
  uint8_t buffer[8];
  plat::Handle opened = plat::kNoHandle;
  struct BadCase {
    const char* label;
    std::function<bool()> call;
  };
  const BadCase cases[] = {
      {"string of half a character",
       [&] { return plat::RegistrySetValue(k, L"S", plat::kRegString, three_bytes, 3); }},
      {"string beyond Unicode",
       [&] {
         return plat::RegistrySetValue(k, L"S", plat::kRegString, beyond_unicode,
                                       sizeof(beyond_unicode));
       }},
      {"value name with a line break",
       [&] { return plat::RegistrySetValue(k, L"a\nb", plat::kRegBinary, three_bytes, 3); }},
      {"data missing",
       [&] { return plat::RegistrySetValue(k, L"S", plat::kRegBinary, nullptr, 3); }},
      {"key path with an empty component",
       [&] {
         return plat::RegistryOpenKey(plat::RootKey::kLocalMachine, L"Software\\\\Norlith", true,
                                      &opened);
       }},
      {"buffer without a size",
       [&] { return plat::RegistryQueryValue(k, L"S", nullptr, buffer, nullptr); }},
  };
  for (const BadCase& c : cases) {
    EXPECT_FALSE(c.call()) << c.label;
    EXPECT_EQ(plat::LastError(), plat::kErrInvalidParameter) << c.label;
  }
  EXPECT_EQ(Text().find("\"S\""), std::string::npos);
  EXPECT_EQ(Text().find("Norlith]"), std::string::npos);
}

// --- malformed files -----------------------------------------------------------

TEST_F(RegistryMalformedTest, FailsEveryOperationAndIsNeverOverwritten) {
  const std::string section = "[HKEY_LOCAL_MACHINE\\Software\\Norlith\\ADCDevices\\QA71]\r\n";
  const std::string v5 = "Windows Registry Editor Version 5.00\r\n\r\n";
  struct BadFile {
    const char* label;
    std::string bytes;
    int line;
    const char* reason;  // part of the reason
  };
  const BadFile cases[] = {
      {"bad header", "Windows Registry Editor Version 4.00\r\n\r\n" + section, 1, "bad header"},
      {"header not first", "\r\n" + v5 + section, 1, "bad header"},
      {"UTF-16 without its BOM", Utf16LeWithBom(v5).substr(2), 1, "bad header \"W\\x00i\\x00n"},
      {"unterminated section", v5 + "[HKEY_LOCAL_MACHINE\\Software\r\n\"A\"=\"b\"\r\n", 3,
       "unterminated key name"},
      {"unknown root", v5 + "[HKEY_LOCAL_MACHIN\\Software]\r\n", 3, "unknown root key"},
      {"empty key name component", v5 + "[HKLM\\Software\\\\x]\r\n", 3, "bad key name"},
      {"bad hex byte", v5 + section + "\"A\"=hex:01,0g,02\r\n", 4, "bad hex byte \"0g\""},
      {"three-digit hex byte", v5 + section + "\"A\"=hex:01,002\r\n", 4, "bad hex byte \"002\""},
      {"missing hex byte", v5 + section + "\"A\"=hex:01,,02\r\n", 4, "missing hex byte"},
      {"bad hex on a continuation line", v5 + section + "\"A\"=hex:01,\\\r\n  02,x3\r\n", 5,
       "bad hex byte"},
      {"hex continues past the end", v5 + section + "\"A\"=hex:01,\\", 4,
       "past the end of the file"},
      {"bad hex type", v5 + section + "\"A\"=hex(z):01\r\n", 4, "bad value type"},
      {"odd UTF-16 string data", v5 + section + "\"A\"=hex(2):41,00,00\r\n", 4, "odd number"},
      {"bad dword digits", v5 + section + "\"A\"=dword:0000001g\r\n", 4, "bad dword"},
      {"dword too long", v5 + section + "\"A\"=dword:123456789\r\n", 4, "bad dword"},
      {"bad escape", v5 + section + "\"A\"=\"line\\nbreak\"\r\n", 4, "bad escape \"\\n\""},
      {"bad escape in a name", v5 + section + "\"A\\t\"=\"x\"\r\n", 4, "bad escape"},
      {"unterminated string", v5 + section + "\"A\"=\"open\r\n", 4, "unterminated string"},
      {"text after a string", v5 + section + "\"A\"=\"x\" y\r\n", 4,
       "unexpected text after the value"},
      {"missing '='", v5 + section + "\"A\" \"x\"\r\n", 4, "expected '='"},
      {"unknown data", v5 + section + "\"A\"=qword:1\r\n", 4, "unknown value data"},
      {"value outside a section", v5 + "\"A\"=\"x\"\r\n", 3, "outside a key section"},
      {"value under a deletion", v5 + "[-HKLM\\Software\\X]\r\n\"A\"=\"x\"\r\n", 4, "key deletion"},
      {"stray text", v5 + section + "A=1\r\n", 4, "unexpected text"},
      {"invalid UTF-8", v5 + section + "\"A\"=\"caf\xE9\"\r\n", 4, "not valid UTF-8"},
      {"narrow string data not UTF-8", "REGEDIT4\r\n" + section + "\"A\"=hex(2):e9,00\r\n", 3,
       "not valid UTF-8"},
      {"unpaired surrogate in UTF-16", Utf16LeWithBom(v5 + section) + std::string("\x00\xD8", 2), 4,
       "surrogate"},
  };
  for (const BadFile& c : cases) {
    SCOPED_TRACE(c.label);
    // A key opened while the file was sound.
    Write(WithCrlf(kDeviceExport));
    plat::UniqueHandle key = Open(kQa71Key);
    ASSERT_TRUE(key.valid());
    Write(c.bytes);
    DebugCapture debug;

    plat::Handle h = plat::kNoHandle;
    EXPECT_FALSE(plat::RegistryOpenKey(plat::RootKey::kLocalMachine, kQa71Key, true, &h));
    EXPECT_EQ(plat::LastError(), plat::kErrBadFormat);
    const std::string where = File() + ":" + std::to_string(c.line) + ": ";
    const std::string error = plat::RegistryLoadError();
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_TRUE(debug.Contains(error)) << debug.Text();

    uint32_t size = 0;
    EXPECT_FALSE(plat::RegistryQueryValue(key.get(), L"FirmwareImage", nullptr, nullptr, &size));
    EXPECT_EQ(plat::LastError(), plat::kErrBadFormat);
    EXPECT_FALSE(Set(key.get(), L"FirmwareImage", plat::kRegBinary, Bytes{1}));
    EXPECT_EQ(plat::LastError(), plat::kErrBadFormat);
    EXPECT_FALSE(plat::RegistryDeleteValue(key.get(), L"FirmwareImage"));
    EXPECT_EQ(plat::LastError(), plat::kErrBadFormat);
    EXPECT_EQ(Text(), c.bytes) << "the malformed file stays as it was";
  }
}

TEST_F(RegistryMalformedTest, EmptyFileIsAnEmptyRegistry) {
  for (const char* empty : {"", "\xEF\xBB\xBF", "\r\n  \r\n"}) {
    Write(empty);
    EXPECT_FALSE(Open(kQa71Key).valid());
    EXPECT_EQ(plat::LastError(), plat::kErrNotFound);
    plat::UniqueHandle key = Open(kQa71Key, /*create=*/true);
    ASSERT_TRUE(key.valid());
    EXPECT_EQ(Text(),
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Norlith\\ADCDevices\\QA71]\r\n\r\n");
  }
}

// --- saving ---------------------------------------------------------------------

TEST_F(RegistrySaveTest, LeavesNoTemporaryAndKeepsTheFileMode) {
  Write(WithCrlf(kDeviceExport));
  ASSERT_EQ(chmod(File().c_str(), 0640), 0);
  plat::UniqueHandle key = Open(kQa71Key);
  ASSERT_TRUE(key.valid());
  for (uint32_t i = 0; i < 5; ++i) {
    ASSERT_TRUE(Set(key.get(), L"Retries", plat::kRegDword, DwordData(i)));
  }

  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(root_.path())) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
  struct stat st {};
  ASSERT_EQ(stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  const std::string text = Text();
  EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n") << "the file is complete";
  EXPECT_EQ(Get(key.get(), L"Retries").data, DwordData(4));
}

TEST_F(RegistrySaveTest, SetOnAKeyRemovedMeanwhileBringsItBack) {
  plat::UniqueHandle key = Open(kQa71Key, /*create=*/true);
  ASSERT_TRUE(key.valid());
  Write("REGEDIT4\r\n");
  EXPECT_EQ(Get(key.get(), L"A").error, plat::kErrNotFound);
  ASSERT_TRUE(Set(key.get(), L"A", plat::kRegDword, DwordData(1)));
  EXPECT_TRUE(Open(kQa71Key).valid());
}

// Writers in several threads (as in several processes) each read, change and
// save the whole file; none may lose another's change.
TEST_F(RegistryConcurrencyTest, WritersLoseNoUpdate) {
  constexpr int kThreads = 3;
  constexpr int kValuesEach = 15;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      plat::UniqueHandle key = Open(kQa71Key, /*create=*/true);
      for (int i = 0; i < kValuesEach; ++i) {
        const std::wstring name = L"T" + std::to_wstring(t) + L"_" + std::to_wstring(i);
        EXPECT_TRUE(
            Set(key.get(), name.c_str(), plat::kRegDword, DwordData(static_cast<uint32_t>(i))));
        EXPECT_TRUE(Get(key.get(), name.c_str()).ok);
      }
    });
  }
  for (auto& th : threads) th.join();
  plat::UniqueHandle key = Open(kQa71Key);
  ASSERT_TRUE(key.valid());
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kValuesEach; ++i) {
      const std::wstring name = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
      EXPECT_EQ(Get(key.get(), name.c_str()).data, DwordData(static_cast<uint32_t>(i)))
          << t << " " << i;
    }
  }
}

// Readers running while a writer saves see the old file or the new one,
// never a partial one.
TEST_F(RegistryConcurrencyTest, ReadersNeverSeeAPartialFile) {
  Write(WithCrlf(kDeviceExport));
  std::atomic<bool> done{false};
  std::thread writer([&done] {
    plat::UniqueHandle key = Open(kQa71Key);
    const Bytes filler(4000, 0x5A);
    for (uint32_t i = 0; i < 12; ++i) {
      EXPECT_TRUE(
          Set(key.get(), (L"Filler" + std::to_wstring(i % 4)).c_str(), plat::kRegBinary, filler));
    }
    done = true;
  });
  plat::UniqueHandle key = Open(kQa71Key);
  EXPECT_TRUE(key.valid());
  int reads = 0;
  bool read_ok = true;
  while (read_ok && (!done || reads == 0)) {
    const Query q = Get(key.get(), L"FirmwareImage");
    read_ok = q.ok;
    EXPECT_TRUE(q.ok) << "read " << reads << " failed: " << q.error << " "
                      << plat::RegistryLoadError();
    ++reads;
  }
  writer.join();
}

}  // namespace
