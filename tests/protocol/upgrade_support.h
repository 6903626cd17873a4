// Test support for the erase, write, firmware file and upgrade tests: a
// status collector for the plain-function StatusCallback, ".bin" file
// builders and an engine fixture that can load the flash driver.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine_fixture.h"

// Collects every status posted through the StatusCallback. The callback is a
// plain function pointer, so the texts live in a test-static vector.
struct StatusLog {
  static inline std::vector<std::string> texts;
  static inline bool lengths_consistent = true;  // both lengths were text length + 1

  static int Collect(const char* text, uint32_t length, uint32_t length2) {
    if (length != strlen(text) + 1 || length2 != length) lengths_consistent = false;
    texts.emplace_back(text);
    return 0;
  }
  static void Reset() {
    texts.clear();
    lengths_consistent = true;
  }
  // Statuses beginning with prefix.
  static int Count(const std::string& prefix) {
    int n = 0;
    for (const auto& t : texts) n += t.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
};

// A firmware file with a board header in front of the image.
inline std::vector<uint8_t> BinFile(const std::vector<BoardEntry>& entries, const std::vector<uint8_t>& image) {
  std::vector<uint8_t> bytes(std::begin(BIN_FILE_MAGIC), std::end(BIN_FILE_MAGIC));
  bytes.push_back(static_cast<uint8_t>(entries.size() >> 8));
  bytes.push_back(static_cast<uint8_t>(entries.size()));
  for (const auto& e : entries) {
    bytes.insert(bytes.end(), {static_cast<uint8_t>(e.scanner_type >> 8), static_cast<uint8_t>(e.scanner_type),
                               static_cast<uint8_t>(e.board_id >> 8), static_cast<uint8_t>(e.board_id)});
  }
  bytes.insert(bytes.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04});  // not interpreted
  bytes.insert(bytes.end(), image.begin(), image.end());
  return bytes;
}

// Names parameterised cases after their `name` field.
struct CaseName {
  template <class Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& param_info) const {
    return param_info.param.name;
  }
};

class FlashEngineFixture : public EngineFixture {
 public:
  using EngineFixture::Pattern;

 protected:
  void SetUp() override { StatusLog::Reset(); }

  // Writes a 1,024-byte flash driver (4 blocks) and returns its host path.
  std::string DriverFile() { return WriteFile("drv.bin", Pattern(1024)); }

  // Starts the engine, detects it and loads the flash driver; returns the
  // flash size the driver reported.
  int32_t StartWithDriver(const sim::EngineConfig& config) {
    StartEngine(config);
    int32_t flash_size = 0;
    EXPECT_EQ(data_rate_detect(config.model.c_str()), PROTO_SUCCESS);
    EXPECT_EQ(dwnld_driver_and_init(DriverFile().c_str(), 2, &flash_size), PROTO_SUCCESS);
    return flash_size;
  }

  // The engine's whole flash must hold the image from address 0, and 0xFF
  // everywhere else (the padding of the last block included).
  void ExpectFlashHolds(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> flash = engine_->Flash();
    ASSERT_GE(flash.size(), image.size());
    std::vector<uint8_t> expected(flash.size(), 0xFF);
    std::copy(image.begin(), image.end(), expected.begin());
    size_t first_difference = 0;
    while (first_difference < flash.size() && flash[first_difference] == expected[first_difference]) {
      ++first_difference;
    }
    EXPECT_EQ(first_difference, flash.size()) << "flash differs from the image at address " << first_difference;
  }
};
