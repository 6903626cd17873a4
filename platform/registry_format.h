// The registry file's text: the format of registry exports, read into a
// document of keys and values and written back. Private to platform/.
//
// What is read:
//  - a first line "Windows Registry Editor Version 5.00" (hex(1), hex(2) and
//    hex(7) data are UTF-16LE bytes) or "REGEDIT4" (that data is narrow text,
//    UTF-8); the file is UTF-8, with or without a BOM, or UTF-16LE with a BOM.
//    A file with nothing in it (or only blank lines) is an empty registry.
//  - "[ROOT\path]" sections, ROOT one of HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER,
//    HKEY_CLASSES_ROOT, HKEY_USERS or HKLM, HKCU, HKCR, HKU; a section of a key
//    seen before adds to that key.
//  - "[-ROOT\path]" removes that key and its subkeys as far as read so far, the
//    way importing the file would; values may not follow it.
//  - values "name"=... or @=... (the default value; "" names it too):
//    "text" (\\ and \" escapes), dword:1 to 8 hex digits, hex:bytes,
//    hex(N):bytes, and - to remove the value. Hex bytes are separated by
//    commas; a line ending in a backslash continues on the next line.
//  - comment lines starting with ';' (also after a value's data on its line),
//    blank lines, CRLF or LF line ends.
// Key and value names compare case-insensitively and keep the spelling they
// were first written with.
//
// What is written: the Version 5.00 header, UTF-8 without a BOM, CRLF line
// ends, a blank line before every section and at the end, keys and values in
// document order, hex lists wrapped at 80 columns as registry editors wrap
// them. Comment lines are kept with the section or value that follows them;
// blank lines and deletion lines are not kept (what they removed stays removed).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace plat::detail {

struct RegValue {
  std::wstring name;  // empty: the key's default value
  uint32_t type = kRegNone;
  // The data as queries hand it out: string types (kRegString,
  // kRegExpandString, kRegMultiString) as wchar_t units, others as stored.
  std::vector<uint8_t> data;
  std::vector<std::wstring> comments;  // comment lines just before the value
  std::wstring line_comment;           // "  ; note" after the data on its line
};

struct RegKey {
  RootKey root = RootKey::kLocalMachine;
  std::wstring path;  // below the root, components joined by '\'; empty: the root
  std::vector<RegValue> values;
  std::vector<std::wstring> comments;  // comment lines just before the section

  RegValue* FindValue(std::wstring_view name);
  // Replaces the data of an existing value (keeping its place, spelling and
  // comments) or appends a new one.
  void SetValue(std::wstring_view name, uint32_t type, std::vector<uint8_t> data);
  bool RemoveValue(std::wstring_view name);
};

class RegDocument {
 public:
  std::vector<RegKey> keys;
  std::vector<std::wstring> trailing_comments;  // after the last section

  RegKey* FindKey(RootKey root, std::wstring_view path);
  // A key exists when it has a section or is the parent of one; every root exists.
  bool KeyExists(RootKey root, std::wstring_view path) const;
  // The key's section, appended when it has none yet.
  RegKey& AddKey(RootKey root, std::wstring_view path);
  // Removes the key and all keys below it.
  void RemoveKeyTree(RootKey root, std::wstring_view path);
};

struct RegParseError {
  int line = 0;        // 1-based line of the file
  std::string reason;  // what is wrong there
};

// Reads the file's bytes. False with *error filled in when the text is malformed.
bool ParseRegistryText(std::string_view bytes, RegDocument* doc, RegParseError* error);
// The file's bytes for the document.
std::string RenderRegistryText(const RegDocument& doc);

// Case-insensitive name comparison, as keys and values are looked up.
bool RegNamesEqual(std::wstring_view a, std::wstring_view b);
// Whether a key path or value name can be written to the file: no line breaks,
// only valid characters; key paths also need non-empty components.
bool RegKeyPathWritable(std::wstring_view path);
bool RegValueNameWritable(std::wstring_view name);
// Whether value data of that type can be stored: string data must be whole
// wchar_t units of valid code points.
bool RegDataWritable(uint32_t type, const void* data, uint32_t size);

}  // namespace plat::detail
