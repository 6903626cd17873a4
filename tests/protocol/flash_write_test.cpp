// Erase and image write against the simulated engine: block layout, padding,
// progress counters, statuses, the erase wait and the refusals.

#include <filesystem>

#include "flash_image.h"
#include "upgrade_support.h"

namespace {

constexpr char kWriteComplete[] = "Writing blocks complete.  Please wait.";

// ---------------------------------------------------------------------------
// Writing images of various sizes

struct WriteCase {
  const char* name;
  size_t header_size;  // bytes in front of the image (the image offset)
  size_t image_size;
  int blocks_sent;    // full blocks plus a padded last block
  int total_blocks;   // KpxGetTotalBlocks: full blocks plus one
  int current_block;  // KpxGetCurrentBlock: the last full block; the last partial block leaves it (-7 before)
  std::vector<std::string> statuses;
  const char* trace_line;  // a line the write must trace
};

class FlashWriteImageTest : public FlashEngineFixture, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(FlashWriteImageTest, WritesBlocksWithPaddingAndReportsProgress) {
  const WriteCase& c = GetParam();
  int32_t flash_size = StartWithDriver(sim::EngineConfig{});
  std::vector<uint8_t> image = Pattern(c.image_size);
  std::vector<uint8_t> file(c.header_size, 0x5A);
  file.insert(file.end(), image.begin(), image.end());
  std::string path = WriteFile("image.raw", file);

  ASSERT_EQ(erase_all(nullptr), PROTO_SUCCESS);
  KpxSetCurrentBlock(-7);
  EXPECT_EQ(write_flash_ex(flash_size, static_cast<int32_t>(c.header_size), path.c_str(), &StatusLog::Collect),
            PROTO_SUCCESS);

  EXPECT_EQ(engine_->BlocksWritten(), c.blocks_sent);
  ExpectFlashHolds(image);
  EXPECT_EQ(KpxGetTotalBlocks(), c.total_blocks);
  EXPECT_EQ(KpxGetCurrentBlock(), c.current_block);
  EXPECT_EQ(StatusLog::texts, c.statuses);
  EXPECT_TRUE(StatusLog::lengths_consistent);
  EXPECT_TRUE(trace_.Contains(c.trace_line)) << c.trace_line;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FlashWriteImageTest,
    ::testing::Values(
        WriteCase{"TenFullBlocks",
                  0,
                  2560,
                  10,
                  11,
                  9,
                  {"Writing block 0 of 10", kWriteComplete},
                  "filesize: 2560, numblocks: 10, remainder: 0\r\n"},
        WriteCase{"OneFullBlockAndPartial",
                  0,
                  300,
                  2,
                  2,
                  0,
                  {"Writing block 0 of 1", kWriteComplete},
                  "Reading last block. blocksize: 44 file_addr: 256\r\n"},
        WriteCase{"PartialBlockOnly", 0, 100, 1, 1, -7, {kWriteComplete}, "Start writing 0 blocks. Please wait..."},
        WriteCase{"StatusEveryTenthBlock",
                  0,
                  21 * 256 + 5,
                  22,
                  22,
                  20,
                  {"Writing block 0 of 21", "Writing block 10 of 21", "Writing block 20 of 21", kWriteComplete},
                  "Reading last block. blocksize: 5 file_addr: 5376\r\n"},
        WriteCase{"ImageBehindHeader",
                  24,
                  300,
                  2,
                  2,
                  0,
                  {"Writing block 0 of 1", kWriteComplete},
                  "filesize: 324, numblocks: 1, remainder: 44\r\n"}),
    CaseName());

// ---------------------------------------------------------------------------
// The flash size limit and the refusals that come before any block

TEST_F(FlashEngineFixture, ImageOfExactlyTheFlashSizeIsWritten) {
  sim::EngineConfig config;
  config.flash_size = 4096;
  int32_t flash_size = StartWithDriver(config);
  ASSERT_EQ(flash_size, 4096);
  std::vector<uint8_t> image = Pattern(4096);
  ASSERT_EQ(erase_all(nullptr), PROTO_SUCCESS);
  EXPECT_EQ(write_flash_ex(flash_size, 0, WriteFile("full.raw", image).c_str(), nullptr), PROTO_SUCCESS);
  EXPECT_EQ(engine_->BlocksWritten(), 16);
  ExpectFlashHolds(image);
}

struct RefusalCase {
  const char* name;
  int64_t file_size;  // -1: no file at all
  int32_t offset;
  bool sparse;        // a sparse host file (for sizes beyond 2 GiB)
  const char* error;  // the error report's text
};

class FlashWriteRefusalTest : public FlashEngineFixture, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(FlashWriteRefusalTest, RefusesBeforeAnyBlock) {
  const RefusalCase& c = GetParam();
  sim::EngineConfig config;
  config.flash_size = 4096;
  int32_t flash_size = StartWithDriver(config);
  std::string path = root_.Host("My Documents/image.raw");
  if (c.sparse) {
    WriteFile("image.raw", {});
    std::filesystem::resize_file(path, static_cast<uintmax_t>(c.file_size));
  } else if (c.file_size >= 0) {
    WriteFile("image.raw", Pattern(static_cast<size_t>(c.file_size)));
  }

