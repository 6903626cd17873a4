// Reading and writing the registry file's text (see registry_format.h).
#include "registry_format.h"

#include <cstring>
#include <cwctype>
#include <utility>

namespace plat::detail {
namespace {

constexpr std::wstring_view kHeaderVersion5 = L"Windows Registry Editor Version 5.00";
constexpr std::wstring_view kHeaderRegedit4 = L"REGEDIT4";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr wchar_t kReplacement = 0xFFFD;
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr size_t kWrapAfterColumn = 76;  // hex lines stay within 80 characters, '\' included

struct RootName {
  RootKey root;
  std::wstring_view long_name;
  std::wstring_view short_name;
};

constexpr RootName kRootNames[] = {
    {RootKey::kLocalMachine, L"HKEY_LOCAL_MACHINE", L"HKLM"},
    {RootKey::kCurrentUser, L"HKEY_CURRENT_USER", L"HKCU"},
    {RootKey::kClassesRoot, L"HKEY_CLASSES_ROOT", L"HKCR"},
    {RootKey::kUsers, L"HKEY_USERS", L"HKU"},
};

enum class FileVersion { kRegedit4, kVersion5 };

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsScalar(char32_t c) { return c <= 0x10FFFF && !IsSurrogate(c); }
bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
bool IsStringType(uint32_t type) {
  return type == kRegString || type == kRegExpandString || type == kRegMultiString;
}

wchar_t FoldCase(wchar_t c) {
  if (c < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
}

std::wstring_view TrimLeft(std::wstring_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}
std::wstring_view TrimRight(std::wstring_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}
std::wstring_view Trim(std::wstring_view s) { return TrimRight(TrimLeft(s)); }

bool StartsWithNoCase(std::wstring_view s, std::wstring_view prefix) {
  return s.size() >= prefix.size() && RegNamesEqual(s.substr(0, prefix.size()), prefix);
}

// --- text encodings ---------------------------------------------------------

void AppendUtf8(std::string* out, char32_t c) {
  if (!IsScalar(c)) c = kReplacement;
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string ToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) AppendUtf8(&out, static_cast<char32_t>(c));
  return out;
}

// Strict UTF-8: no overlong forms, surrogates or values past U+10FFFF. A
// malformed sequence stops the decoding; *bad_offset tells where it starts.
bool DecodeUtf8(std::string_view in, std::wstring* out, size_t* bad_offset) {
  out->clear();
  out->reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const auto lead = static_cast<unsigned char>(in[i]);
    size_t extra = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (lead < 0x80) {
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, c = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, c = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, c = lead & 0x07, min = 0x10000;
    } else {
      *bad_offset = i;
      return false;
    }
    if (i + extra >= in.size() && extra > 0) {
      *bad_offset = i;
      return false;
    }
    for (size_t k = 1; k <= extra; ++k) {
      const auto cont = static_cast<unsigned char>(in[i + k]);
      if ((cont & 0xC0) != 0x80) {
        *bad_offset = i;
        return false;
      }
      c = (c << 6) | (cont & 0x3F);
    }
    if (c < min || !IsScalar(c)) {
      *bad_offset = i;
      return false;
    }
    out->push_back(static_cast<wchar_t>(c));
    i += extra + 1;
  }
  return true;
}

// UTF-16LE of an even number of bytes. Strict (the file's text) refuses
// unpaired surrogates; lenient (value data) keeps them as single units, so that
// whatever a device stored comes back unchanged.
bool DecodeUtf16Le(std::string_view in, bool strict, std::wstring* out, size_t* bad_unit) {
  out->clear();
  out->reserve(in.size() / 2);
  const size_t units = in.size() / 2;
  auto unit_at = [&in](size_t k) {
    return static_cast<char32_t>(static_cast<unsigned char>(in[2 * k]) |
                                 (static_cast<unsigned char>(in[2 * k + 1]) << 8));
  };
  for (size_t k = 0; k < units; ++k) {
    char32_t c = unit_at(k);
    if (c >= 0xD800 && c <= 0xDBFF && k + 1 < units && unit_at(k + 1) >= 0xDC00 &&
        unit_at(k + 1) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit_at(k + 1) - 0xDC00);
      ++k;
    } else if (strict && IsSurrogate(c)) {
      *bad_unit = k;
      return false;
    }
    out->push_back(static_cast<wchar_t>(c));
  }
  return true;
}

