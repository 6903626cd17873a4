// fwsample: writes a sample flash driver and a sample firmware file that the
// simulated engine accepts (the demonstration flashes them).
//
//   fwsample --driver FILE --image FILE [--driver-size N] [--image-size N]
//            [--board TYPE:ID]... [--raw]
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "sample_firmware.h"

namespace {

constexpr int kExitUsage = 64;

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "fwsample: %s\n", problem);
  std::fprintf(problem != nullptr ? stderr : stdout,
               "Usage: fwsample --driver FILE --image FILE [--driver-size N] [--image-size N]\n"
               "                [--board TYPE:ID]... [--raw]\n"
               "Writes a sample flash driver (default 4096 bytes) and a sample firmware file: a .bin\n"
               "file whose board table lists the given boards (default 0x0A00:0x0400, the simulated\n"
               "engine's board) followed by an image of --image-size bytes (default 65536), or with\n"
               "--raw the image alone. Numbers may be decimal or 0x-prefixed hexadecimal.\n"
               "Exit status: 0 written, 1 a file could not be written, 64 bad command line.\n");
  return problem != nullptr ? kExitUsage : 0;
}

bool ParseNumber(const char* text, unsigned long max, unsigned long* value) {
  // Decimal, or hexadecimal after "0x": a leading 0 does not make it octal.
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = hex ? text + 2 : text;
  if (!std::isxdigit(static_cast<unsigned char>(*digits))) return false;
  char* end = nullptr;
  *value = std::strtoul(digits, &end, hex ? 16 : 10);
  return end != digits && *end == '\0' && *value <= max;
}

bool ParseBoard(const char* text, sample::Board* board) {
  std::string s = text;
  size_t colon = s.find(':');
  unsigned long type = 0;
  unsigned long id = 0;
  if (colon == std::string::npos || !ParseNumber(s.substr(0, colon).c_str(), 0xFFFF, &type) ||
      !ParseNumber(s.substr(colon + 1).c_str(), 0xFFFF, &id)) {
    return false;
  }
  *board = {static_cast<uint16_t>(type), static_cast<uint16_t>(id)};
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  plat::InitProcess();
  std::string driver_path;
  std::string image_path;
  unsigned long driver_size = 4096;
  unsigned long image_size = 65536;
  std::vector<sample::Board> boards;
  bool raw = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0) return Usage(nullptr);
    if (std::strcmp(arg, "--raw") == 0) {
      raw = true;
      continue;
    }
    if (i + 1 >= argc) return Usage("an option without its value");
    const char* value = argv[++i];
    sample::Board board{};
    bool ok = true;
    if (std::strcmp(arg, "--driver") == 0) {
      driver_path = value;
    } else if (std::strcmp(arg, "--image") == 0) {
      image_path = value;
    } else if (std::strcmp(arg, "--driver-size") == 0) {
      ok = ParseNumber(value, 1UL << 20, &driver_size);
    } else if (std::strcmp(arg, "--image-size") == 0) {
      ok = ParseNumber(value, 1UL << 28, &image_size);
    } else if (std::strcmp(arg, "--board") == 0) {
      ok = ParseBoard(value, &board);
      boards.push_back(board);
    } else {
      return Usage("unknown option");
    }
    if (!ok) return Usage("bad number");
  }
  if (driver_path.empty() || image_path.empty()) return Usage("--driver and --image are required");
  if (boards.empty()) boards.push_back({sample::kSimScannerType, sample::kSimBoardId});

  std::vector<uint8_t> image = sample::ImageBytes(image_size);
  std::vector<uint8_t> file = raw ? image : sample::BinFile(boards, image);
  if (!sample::WriteBytes(driver_path, sample::DriverBytes(driver_size)) || !sample::WriteBytes(image_path, file)) {
    std::fprintf(stderr, "fwsample: cannot write the sample files\n");
    return 1;
  }
  std::printf("Wrote %s (%lu bytes) and %s (%zu bytes: %s%lu-byte image)\n", driver_path.c_str(), driver_size,
              image_path.c_str(), file.size(), raw ? "raw " : "board header and ", image_size);
  return 0;
}