  EXPECT_EQ(write_flash_ex(flash_size, c.offset, path.c_str(), &StatusLog::Collect), PROTO_FAILURE);
  EXPECT_EQ(engine_->BlocksWritten(), 0);
  EXPECT_TRUE(StatusLog::texts.empty());
  EXPECT_TRUE(trace_.Contains(c.error)) << trace_.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, FlashWriteRefusalTest,
    ::testing::Values(
        RefusalCase{"OneByteOverFlash", 4097, 0, false,
                    "ERROR file size numbytes: 4097, numblocks: 16, flashsize: 4096\r\n"},
        RefusalCase{"MissingFile", -1, 0, false, "Error opening "},
        // Measured in 64 bits: a 32-bit size would wrap negative and pass the check.
        RefusalCase{"FileBeyond2GiB", (int64_t{1} << 31) + 300, 0, true,
                    "ERROR file size numbytes: 2147483948, numblocks: 8388609, flashsize: 4096\r\n"},
        RefusalCase{"NegativeOffset", 300, -1, false, "write_flash_ex - ERROR image offset: -1 outside the file"},
        RefusalCase{"OffsetBeyondFile", 300, 301, false, "write_flash_ex - ERROR image offset: 301 outside the file"},
        RefusalCase{"EmptyImage", 24, 24, false, "write_flash_ex - ERROR no image bytes. filesize: 24, offset: 24"}),
    CaseName());

TEST_F(FlashEngineFixture, WriteBlockRefusesMoreBytesThanTheBufferHolds) {
  StartWithDriver(sim::EngineConfig{});
  uint8_t block[FLASH_BLOCK_SIZE] = {};
  EXPECT_EQ(write_block_checked(FLASH_BLOCK_SIZE + 1, 0, block, sizeof(block)), PROTO_FAILURE);
  EXPECT_EQ(write_block(FLASH_BLOCK_SIZE, 0, nullptr), PROTO_ARGUMENT_MISSING);
  EXPECT_EQ(engine_->BlocksWritten(), 0);
  EXPECT_TRUE(trace_.Contains("ERROR: write_block, byte count: 257 exceeds the 256 bytes given\r\n"));
}

TEST_F(FlashEngineFixture, FailedBlockStopsTheWriteAndIsRecorded) {
  sim::EngineConfig config;
  config.faults.push_back({sim::EngineStep::kWriteDone, sim::FaultKind::kWrongByte, 0x35, 2});
  int32_t flash_size = StartWithDriver(config);
  ASSERT_EQ(erase_all(nullptr), PROTO_SUCCESS);
  EXPECT_EQ(write_flash_ex(flash_size, 0, WriteFile("image.raw", Pattern(2560)).c_str(), &StatusLog::Collect),
            PROTO_FAILURE);
  EXPECT_EQ(engine_->BlocksWritten(), 2);
  EXPECT_TRUE(trace_.Contains("ERROR: rxing cmd complete byte. expected: 0x31 rsp: 0x35\r\n"));
  EXPECT_TRUE(trace_.Contains("ERROR -> block: 1\r\n\r\n"));
  EXPECT_EQ(KpxGetCurrentBlock(), 1);
  EXPECT_EQ(StatusLog::texts, (std::vector<std::string>{"Writing block 0 of 10", kWriteComplete}));
}

// ---------------------------------------------------------------------------
// Erase

struct EraseCase {
  const char* name;
  int erase_waits;  // the engine confirms within the host's erase_waits-th wait
  sim::Fault fault;
  int result;
  int waiting_statuses;  // "Waiting erase complete rsp. cnt: %d" posted
  uint64_t min_virtual_ms;
};

class EraseTest : public FlashEngineFixture, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(EraseTest, WaitsForTheEngineToConfirm) {
  const EraseCase& c = GetParam();
  sim::EngineConfig config;
  config.erase_waits = c.erase_waits;
  if (c.fault.kind != sim::FaultKind::kNone) config.faults.push_back(c.fault);
  StartWithDriver(config);

