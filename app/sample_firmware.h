// Sample flash driver and firmware files for the simulated engine: the
// demonstration, the fwflash tests and the flashing benchmark all flash them.
// Private to app/ (its tests and the benchmark may include it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sample {

// The board the simulated engine reports unless told otherwise: scanner
// type 0x0A00, board id 0x0400 (words w2 and w3 of its firmware version).
constexpr uint16_t kSimScannerType = 0x0A00;
constexpr uint16_t kSimBoardId = 0x0400;

struct Board {
  uint16_t scanner_type;
  uint16_t board_id;
};

// A flash driver file's bytes: a recognisable pattern of `size` bytes.
std::vector<uint8_t> DriverBytes(size_t size);
// A firmware image's bytes (what ends up in flash): a recognisable pattern
// that differs from block to block.
std::vector<uint8_t> ImageBytes(size_t size);
// A ".bin" file: the board header (magic, board count, the boards, 8 bytes
// not interpreted) followed by the image.
std::vector<uint8_t> BinFile(const std::vector<Board>& boards, const std::vector<uint8_t>& image);

// Writes bytes to a host path, replacing the file. False on any failure.
bool WriteBytes(const std::string& host_path, const std::vector<uint8_t>& bytes);

}  // namespace sample
