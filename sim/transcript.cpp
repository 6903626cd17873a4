#include "transcript.h"

namespace sim {

Transcript::~Transcript() { Close(); }

bool Transcript::Open(const std::string& path) {
  Close();
  if (path.empty()) return true;
  file_ = std::fopen(path.c_str(), "w");
  return file_ != nullptr;
}

void Transcript::Close() {
  if (file_ == nullptr) return;
  EndLine();
  std::fclose(file_);
  file_ = nullptr;
}

void Transcript::Bytes(char direction, const uint8_t* data, size_t n) {
  if (file_ == nullptr || n == 0) return;
  if (direction != direction_) {
    EndLine();
    std::fprintf(file_, "%c>", direction);
    direction_ = direction;
  }
  for (size_t i = 0; i < n; ++i) std::fprintf(file_, " %02X", data[i]);
}

void Transcript::Line(const std::string& text) {
  if (file_ == nullptr) return;
  EndLine();
  std::fprintf(file_, "%s\n", text.c_str());
  std::fflush(file_);
}

void Transcript::Flush() {
  if (file_ != nullptr) std::fflush(file_);
}

void Transcript::EndLine() {
  if (direction_ == 0) return;
  std::fputc('\n', file_);
  std::fflush(file_);
  direction_ = 0;
}

}  // namespace sim
