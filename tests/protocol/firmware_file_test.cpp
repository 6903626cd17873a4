// Firmware file header and board check.

#include "upgrade_support.h"

namespace {

constexpr BoardEntry kUntouched = {0xEEEE, 0xEEEE};
const std::vector<BoardEntry> kTwoBoards = {{0x0B00, 0x3800}, {0x0A00, 0x0400}};

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---------------------------------------------------------------------------
// Reading the header

struct HeaderCase {
  const char* name;
  std::vector<uint8_t> file;  // empty: no file at all
  bool device_path;           // name the file "\\My Documents\\..." instead of by host path
  int result;
  int count;                        // after the call (in: 100)
  int32_t offset;                   // after the call (in: -1)
  std::vector<BoardEntry> entries;  // expected table[0..]; the rest stays untouched
  const char* trace_line;           // a line the call must trace, or nullptr
};

class BinHeaderTest : public FlashEngineFixture, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(BinHeaderTest, ReadsBoardTableAndImageOffset) {
  const HeaderCase& c = GetParam();
  std::string name = "\\My Documents\\fw.bin";
  if (!c.file.empty()) {
    std::string host = WriteFile("fw.bin", c.file);
    if (!c.device_path) name = host;
  }
  std::vector<BoardEntry> table(BOARD_TABLE_CAPACITY, kUntouched);
  int count = BOARD_TABLE_CAPACITY;
  int32_t offset = -1;

  EXPECT_EQ(GetBinFileInfo(name.c_str(), table.data(), &count, &offset), c.result);
  EXPECT_EQ(count, c.count);
  EXPECT_EQ(offset, c.offset);
  for (size_t i = 0; i < table.size(); ++i) {
    BoardEntry want = i < c.entries.size() ? c.entries[i] : kUntouched;
    EXPECT_EQ(table[i].scanner_type, want.scanner_type) << "entry " << i;
    EXPECT_EQ(table[i].board_id, want.board_id) << "entry " << i;
  }
  if (c.trace_line != nullptr) {
    EXPECT_TRUE(trace_.Contains(c.trace_line)) << trace_.Text();
  }
}

const std::vector<uint8_t> kMagic(std::begin(BIN_FILE_MAGIC), std::end(BIN_FILE_MAGIC));

INSTANTIATE_TEST_SUITE_P(
    Headers, BinHeaderTest,
    ::testing::Values(
        HeaderCase{"TwoBoards", BinFile(kTwoBoards, FlashEngineFixture::Pattern(300)), false, PROTO_SUCCESS, 2, 24,
                   kTwoBoards, nullptr},
        HeaderCase{"TwoBoardsByDevicePath", BinFile(kTwoBoards, FlashEngineFixture::Pattern(300)), true, PROTO_SUCCESS,
                   2, 24, kTwoBoards, nullptr},
        HeaderCase{"NoBoards", BinFile({}, FlashEngineFixture::Pattern(300)), false, PROTO_SUCCESS, 0, 16, {}, nullptr},
        HeaderCase{"MoreBoardsThanTheTableHolds",
                   BinFile(std::vector<BoardEntry>(101, BoardEntry{1, 2}), FlashEngineFixture::Pattern(10)),
                   false,
                   PROTO_FAILURE,
                   100,
                   -1,
                   {},
                   "ERROR: Input scanner table too short. InNumScanners: 100, BinFileNumScanners: 101\r\n"},
        HeaderCase{
            "RawImage", FlashEngineFixture::Pattern(300), false, PROTO_SUCCESS, 100, 0, {}, "WARNING: Not a bin file"},
        HeaderCase{
            "FileShorterThanTheMagic", {0x33, 0x05, 0x61}, false, PROTO_SUCCESS, 100, 0, {}, "WARNING: Not a bin file"},
        // A header cut short is refused: its image would start at the file's end.
        HeaderCase{"HeaderEndsInsideTheEntries",
                   Concat(kMagic, {0x00, 0x02, 0x0B, 0x00, 0x38, 0x00}),
                   false,
                   PROTO_FAILURE,
                   100,
                   -1,
                   {},
                   "GetBinFileInfo - ERROR: Input file header too short. bytes read: 12, header size: 24\r\n"},
        HeaderCase{"HeaderEndsInsideTheCount",
                   Concat(kMagic, {0x00}),
                   false,
                   PROTO_FAILURE,
                   100,
                   -1,
                   {},
                   "GetBinFileInfo - ERROR: Input file header too short. bytes read: 7, header size: 8\r\n"},
        HeaderCase{"MissingFile", {}, true, PROTO_FAILURE, 100, -1, {}, "ERROR: Input file invalid\r\n"}),
    CaseName());

// ---------------------------------------------------------------------------
// Matching the engine's board

struct BoardCase {
  const char* name;
  std::vector<BoardEntry> table;  // the first n entries searched
  uint16_t scanner_type;          // the engine's w2
  uint16_t board_id;              // the engine's w3
  bool version_fails;
  int result;
  uint16_t board_id_out;  // in: 0x1234
};

class ValidateBoardTest : public FlashEngineFixture, public ::testing::WithParamInterface<BoardCase> {};

TEST_P(ValidateBoardTest, AcceptsOnlyTheEnginesPair) {
  const BoardCase& c = GetParam();
  sim::EngineConfig config;
  config.version_words[2] = c.scanner_type;
  config.version_words[3] = c.board_id;
  if (c.version_fails) {
    config.faults.push_back({sim::EngineStep::kVersionWords, sim::FaultKind::kSilence, 0, 1});
  }
  StartWithDriver(config);

  uint16_t board_id = 0x1234;
  EXPECT_EQ(ValidateBoardId(c.table.data(), static_cast<int>(c.table.size()), &board_id), c.result);
  EXPECT_EQ(board_id, c.board_id_out);
  if (c.result == PROTO_SUCCESS) {
    EXPECT_TRUE(trace_.Contains("ValidateBoardId- Found match. boardid: 0x"));
  }
  if (c.version_fails) {
    EXPECT_TRUE(trace_.Contains("ValidateBoardId - ERROR requesting firmare\r\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, ValidateBoardTest,
    ::testing::Values(BoardCase{"SecondEntryMatches", kTwoBoards, 0x0A00, 0x0400, false, PROTO_SUCCESS, 0x0400},
                      BoardCase{"EmptyTable", {}, 0x0A00, 0x0400, false, PROTO_BOARD_NOT_SUPPORTED, 0x1234},
                      BoardCase{"BoardIdOfAnotherScannerType",
                                {{0x0B00, 0x0400}},
                                0x0A00,
                                0x0400,
                                false,
                                PROTO_BOARD_NOT_SUPPORTED,
                                0x1234},
                      // A raw image leaves the caller's cleared table of 100 entries.
                      BoardCase{"ClearedTableAcceptsZeroPair", std::vector<BoardEntry>(100), 0, 0, false, PROTO_SUCCESS,
                                0},
                      BoardCase{"ClearedTableRefusesRealBoard", std::vector<BoardEntry>(100), 0x0A00, 0x0400, false,
                                PROTO_BOARD_NOT_SUPPORTED, 0x1234},
                      BoardCase{"VersionRequestFails", kTwoBoards, 0x0A00, 0x0400, true, PROTO_FAILURE, 0xFFFF}),
    CaseName());

}  // namespace
