// fwflash's command line: parsing and the checks made before the port is
// touched. Private to app/.
#pragma once

#include <cstdint>
#include <string>

namespace fwflash {

// Exit statuses. The protocol's own result codes pass through where they
// have one; everything else that fails is 1.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBoardNotSupported = 2;  // protocol result 2
constexpr int kExitArgumentMissing = 4;    // protocol result 4
constexpr int kExitLinkFailed = 5;         // protocol result 5
constexpr int kExitUsage = 64;             // bad command line; nothing sent to the engine

struct Options {
  std::string port;         // narrow port name for the transport: "COM2:" or a host tty path
  uint32_t baud = 0;
  std::string engine;       // as spelled in the engine catalogue ("QA71")
  std::string driver;       // file names for the protocol: host paths or device paths
  std::string image;
  std::string psoc_driver;  // both empty, or both given
  std::string psoc_image;
  bool port_defaulted = false;
  bool baud_defaulted = false;
  bool help = false;
};

// Parses and checks the command line. On success returns true; on failure
// stores a one-line message in *error and returns false. Nothing is traced
// and nothing is written: a bad command line leaves the device root as it was.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

// The --help text, every option and every exit status.
std::string UsageText();

}  // namespace fwflash