  uint64_t start = clock_.Now();
  EXPECT_EQ(erase_all(&StatusLog::Collect), c.result);
  EXPECT_GE(clock_.Now() - start, c.min_virtual_ms);

  ASSERT_FALSE(StatusLog::texts.empty());
  EXPECT_EQ(StatusLog::texts.front(), "Erasing flash for upgrade.\r\nPlease wait...");
  EXPECT_EQ(StatusLog::Count("Waiting erase complete rsp. cnt: "), c.waiting_statuses);
  for (int i = 0; i < c.waiting_statuses; ++i) {
    EXPECT_EQ(StatusLog::texts[static_cast<size_t>(i) + 1], "Waiting erase complete rsp. cnt: " + std::to_string(i));
  }
  EXPECT_EQ(trace_.Count("Waiting for erase to complete... cnt: "), c.waiting_statuses);
  if (c.result == PROTO_SUCCESS) {
    EXPECT_EQ(StatusLog::texts.back(), "Erase flash complete");
    EXPECT_EQ(engine_->Erases(), 1);
  } else {
    EXPECT_EQ(StatusLog::Count("Erase flash complete"), 0);
    EXPECT_TRUE(trace_.Contains("ERROR: erase_all, rx'ing cmd done\r\n"));
  }
  EXPECT_TRUE(StatusLog::lengths_consistent);
}

INSTANTIATE_TEST_SUITE_P(Waits, EraseTest,
                         ::testing::Values(EraseCase{"ConfirmedAtOnce", 0, {}, PROTO_SUCCESS, 0, 0},
                                           EraseCase{
                                               "ConfirmedOnThe150thWait", 150, {}, PROTO_SUCCESS, 149, 149 * 5000},
                                           // 150 timeouts of 5000 ms, then the pause of 3000 ms.
                                           EraseCase{"NeverConfirmed",
                                                     0,
                                                     {sim::EngineStep::kEraseDone, sim::FaultKind::kSilence, 0, 1},
                                                     PROTO_FAILURE,
                                                     150,
                                                     150 * 5000 + 3000},
                                           EraseCase{"StrayByteCountsAsAWait",
                                                     0,
                                                     {sim::EngineStep::kEraseDone, sim::FaultKind::kStrayByte, 0x55, 1},
                                                     PROTO_SUCCESS,
                                                     1,
                                                     0}),
                         CaseName());

// ---------------------------------------------------------------------------
// Composed texts are cut to their buffer without splitting a character

struct ComposeCase {
  const char* name;
  std::string text;
  size_t cap;
  std::string stored;
};

class ComposeTextTest : public ::testing::TestWithParam<ComposeCase> {};

TEST_P(ComposeTextTest, CutsAtACharacterBoundary) {
  const ComposeCase& c = GetParam();
  std::vector<char> buffer(c.cap, '#');
  EXPECT_EQ(ComposeText(buffer.data(), buffer.size(), "%s", c.text.c_str()), c.stored.size());
  EXPECT_EQ(std::string(buffer.data()), c.stored);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, ComposeTextTest,
    ::testing::Values(ComposeCase{"Fits", "abc", 4, "abc"}, ComposeCase{"PlainCut", "abcdef", 4, "abc"},
                      ComposeCase{"TwoByteCharacterSplit", "ab\xC3\xA9", 4, "ab"},
                      ComposeCase{"TwoByteCharacterWhole", "a\xC3\xA9z", 4, "a\xC3\xA9"},
                      ComposeCase{"ThreeByteCharacterSplit", "a\xE2\x82\xAC", 4, "a"},
                      ComposeCase{"FourByteCharacterWhole", "\xF0\x9F\x98\x80!", 5, "\xF0\x9F\x98\x80"}),
    CaseName());

}  // namespace