void AppendUtf16Le(std::vector<uint8_t>* out, std::wstring_view text) {
  auto put = [out](char32_t unit) {
    out->push_back(static_cast<uint8_t>(unit & 0xFF));
    out->push_back(static_cast<uint8_t>((unit >> 8) & 0xFF));
  };
  for (wchar_t wc : text) {
    auto c = static_cast<char32_t>(wc);
    if (c > 0x10FFFF) c = kReplacement;
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
}

std::vector<uint8_t> WideToData(std::wstring_view text) {
  std::vector<uint8_t> data(text.size() * sizeof(wchar_t));
  if (!data.empty()) std::memcpy(data.data(), text.data(), data.size());
  return data;
}

std::wstring DataToWide(const std::vector<uint8_t>& data) {
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
  return text;
}

// The line of a byte offset, in text of one- or two-byte units.
int LineOfOffset(std::string_view bytes, size_t offset, size_t unit_size) {
  int line = 1;
  for (size_t i = 0; i + unit_size <= offset; i += unit_size) {
    if (bytes[i] == '\n' && (unit_size == 1 || bytes[i + 1] == '\0')) ++line;
  }
  return line;
}

// --- parsing ----------------------------------------------------------------

// Shows a piece of the file in an error reason, shortened, control
// characters (a UTF-16 file without its BOM is full of NULs) as \xNN.
std::string Excerpt(std::wstring_view text) {
  constexpr size_t kMax = 24;
  std::string out = "\"";
  for (wchar_t c : text.substr(0, kMax)) {
    if (c < 0x20) {
      out += {'\\', 'x', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
    } else {
      AppendUtf8(&out, static_cast<char32_t>(c));
    }
  }
  if (text.size() > kMax) out += "...";
  return out + "\"";
}

bool HexDigitValue(wchar_t c, uint32_t* value) {
  if (c >= L'0' && c <= L'9')
    *value = static_cast<uint32_t>(c - L'0');
  else if (c >= L'a' && c <= L'f')
    *value = static_cast<uint32_t>(c - L'a' + 10);
  else if (c >= L'A' && c <= L'F')
    *value = static_cast<uint32_t>(c - L'A' + 10);
  else
    return false;
  return true;
}

// 1 to max_digits hex digits, nothing else.
bool ParseHexNumber(std::wstring_view text, size_t max_digits, uint32_t* value) {
  if (text.empty() || text.size() > max_digits) return false;
  uint32_t v = 0;
  for (wchar_t c : text) {
    uint32_t d = 0;
    if (!HexDigitValue(c, &d)) return false;
    v = (v << 4) | d;
  }
  *value = v;
  return true;
}

class Parser {
 public:
  Parser(RegDocument* doc, RegParseError* error) : doc_(doc), error_(error) {}

  bool Run(const std::vector<std::wstring>& lines) {
    const std::wstring_view header = TrimRight(lines[0]);
    if (header == kHeaderVersion5) {
      version_ = FileVersion::kVersion5;
    } else if (header == kHeaderRegedit4) {
      version_ = FileVersion::kRegedit4;
    } else {
      return Fail(1, "bad header " + Excerpt(header) + ", expected \"" + ToUtf8(kHeaderVersion5) +
                         "\" or \"" + ToUtf8(kHeaderRegedit4) + "\"");
    }
    for (size_t i = 1; i < lines.size(); ++i) {
      const std::wstring_view text = TrimLeft(lines[i]);
      const int line = static_cast<int>(i) + 1;
      bool ok = true;
      if (TrimRight(text).empty()) {
        continue;
      } else if (text.front() == L';') {
        pending_comments_.emplace_back(TrimRight(lines[i]));
      } else if (text.front() == L'[') {
        ok = ParseSection(TrimRight(text), line);
      } else if (text.front() == L'"' || text.front() == L'@') {
        ok = ParseValue(lines, &i);
      } else {
        ok = Fail(line, "unexpected text " + Excerpt(text));
      }
      if (!ok) return false;
    }
    doc_->trailing_comments = std::move(pending_comments_);
    return true;
  }

 private:
  static constexpr size_t kNoKey = static_cast<size_t>(-1);

  bool Fail(int line, std::string reason) {
    error_->line = line;
    error_->reason = std::move(reason);
    return false;
  }

  bool ParseSection(std::wstring_view text, int line) {
    if (text.size() < 2 || text.back() != L']') {
      return Fail(line, "unterminated key name " + Excerpt(text) + " (no closing ']')");
    }
    std::wstring_view inner = text.substr(1, text.size() - 2);
    const bool deletion = !inner.empty() && inner.front() == L'-';
    if (deletion) inner.remove_prefix(1);
    const size_t slash = inner.find(L'\\');
    const std::wstring_view root_name = inner.substr(0, slash);
    const RootName* root = nullptr;
    for (const RootName& r : kRootNames) {
      if (RegNamesEqual(root_name, r.long_name) || RegNamesEqual(root_name, r.short_name))
        root = &r;
    }
    if (root == nullptr) return Fail(line, "unknown root key " + Excerpt(root_name));
    const std::wstring_view path =
        slash == std::wstring_view::npos ? std::wstring_view() : inner.substr(slash + 1);
    if (slash != std::wstring_view::npos && !RegKeyPathWritable(path)) {
      return Fail(line, "bad key name " + Excerpt(inner));
    }
    if (deletion) {
      if (path.empty()) return Fail(line, "a root key cannot be deleted");
      doc_->RemoveKeyTree(root->root, path);
      pending_comments_.clear();
      current_ = kNoKey;
      in_deletion_ = true;
      return true;
    }
    RegKey* key = doc_->FindKey(root->root, path);
    if (key == nullptr) key = &doc_->AddKey(root->root, path);
    MoveComments(&key->comments);
    current_ = static_cast<size_t>(key - doc_->keys.data());
    in_deletion_ = false;
    return true;
  }

  void MoveComments(std::vector<std::wstring>* to) {
    for (auto& c : pending_comments_) to->push_back(std::move(c));
    pending_comments_.clear();
  }

  // A quoted name or string starting at text[*pos] == '"'; *pos ends past
  // the closing quote.
  bool ParseQuoted(std::wstring_view text, size_t* pos, std::wstring* out, int line) {
    out->clear();
    for (size_t i = *pos + 1; i < text.size(); ++i) {
      const wchar_t c = text[i];
      if (c == L'"') {
        *pos = i + 1;
        return true;
      }
      if (c == L'\\') {
        if (i + 1 >= text.size()) break;
        const wchar_t next = text[++i];
        if (next != L'\\' && next != L'"') {
          return Fail(line, "bad escape " + Excerpt(text.substr(i - 1, 2)) +
                                " (only \\\\ and \\\" are allowed)");
        }
        out->push_back(next);
      } else {
        out->push_back(c);
      }
    }
    return Fail(line, "unterminated string " + Excerpt(text.substr(*pos)));
  }

  // What may follow a value's data on its line: blanks, then a comment.
  bool ParseLineEnd(std::wstring_view rest, std::wstring* comment, int line) {
    const std::wstring_view trimmed = TrimLeft(rest);
    if (trimmed.empty()) return true;
    if (trimmed.front() != L';')
      return Fail(line, "unexpected text after the value " + Excerpt(trimmed));
    *comment = std::wstring(TrimRight(rest));
    return true;
  }

  bool ParseValue(const std::vector<std::wstring>& lines, size_t* index) {
    const int line = static_cast<int>(*index) + 1;
    const std::wstring_view text = TrimRight(TrimLeft(lines[*index]));
    if (current_ == kNoKey) {
      return Fail(line,
                  in_deletion_ ? "value under a key deletion line" : "value outside a key section");
    }
    std::wstring name;
    size_t pos = 1;  // past '@', the default value's name
    if (text.front() == L'"') {
      pos = 0;
      if (!ParseQuoted(text, &pos, &name, line)) return false;
    }
    std::wstring_view rest = TrimLeft(text.substr(pos));
    if (rest.empty() || rest.front() != L'=') {
      return Fail(line, "expected '=' after the value name " + Excerpt(text));
    }
    rest = TrimLeft(rest.substr(1));

    RegValue value;
    value.name = std::move(name);
    bool ok = true;
    if (!rest.empty() && rest.front() == L'-') {
      ok = ParseLineEnd(rest.substr(1), &value.line_comment, line);
      if (ok) {
        doc_->keys[current_].RemoveValue(value.name);
        pending_comments_.clear();
      }
      return ok;
    }
    if (!rest.empty() && rest.front() == L'"') {
      std::wstring str;
      size_t p = 0;
      ok = ParseQuoted(rest, &p, &str, line) &&
           ParseLineEnd(rest.substr(p), &value.line_comment, line);
      str.push_back(L'\0');
      value.type = kRegString;
      value.data = WideToData(str);
    } else if (StartsWithNoCase(rest, L"dword:")) {
      ok = ParseDword(rest.substr(6), &value, line);
    } else if (StartsWithNoCase(rest, L"hex")) {
      ok = ParseHexValue(lines, index, rest.substr(3), &value);
    } else {
      ok = Fail(line, "unknown value data " + Excerpt(rest));
    }
    if (!ok) return false;
    RegKey& key = doc_->keys[current_];
    key.SetValue(value.name, value.type, std::move(value.data));
    RegValue* stored = key.FindValue(value.name);
    MoveComments(&stored->comments);
    stored->line_comment = std::move(value.line_comment);
    return true;
  }

  bool ParseDword(std::wstring_view rest, RegValue* value, int line) {
    size_t end = 0;
    while (end < rest.size() && !IsBlank(rest[end]) && rest[end] != L';') ++end;
    uint32_t v = 0;
    if (!ParseHexNumber(rest.substr(0, end), 8, &v)) {
      return Fail(line,
                  "bad dword " + Excerpt(rest.substr(0, end)) + " (1 to 8 hex digits expected)");
    }
    value->type = kRegDword;
    value->data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                   static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    return ParseLineEnd(rest.substr(end), &value->line_comment, line);
  }

  // rest follows "hex": ":" for binary data or "(N):" for type N.
  bool ParseHexValue(const std::vector<std::wstring>& lines, size_t* index, std::wstring_view rest,
                     RegValue* value) {
    const int first_line = static_cast<int>(*index) + 1;
    value->type = kRegBinary;
    if (!rest.empty() && rest.front() == L'(') {
      const size_t close = rest.find(L')');
      if (close == std::wstring_view::npos ||
          !ParseHexNumber(rest.substr(1, close - 1), 8, &value->type)) {
        return Fail(first_line, "bad value type " + Excerpt(rest));
      }
      rest.remove_prefix(close + 1);
    }
    if (rest.empty() || rest.front() != L':')
      return Fail(first_line, "expected ':' " + Excerpt(rest));
    rest.remove_prefix(1);

    std::vector<uint8_t> bytes;
    // The value's line itself, then every line its trailing backslash continues to.
    while (true) {
      const int line = static_cast<int>(*index) + 1;
      std::wstring_view data = rest;
      const size_t semicolon = data.find(L';');
      if (semicolon != std::wstring_view::npos) {
        data = TrimRight(data.substr(0, semicolon));
        value->line_comment = std::wstring(TrimRight(rest.substr(data.size())));
      }
      data = TrimRight(data);
      const bool continued = !data.empty() && data.back() == L'\\';
      if (continued) {
        if (semicolon != std::wstring_view::npos) {
          return Fail(line, "comment inside a continued hex list");
        }
        data = TrimRight(data.substr(0, data.size() - 1));
      }
      if (!ParseHexBytes(data, &bytes, line)) return false;
      if (!continued) break;
      if (++*index >= lines.size())
        return Fail(line, "hex list continues past the end of the file");
      rest = lines[*index];
    }
    return DecodeHexData(std::move(bytes), value, first_line);
  }

  // Comma-separated bytes of one or two hex digits; a trailing comma is fine.
  bool ParseHexBytes(std::wstring_view data, std::vector<uint8_t>* bytes, int line) {
    data = Trim(data);
    while (!data.empty()) {
      const size_t comma = data.find(L',');
      const std::wstring_view token = Trim(data.substr(0, comma));
      uint32_t v = 0;
      if (!ParseHexNumber(token, 2, &v)) {
        return Fail(line, token.empty() ? std::string("missing hex byte between commas")
                                        : "bad hex byte " + Excerpt(token));
      }
      bytes->push_back(static_cast<uint8_t>(v));
      data =
          comma == std::wstring_view::npos ? std::wstring_view() : TrimLeft(data.substr(comma + 1));
    }
    return true;
  }

  // String types hold encoded text: UTF-16LE in Version 5.00 files, narrow
  // text in REGEDIT4 files. Everything else is kept as it is.
  bool DecodeHexData(std::vector<uint8_t> bytes, RegValue* value, int line) {
    if (!IsStringType(value->type)) {
      value->data = std::move(bytes);
      return true;
    }
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::wstring text;
    size_t bad = 0;
    if (version_ == FileVersion::kVersion5) {
      if (bytes.size() % 2 != 0) return Fail(line, "string data has an odd number of UTF-16 bytes");
      DecodeUtf16Le(raw, /*strict=*/false, &text, &bad);
    } else if (!DecodeUtf8(raw, &text, &bad)) {
      return Fail(line, "string data is not valid UTF-8 (byte " + std::to_string(bad + 1) + ")");
    }
    value->data = WideToData(text);
    return true;
  }

  RegDocument* doc_;
  RegParseError* error_;
  FileVersion version_ = FileVersion::kVersion5;
  size_t current_ = kNoKey;
  bool in_deletion_ = false;
  std::vector<std::wstring> pending_comments_;
};

std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// --- writing ----------------------------------------------------------------

std::wstring Quote(std::wstring_view text) {
  std::wstring out = L"\"";
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') out.push_back(L'\\');
    out.push_back(c);
  }
  out.push_back(L'"');
  return out;
}

// A string value shows as "text" when that gives back exactly its data: one
// terminating NUL, no NUL before it, no line breaks, valid characters only.
bool ShowsAsQuotedText(const RegValue& value) {
  if (value.type != kRegString || value.data.size() % sizeof(wchar_t) != 0) return false;
  const std::wstring text = DataToWide(value.data);
  if (text.empty() || text.back() != L'\0') return false;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c == L'\0' || c == L'\r' || c == L'\n' || !IsScalar(static_cast<char32_t>(c))) return false;
  }
  return true;
}

