#include <atomic>
#include <cstdio>
#include <cwchar>
#include <thread>

#include "test_support.h"

namespace {

struct DecodeCase {
  const char* what;
  std::string utf8;
  std::wstring wide;
  bool round_trips;  // valid UTF-8 comes back byte for byte
};

const DecodeCase kDecodeCases[] = {
    {"ascii", "QA71 COM7:", L"QA71 COM7:", true},
    {"two-byte", "Pr\xC3\xBC" "fung", L"Pr\u00FCfung", true},
    {"greek", "\xCE\xA9mega.bin", L"\u03A9mega.bin", true},
    {"three-byte", "\xE2\x82\xAC", L"\u20AC", true},
    {"four-byte", "\xF0\x9F\x98\x80", L"\U0001F600", true},
    {"embedded NUL", std::string("a\0b", 3), std::wstring(L"a\0b", 3), true},
    {"lone continuation", "a\x80z", L"a\uFFFDz", false},
    {"truncated at end", "ab\xC3", L"ab\uFFFD", false},
    {"truncated before ascii", "\xE2\x82" "A", L"\uFFFD" L"A", false},
    {"overlong slash", "\xC0\xAF", L"\uFFFD\uFFFD", false},
    {"encoded surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD", false},
    {"above U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD", false},
    {"invalid lead", "\xFF" "x", L"\uFFFD" L"x", false},
};

TEST(Text, DecodesAndEncodesUtf8) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(plat::Widen(c.utf8), c.wide);
    if (c.round_trips) {
      EXPECT_EQ(plat::Narrow(c.wide), c.utf8);
    }
  }
}

TEST(Text, WideSurrogatesAreJoinedOrReplaced) {
  EXPECT_EQ(plat::Narrow(std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}), "\xF0\x9F\x98\x80");
  EXPECT_EQ(plat::Narrow(std::wstring{L'a', wchar_t(0xDC00), L'b'}), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(plat::Narrow(std::wstring{wchar_t(0x110000)}), "\xEF\xBF\xBD");
}

TEST(Text, TerminatedInputCountsTheNul) {
  wchar_t wide[16];
  EXPECT_EQ(plat::NarrowToWide("Pr\xC3\xBC" "f", -1, wide, 16), 5);
  EXPECT_STREQ(wide, L"Pr\u00FCf");
  char narrow[16];
  EXPECT_EQ(plat::WideToNarrow(L"Pr\u00FCf", -1, narrow, 16), 6);
  EXPECT_STREQ(narrow, "Pr\xC3\xBC" "f");
  // Size queries.
  EXPECT_EQ(plat::NarrowToWide("Pr\xC3\xBC" "f", -1, nullptr, 0), 5);
  EXPECT_EQ(plat::WideToNarrow(L"Pr\u00FCf", -1, nullptr, 0), 6);
}

TEST(Text, CountedInputFitsExactlyWithoutNul) {
  char narrow[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(plat::WideToNarrow(L"ab", 2, narrow, 2), 2);
  EXPECT_EQ(std::string(narrow, 4), "ab##");
  EXPECT_EQ(plat::NarrowToWide("", 0, nullptr, 0), 0);
  EXPECT_EQ(plat::LastError(), plat::kErrNone);
}

struct SmallBufferCase {
  const char* what;
  const wchar_t* wide;
  int src_len;
  int cap;
  std::string kept;  // what the buffer holds afterwards, up to its NUL
};

const SmallBufferCase kSmallBufferCases[] = {
    {"no room for the NUL", L"abc", -1, 3, "ab"},
    {"counted input, buffer full", L"abc", 3, 2, "a"},
    {"multi-byte character not split", L"Pr\u00FCfung", -1, 3, "Pr"},
    {"multi-byte character at the very end", L"P\u00FC", -1, 3, "P"},
    {"one unit", L"abc", -1, 1, ""},
};

TEST(Text, TooSmallBufferFailsAndStaysTerminated) {
  for (const SmallBufferCase& c : kSmallBufferCases) {
    SCOPED_TRACE(c.what);
    char narrow[8];
    std::fill(std::begin(narrow), std::end(narrow), '#');
    plat::SetLastErrorCode(plat::kErrNone);
    EXPECT_EQ(plat::WideToNarrow(c.wide, c.src_len, narrow, c.cap), 0);
    EXPECT_EQ(plat::LastError(), plat::kErrBufferTooSmall);
    EXPECT_STREQ(narrow, c.kept.c_str());
    EXPECT_EQ(narrow[c.cap], '#') << "wrote past the buffer";
  }
  wchar_t wide[4];
  EXPECT_EQ(plat::NarrowToWide("Pr\xC3\xBC" "fung", -1, wide, 4), 0);
  EXPECT_EQ(plat::LastError(), plat::kErrBufferTooSmall);
  EXPECT_STREQ(wide, L"Pr\u00FC");
}

TEST(Text, BadArgumentsAreRefused) {
  wchar_t wide[4];
  EXPECT_EQ(plat::NarrowToWide(nullptr, -1, wide, 4), 0);
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidParameter);
  EXPECT_EQ(plat::NarrowToWide("a", -2, wide, 4), 0);
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidParameter);
  EXPECT_EQ(plat::NarrowToWide("a", -1, nullptr, 4), 0);
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidParameter);
}

// InitProcess (run by the test main) must leave a locale in which the C
// library formats wide text beyond ASCII.
TEST(Text, WideArgumentsFormatAfterInitProcess) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "[%ls]", L"\\My Documents\\Pr\u00FCfung\\\u03A9mega.bin");
  EXPECT_STREQ(buffer, "[\\My Documents\\Pr\xC3\xBC" "fung\\\xCE\xA9mega.bin]");
}

// The debugger output hands the text over as given, and a sink can be
// swapped while another thread writes: once SetDebugSink has returned, the
// old sink is no longer called.
TEST(DebugOutputConcurrency, SinksSwapWhileAnotherThreadWrites) {
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop) plat::DebugOutput(L"writer \u03A9\r\n");
  });
  for (int round = 0; round < 50; ++round) {
    testsupport::DebugCapture capture;
    plat::DebugOutput(L"main ");
    EXPECT_GE(capture.Count("main "), 1);
  }
  stop = true;
  writer.join();
  testsupport::DebugCapture capture;
  plat::DebugOutput(L"no line end");
  plat::DebugOutput(L" \u03A9mega\r\n");
  EXPECT_EQ(capture.Messages(), (std::vector<std::string>{"no line end", " \xCE\xA9mega\r\n"}));
}

}  // namespace
