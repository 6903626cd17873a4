// fwsim engine: serves a simulated scan engine on a pseudo-terminal linked
// into the device root under a COM name, until SIGINT or SIGTERM.
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "fwsim_commands.h"
#include "platform.h"
#include "simulator.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitViolations = 3;
constexpr uint32_t kSignalPollMs = 100;

volatile std::sig_atomic_t g_stop_requested = 0;

void OnStopSignal(int) { g_stop_requested = 1; }

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: fwsim engine [options]\n"
               "\n"
               "Serves a simulated scan engine (boot code and flash driver) on a new\n"
               "pseudo-terminal, linked into the device root under a COM name, until\n"
               "SIGINT or SIGTERM (the link goes with it). Prints the tty path, then\n"
               "\"ready\", on stdout.\n"
               "\n"
               "  --root DIR               device root (default: $FLASHWRIGHT_ROOT, else ~/.flashwright);\n"
               "                           created if missing\n"
               "  --com NAME               COM name to link to the tty (default COM2:)\n"
               "  --model NAME             engine name, only reported (default QA71)\n"
               "  --autodetect BYTE        answer to the autodetect byte (default 0x72)\n"
               "  --flash-size N           flash size in bytes, 0 to %u (default 262144)\n"
               "  --driver-version TEXT    flash driver version text (default \"SIMDRV 1.00\")\n"
               "  --firmware-version TEXT  firmware version text (default \"SIM FW 1.00\")\n"
               "  --words W0,W1,W2,W3      firmware version words; W2 is the scanner type,\n"
               "                           W3 the board id (default 1,0,0x0A00,0x0400)\n"
               "  --erase-waits N          the erase answers within the host's Nth read\n"
               "                           timeout of 5000 ms (default 0: at once)\n"
               "  --pace BAUD              pace every byte at this line rate (default: none)\n"
               "  --transcript FILE        write the bytes on the line to FILE as they pass\n"
               "  --dump-flash FILE        on exit, write the flash contents to FILE\n"
               "  --help                   show this text\n"
               "\n"
               "Numbers are decimal or 0x hexadecimal. On exit the violations of the\n"
               "protocol the engine saw are listed on stderr. Exit status: 0 no violation,\n"
               "3 violations (also when the flash dump failed too), 1 the engine could not\n"
               "start or the flash dump failed, 2 bad arguments.\n",
               sim::kMaxFlashSize);
}

bool ParseNumber(const char* text, uint64_t max, uint64_t* value) {
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  // Decimal, or hexadecimal after "0x": a leading 0 does not make it octal.
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = hex ? text + 2 : text;
  if (!std::isxdigit(static_cast<unsigned char>(*digits))) return false;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(digits, &end, hex ? 16 : 10);
  if (*end != '\0' || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseWords(const char* text, uint16_t words[4]) {
  std::string rest = text;
  for (int i = 0; i < 4; ++i) {
    size_t comma = rest.find(',');
    if ((comma == std::string::npos) != (i == 3)) return false;
    uint64_t value = 0;
    if (!ParseNumber(rest.substr(0, comma).c_str(), 0xFFFF, &value)) return false;
    words[i] = static_cast<uint16_t>(value);
    if (comma != std::string::npos) rest = rest.substr(comma + 1);
  }
  return true;
}

struct Options {
  sim::EngineConfig config;
  std::string root;
  std::string com = "COM2:";
  std::string dump_flash;
};

// Parses the options; false with a message on stderr if one is wrong.
bool ParseOptions(int argc, char** argv, Options* options, bool* help) {
  sim::EngineConfig& config = options->config;
  for (int i = 1; i < argc; ++i) {  // argv[0] is the command's name
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      *help = true;
      return true;
    }
    static const char* const kValueOptions[] = {
        "--root", "--com", "--model", "--autodetect", "--flash-size", "--driver-version", "--firmware-version",
        "--words", "--erase-waits", "--pace", "--transcript", "--dump-flash"};
    bool known = false;
    for (const char* option : kValueOptions) known = known || name == option;
    if (!known) {
      std::fprintf(stderr, "fwsim engine: unknown option %s\n", name.c_str());
      return false;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) {
      std::fprintf(stderr, "fwsim engine: %s needs a value\n", name.c_str());
      return false;
    }
    ++i;
    uint64_t number = 0;
    bool ok = true;
    if (name == "--root") {
      options->root = value;
    } else if (name == "--com") {
      options->com = value;
    } else if (name == "--model") {
      config.model = value;
    } else if (name == "--autodetect") {
      ok = ParseNumber(value, 0xFF, &number);
      config.autodetect_rsp = static_cast<uint8_t>(number);
    } else if (name == "--flash-size") {
      ok = ParseNumber(value, sim::kMaxFlashSize, &number);
      config.flash_size = static_cast<uint32_t>(number);
    } else if (name == "--driver-version") {
      config.driver_version = value;
    } else if (name == "--firmware-version") {
      config.firmware_version = value;
    } else if (name == "--words") {
      ok = ParseWords(value, config.version_words);
    } else if (name == "--erase-waits") {
      ok = ParseNumber(value, 100000, &number);
      config.erase_waits = static_cast<int>(number);
    } else if (name == "--pace") {
      ok = ParseNumber(value, 100000000, &number);
      config.pace_baud = static_cast<uint32_t>(number);
    } else if (name == "--transcript") {
      config.transcript_path = value;
    } else {  // --dump-flash
      options->dump_flash = value;
    }
    if (!ok) {
      std::fprintf(stderr, "fwsim engine: bad value for %s: %s\n", name.c_str(), value);
      return false;
    }
  }
  return true;
}

bool DumpFlash(const std::string& path, const std::vector<uint8_t>& flash) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(flash.data(), 1, flash.size(), file) == flash.size();
  return std::fclose(file) == 0 && ok;
}

