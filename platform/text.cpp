// UTF-8 <-> wide text, standing in for the terminal's ANSI code page. Our own
// codec: it neither depends on the locale nor allocates.
#include <cstring>
#include <cwchar>

#include "platform_internal.h"

namespace plat {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr int kMaxUtf8Units = 4;

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }
bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Decodes one character starting at s (n > 0 units left). *used gets the
// units consumed. A malformed sequence yields U+FFFD and consumes its longest
// valid prefix (at least one byte), so decoding resumes at the offending byte.
char32_t DecodeUtf8(const char* s, size_t n, size_t* used) {
  const auto* u = reinterpret_cast<const unsigned char*>(s);
  unsigned char lead = u[0];
  *used = 1;
  if (lead < 0x80) return lead;
  int extra = 0;
  char32_t cp = 0;
  // Range allowed for the second byte: rules out overlong forms, surrogates
  // and values above U+10FFFF.
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return kReplacement;
  }
  for (int i = 1; i <= extra; ++i) {
    if (static_cast<size_t>(i) >= n) return kReplacement;
    unsigned char b = u[i];
    bool ok = (i == 1) ? (b >= lo && b <= hi) : IsContinuation(b);
    if (!ok) return kReplacement;
    cp = (cp << 6) | (b & 0x3F);
    *used = static_cast<size_t>(i) + 1;
  }
  return cp;
}

int EncodeUtf8(char32_t cp, char* out) {
  if (cp > kMaxCodePoint || IsSurrogate(cp)) cp = kReplacement;
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Wide text is UTF-32 here; a UTF-16 surrogate pair that found its way into
// it is joined, a lone surrogate becomes U+FFFD when encoded.
char32_t DecodeWide(const wchar_t* s, size_t n, size_t* used) {
  auto c = static_cast<char32_t>(s[0]);
  *used = 1;
  if (c >= 0xD800 && c <= 0xDBFF && n > 1) {
    auto low = static_cast<char32_t>(s[1]);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      *used = 2;
      return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
  }
  return c;
}

int EncodeWide(char32_t cp, wchar_t* out) {
  if (cp > kMaxCodePoint || IsSurrogate(cp)) cp = kReplacement;
  out[0] = static_cast<wchar_t>(cp);
  return 1;
}

size_t Length(const char* s) { return std::strlen(s); }
size_t Length(const wchar_t* s) { return std::wcslen(s); }

// The shared conversion loop. Characters are written whole: a too-small
// buffer ends at the last character that fits before the terminating NUL.
template <class In, class Out, class Decode, class Encode>
int Convert(const In* src, int src_len, Out* dst, int dst_cap, Decode decode, Encode encode) {
  if (src == nullptr || src_len < -1 || dst_cap < 0 || (dst == nullptr && dst_cap != 0)) {
    SetLastErrorCode(kErrInvalidParameter);
    return 0;
  }
  size_t n = (src_len == -1) ? Length(src) + 1 : static_cast<size_t>(src_len);
  bool size_only = (dst == nullptr);
  size_t written = 0;
  size_t boundary = 0;  // end of the last whole character written
  for (size_t pos = 0; pos < n;) {
    size_t used = 0;
    char32_t cp = decode(src + pos, n - pos, &used);
    pos += used;
    Out units[kMaxUtf8Units];
    int count = encode(cp, units);
    if (!size_only) {
      if (written + static_cast<size_t>(count) > static_cast<size_t>(dst_cap)) {
        if (dst_cap > 0) dst[written < static_cast<size_t>(dst_cap) ? written : boundary] = Out(0);
        SetLastErrorCode(kErrBufferTooSmall);
        return 0;
      }
      boundary = written;
      std::memcpy(dst + written, units, sizeof(Out) * static_cast<size_t>(count));
    }
    written += static_cast<size_t>(count);
  }
  SetLastErrorCode(kErrNone);
  return static_cast<int>(written);
}

}  // namespace

int NarrowToWide(const char* src, int src_len, wchar_t* dst, int dst_cap) {
  return Convert(src, src_len, dst, dst_cap, DecodeUtf8, EncodeWide);
}

int WideToNarrow(const wchar_t* src, int src_len, char* dst, int dst_cap) {
  return Convert(src, src_len, dst, dst_cap, DecodeWide, EncodeUtf8);
}

std::wstring Widen(const std::string& narrow) {
  if (narrow.empty()) return {};
  int len = static_cast<int>(narrow.size());
  std::wstring wide(static_cast<size_t>(NarrowToWide(narrow.data(), len, nullptr, 0)), L'\0');
  NarrowToWide(narrow.data(), len, wide.data(), static_cast<int>(wide.size()));
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  int len = static_cast<int>(wide.size());
  std::string narrow(static_cast<size_t>(WideToNarrow(wide.data(), len, nullptr, 0)), '\0');
  WideToNarrow(wide.data(), len, narrow.data(), static_cast<int>(narrow.size()));
  return narrow;
}

}  // namespace plat
