#include "sample_firmware.h"

#include <cstdio>

#include "engine_protocol.h"

namespace sample {

namespace {

void PutWord(std::vector<uint8_t>* out, uint16_t word) {
  out->push_back(static_cast<uint8_t>(word >> 8));
  out->push_back(static_cast<uint8_t>(word & 0xFF));
}

}  // namespace

std::vector<uint8_t> DriverBytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(0xD0 ^ (i * 13 + i / 251));
  return bytes;
}

std::vector<uint8_t> ImageBytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return bytes;
}

std::vector<uint8_t> BinFile(const std::vector<Board>& boards, const std::vector<uint8_t>& image) {
  std::vector<uint8_t> out(BIN_FILE_MAGIC, BIN_FILE_MAGIC + sizeof(BIN_FILE_MAGIC));
  PutWord(&out, static_cast<uint16_t>(boards.size()));
  for (const Board& b : boards) {
    PutWord(&out, b.scanner_type);
    PutWord(&out, b.board_id);
  }
  out.insert(out.end(), 8, 0x00);  // six and two bytes the reader skips
  out.insert(out.end(), image.begin(), image.end());
  return out;
}

bool WriteBytes(const std::string& host_path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(host_path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0) ok = false;
  return ok;
}

}  // namespace sample