void AppendHexList(std::wstring* out, size_t line_start, const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (out->size() - line_start > kWrapAfterColumn) {
      *out += L"\\\r\n  ";
      line_start = out->size() - 2;
    }
    out->push_back(static_cast<wchar_t>(kHexDigits[bytes[i] >> 4]));
    out->push_back(static_cast<wchar_t>(kHexDigits[bytes[i] & 0xF]));
    if (i + 1 < bytes.size()) out->push_back(L',');
  }
}

void AppendValue(std::wstring* out, const RegValue& value) {
  for (const auto& c : value.comments) *out += c + L"\r\n";
  const size_t line_start = out->size();
  *out += value.name.empty() ? std::wstring(L"@") : Quote(value.name);
  out->push_back(L'=');
  if (ShowsAsQuotedText(value)) {
    const std::wstring text = DataToWide(value.data);
    *out += Quote(std::wstring_view(text).substr(0, text.size() - 1));
  } else if (value.type == kRegDword && value.data.size() == 4) {
    const uint32_t v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                       (static_cast<uint32_t>(value.data[3]) << 24);
    wchar_t digits[16];
    swprintf(digits, sizeof(digits) / sizeof(digits[0]), L"dword:%08x", v);
    *out += digits;
  } else {
    std::vector<uint8_t> bytes;
    if (IsStringType(value.type)) {
      AppendUtf16Le(&bytes, DataToWide(value.data));
    } else {
      bytes = value.data;
    }
    if (value.type == kRegBinary) {
      *out += L"hex:";
    } else {
      wchar_t type[24];
      swprintf(type, sizeof(type) / sizeof(type[0]), L"hex(%x):", value.type);
      *out += type;
    }
    AppendHexList(out, line_start, bytes);
  }
  *out += value.line_comment + L"\r\n";
}