// Removes the COM name's link once the engine's pseudo-terminal is gone: the
// system hands the tty's name out again, and a later open of the COM name
// must not reach whatever terminal gets it next. A link another engine has
// made since is left alone.
void RemoveComLink(const std::wstring& com, const std::string& tty) {
  const std::string link = plat::HostPath(com.c_str());
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::read_symlink(link, ec);
  if (!ec && target == tty) std::filesystem::remove(link, ec);
}

}  // namespace

int FwsimEngineCommand(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!ParseOptions(argc, argv, &options, &help)) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  if (help) {
    PrintUsage(stdout);
    return kExitClean;
  }
  if (!options.root.empty()) setenv("FLASHWRIGHT_ROOT", options.root.c_str(), 1);
  std::wstring root = plat::Widen(plat::DeviceRoot());
  if (!plat::CreateDirectories(root.c_str())) {
    std::fprintf(stderr, "fwsim engine: cannot create the device root %s (error %u)\n", plat::DeviceRoot().c_str(),
                 plat::LastError());
    return kExitFailure;
  }

  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  sim::SimEngine engine(options.config);
  std::wstring com = plat::Widen(options.com);
  if (!engine.Start(com.c_str())) {
    std::fprintf(stderr, "fwsim engine: cannot start the engine on %s (error %u)\n", options.com.c_str(),
                 plat::LastError());
    return kExitFailure;
  }
  std::printf("%s\nready\n", engine.slave_path().c_str());
  std::fflush(stdout);
  while (g_stop_requested == 0) plat::SleepMs(kSignalPollMs);
  engine.Stop();
  RemoveComLink(com, engine.slave_path());

  int status = kExitClean;
  if (!options.dump_flash.empty() && !DumpFlash(options.dump_flash, engine.Flash())) {
    std::fprintf(stderr, "fwsim engine: cannot write the flash to %s\n", options.dump_flash.c_str());
    status = kExitFailure;
  }
  std::vector<sim::Violation> violations = engine.Violations();
  for (const sim::Violation& v : violations) {
    std::fprintf(stderr, "violation (%s): %s\n", sim::EngineStepName(v.step), v.what.c_str());
  }
  std::fprintf(stderr, "fwsim engine: %s, %d driver downloads, %d erases, %d blocks written, %zu violations\n",
               options.config.model.c_str(), engine.DriverStarts(), engine.Erases(), engine.BlocksWritten(),
               violations.size());
  return violations.empty() ? status : kExitViolations;
}