std::wstring_view RootLongName(RootKey root) {
  for (const RootName& r : kRootNames) {
    if (r.root == root) return r.long_name;
  }
  return kRootNames[0].long_name;
}

bool PathIsAtOrBelow(std::wstring_view path, std::wstring_view top) {
  if (path.size() < top.size() || !RegNamesEqual(path.substr(0, top.size()), top)) return false;
  return path.size() == top.size() || top.empty() || path[top.size()] == L'\\';
}

}  // namespace

// --- names --------------------------------------------------------------------

bool RegNamesEqual(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool RegValueNameWritable(std::wstring_view name) {
  for (wchar_t c : name) {
    if (c == L'\r' || c == L'\n' || c == L'\0' || !IsScalar(static_cast<char32_t>(c))) return false;
  }
  return true;
}

bool RegKeyPathWritable(std::wstring_view path) {
  if (!RegValueNameWritable(path) || path.empty()) return false;
  if (path.front() == L'\\' || path.back() == L'\\') return false;
  return path.find(L"\\\\") == std::wstring_view::npos;
}

bool RegDataWritable(uint32_t type, const void* data, uint32_t size) {
  if (size > 0 && data == nullptr) return false;
  if (!IsStringType(type)) return true;
  if (size % sizeof(wchar_t) != 0) return false;
  const auto* units = static_cast<const wchar_t*>(data);
  for (uint32_t i = 0; i < size / sizeof(wchar_t); ++i) {
    wchar_t c = 0;
    std::memcpy(&c, units + i, sizeof(c));
    if (!IsScalar(static_cast<char32_t>(c))) return false;
  }
  return true;
}

// --- document -----------------------------------------------------------------

RegValue* RegKey::FindValue(std::wstring_view name) {
  for (auto& v : values) {
    if (RegNamesEqual(v.name, name)) return &v;
  }
  return nullptr;
}

void RegKey::SetValue(std::wstring_view name, uint32_t type, std::vector<uint8_t> data) {
  RegValue* value = FindValue(name);
  if (value == nullptr) {
    value = &values.emplace_back();
    value->name = std::wstring(name);
  }
  value->type = type;
  value->data = std::move(data);
}

bool RegKey::RemoveValue(std::wstring_view name) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (RegNamesEqual(it->name, name)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

RegKey* RegDocument::FindKey(RootKey root, std::wstring_view path) {
  for (auto& k : keys) {
    if (k.root == root && RegNamesEqual(k.path, path)) return &k;
  }
  return nullptr;
}

bool RegDocument::KeyExists(RootKey root, std::wstring_view path) const {
  if (path.empty()) return true;
  for (const auto& k : keys) {
    if (k.root == root && PathIsAtOrBelow(k.path, path)) return true;
  }
  return false;
}

RegKey& RegDocument::AddKey(RootKey root, std::wstring_view path) {
  if (RegKey* existing = FindKey(root, path)) return *existing;
  RegKey& key = keys.emplace_back();
  key.root = root;
  key.path = std::wstring(path);
  return key;
}

void RegDocument::RemoveKeyTree(RootKey root, std::wstring_view path) {
  std::erase_if(keys,
                [&](const RegKey& k) { return k.root == root && PathIsAtOrBelow(k.path, path); });
}

// --- whole file -----------------------------------------------------------------

bool ParseRegistryText(std::string_view bytes, RegDocument* doc, RegParseError* error) {
  *doc = RegDocument();
  std::wstring text;
  size_t bad = 0;
  if (bytes.substr(0, kUtf16LeBom.size()) == kUtf16LeBom) {
    const std::string_view body = bytes.substr(kUtf16LeBom.size());
    if (body.size() % 2 != 0) {
      *error = {LineOfOffset(body, body.size() - 1, 2), "UTF-16 text ends in half a character"};
      return false;
    }
    if (!DecodeUtf16Le(body, /*strict=*/true, &text, &bad)) {
      *error = {LineOfOffset(body, bad * 2, 2), "unpaired UTF-16 surrogate"};
      return false;
    }
  } else {
    if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) bytes.remove_prefix(kUtf8Bom.size());
    if (!DecodeUtf8(bytes, &text, &bad)) {
      *error = {LineOfOffset(bytes, bad, 1),
                "text is not valid UTF-8 (byte " + std::to_string(bad + 1) + ")"};
      return false;
    }
  }
  if (text.find_first_not_of(L" \t\r\n") == std::wstring::npos) return true;  // empty registry
  Parser parser(doc, error);
  return parser.Run(SplitLines(text));
}

std::string RenderRegistryText(const RegDocument& doc) {
  std::wstring out(kHeaderVersion5);
  out += L"\r\n";
  for (const RegKey& key : doc.keys) {
    out += L"\r\n";
    for (const auto& c : key.comments) out += c + L"\r\n";
    out += L"[";
    out += RootLongName(key.root);
    if (!key.path.empty()) out += L"\\" + key.path;
    out += L"]\r\n";
    for (const RegValue& value : key.values) AppendValue(&out, value);
  }
  out += L"\r\n";
  for (const auto& c : doc.trailing_comments) out += c + L"\r\n";
  return ToUtf8(out);
}

}  // namespace plat::detail
