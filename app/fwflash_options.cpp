#include "fwflash_options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include "engine_protocol.h"
#include "platform.h"

namespace fwflash {

namespace {

// Line rates the tool accepts: the common serial rates up to 921600, and the
// non-standard rates some engines' boot code runs at.
constexpr uint32_t kBaudRates[] = {1200,   2400,   4800,   9600,   19200,  38400,  57600,
                                   115200, 230400, 256000, 260400, 460800, 921600};

// A flash driver travels in 1 to 255 blocks of 256 bytes.
constexpr uint64_t kDriverMinBytes = FLASH_BLOCK_SIZE;
constexpr uint64_t kDriverMaxBytes = 255 * FLASH_BLOCK_SIZE + (FLASH_BLOCK_SIZE - 1);

struct OptionSpec {
  const char* name;  // without the leading "--"
  std::string Options::*field;
  bool required;
};

constexpr OptionSpec kTextOptions[] = {
    {"port", &Options::port, false},
    {"engine", &Options::engine, true},
    {"driver", &Options::driver, true},
    {"image", &Options::image, true},
    {"psoc-driver", &Options::psoc_driver, false},
    {"psoc-image", &Options::psoc_image, false},
};

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// Every engine name the catalogue knows, sorted.
std::vector<std::string> KnownEngines() {
  std::vector<std::string> names;
  auto add = [&names](const wchar_t* wide) {
    std::string n = plat::Narrow(wide);
    for (const auto& have : names) {
      if (have == n) return;
    }
    names.push_back(n);
  };
  for (int i = 0; i < ScannerTypeTableCount; ++i) add(ScannerTypeTable[i].name);
  for (int i = 0; i < EngineLinkTableCount; ++i) add(EngineLinkTable[i].name);
  std::sort(names.begin(), names.end());
  return names;
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

std::string ErrorText(plat::ErrorCode code) {
  switch (code) {
    case plat::kErrNotFound: return "no such file";
    case plat::kErrAccessDenied: return "permission denied";
    case plat::kErrSharingViolation: return "held open by another program";
    default: return "error " + std::to_string(code);
  }
}

// "COM2", "com2:" -> "COM2:"; anything else is not a COM name.
bool NormaliseComName(const std::string& text, std::string* com) {
  std::string t = text;
  if (!t.empty() && t.back() == ':') t.pop_back();
  if (t.size() < 4 || !EqualsIgnoreCase(t.substr(0, 3), "COM")) return false;
  for (size_t i = 3; i < t.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(t[i]))) return false;
  }
  *com = "COM" + t.substr(3) + ":";
  return true;
}

// A file name as the protocol will open it: a path starting with a backslash
// is a device path (under the device root); anything else is a host path,
// made absolute against the current folder.
std::string ProtocolPath(const std::string& given) {
  if (!given.empty() && given[0] == '\\') return given;
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(given, ec);
  return ec ? given : abs.lexically_normal().string();
}

// Checks that a file can be read and returns its size.
bool CheckReadable(const char* what, const std::string& path, uint64_t* size, std::string* error) {
  std::wstring wide = plat::Widen(path);
  if (plat::DirectoryExists(wide.c_str())) {
    *error = std::string("cannot read ") + what + " '" + path + "': it is a folder";
    return false;
  }
  plat::UniqueHandle file(plat::OpenFile(wide.c_str(), plat::kAccessRead, plat::kShareRead,
                                         plat::Disposition::kOpenExisting));
  if (!file.valid()) {
    *error = std::string("cannot read ") + what + " '" + path + "': " + ErrorText(plat::LastError());
    return false;
  }
  if (!plat::FileSize(file.get(), size)) {
    *error = std::string("cannot read ") + what + " '" + path + "': " + ErrorText(plat::LastError());
    return false;
  }
  return true;
}

bool CheckDriver(const char* what, const std::string& path, std::string* error) {
  uint64_t size = 0;
  if (!CheckReadable(what, path, &size, error)) return false;
  if (size < kDriverMinBytes || size > kDriverMaxBytes) {
    *error = std::string(what) + " '" + path + "' has " + std::to_string(size) +
             " bytes; a flash driver has " + std::to_string(kDriverMinBytes) + " to " +
             std::to_string(kDriverMaxBytes) + " bytes";
    return false;
  }
  return true;
}

bool CheckImage(const char* what, const std::string& path, std::string* error) {
  uint64_t size = 0;
  if (!CheckReadable(what, path, &size, error)) return false;
  if (size == 0) {
    *error = std::string(what) + " '" + path + "' is empty";
    return false;
  }
  return true;
}

bool ParseBaud(const std::string& text, uint32_t* baud, std::string* error) {
  bool digits = !text.empty() && text.size() <= 9;
  for (char c : text) digits = digits && std::isdigit(static_cast<unsigned char>(c));
  uint32_t value = digits ? static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10)) : 0;
  for (uint32_t rate : kBaudRates) {
    if (rate == value) {
      *baud = value;
      return true;
    }
  }
  std::string rates;
  for (uint32_t rate : kBaudRates) rates += (rates.empty() ? "" : " ") + std::to_string(rate);
  *error = "unsupported baud rate '" + text + "'; use one of: " + rates;
  return false;
}

// Settles the engine name and the port and rate defaults from the catalogue.
bool ResolveEngine(Options* o, std::string* error) {
  const std::vector<std::string> known = KnownEngines();
  std::string canonical;
  for (const auto& n : known) {
    if (EqualsIgnoreCase(n, o->engine)) canonical = n;
  }
  if (canonical.empty()) {
    *error = "unknown engine '" + o->engine + "'; known engines: " + JoinNames(known);
    return false;
  }
  o->engine = canonical;
  uint32_t table_baud = 0;
  const wchar_t* table_port = nullptr;
  std::wstring wide = plat::Widen(canonical);
  if (!FindEngineLink(wide.c_str(), &table_baud, &table_port)) {
    // Link detection accepts an answer only from an engine with a catalogue row.
    *error = "engine " + canonical +
             " has no link settings in the engine catalogue, so link detection accepts no answer from it";
    return false;
  }
  if (o->port.empty()) {
    o->port = plat::Narrow(table_port);
    o->port_defaulted = true;
  }
  if (o->baud == 0) {
    o->baud = table_baud;
    o->baud_defaulted = true;
  }
  return true;
}

// The port must exist; it is not opened here.
bool ResolvePort(Options* o, std::string* error) {
  std::string com;
  std::string host;
  if (NormaliseComName(o->port, &com)) {
    o->port = com;
    host = plat::HostPath(com.c_str());
  } else {
    o->port = ProtocolPath(o->port);
    host = plat::HostPath(o->port.c_str());
  }
  std::error_code ec;
  if (!std::filesystem::exists(host, ec)) {
    *error = "port " + o->port + " not found (" + host + " does not exist" +
             (std::filesystem::is_symlink(host, ec) ? " or links to a tty that is gone" : "") + ")";
    return false;
  }
  return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  std::string baud_text;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      o->help = true;
      return true;
    }
    if (arg.rfind("--", 0) != 0) {
      *error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string name = arg.substr(2);
    std::string value;
    bool has_value = false;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      has_value = true;
    }
    std::string* target = name == "baud" ? &baud_text : nullptr;
    for (const OptionSpec& spec : kTextOptions) {
      if (name == spec.name) target = &(o->*spec.field);
    }
    if (target == nullptr) {
      *error = "unknown option '--" + name + "'";
      return false;
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        *error = "option --" + name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (value.empty()) {
      *error = "option --" + name + " needs a value";
      return false;
    }
    *target = value;
  }

  for (const OptionSpec& spec : kTextOptions) {
    if (spec.required && (o->*spec.field).empty()) {
      *error = std::string("option --") + spec.name + " is required";
      return false;
    }
  }
  if (o->psoc_driver.empty() != o->psoc_image.empty()) {
    *error = "--psoc-driver and --psoc-image go together: give both or neither";
    return false;
  }
  if (!baud_text.empty() && !ParseBaud(baud_text, &o->baud, error)) return false;
  if (!ResolveEngine(o, error)) return false;

  for (std::string* path : {&o->driver, &o->image, &o->psoc_driver, &o->psoc_image}) {
    if (!path->empty()) *path = ProtocolPath(*path);
  }
  if (!CheckDriver("driver file", o->driver, error) || !CheckImage("image file", o->image, error)) return false;
  if (!o->psoc_driver.empty() &&
      (!CheckDriver("co-processor driver file", o->psoc_driver, error) ||
       !CheckImage("co-processor image file", o->psoc_image, error))) {
    return false;
  }
  return ResolvePort(o, error);
}

std::string UsageText() {
  return
      "Usage: fwflash --engine NAME --driver FILE --image FILE [--port PORT] [--baud RATE]\n"
      "               [--psoc-driver FILE --psoc-image FILE]\n"
      "\n"
      "Flashes new firmware into a scan engine on the bench. The engine must already be\n"
      "in download mode (its boot code listening) and wired to the serial port.\n"
      "\n"
      "Options (a value follows the option, or is joined to it with '='):\n"
      "  --engine NAME        engine model: " + JoinNames(KnownEngines()) + " (case ignored).\n"
      "                       It must have a row in the engine catalogue (QA71, QE86, QF27),\n"
      "                       since link detection accepts only the answers listed there.\n"
      "  --driver FILE        the engine's flash driver (256 to 65535 bytes).\n"
      "  --image FILE         the scanner firmware: a .bin file with a board table, or a raw image.\n"
      "  --port PORT          a COM name of the device root (COM2:, the colon optional), which\n"
      "                       is a link to a tty, or a host tty path (/dev/ttyUSB0).\n"
      "                       Default: the engine's port in the catalogue (COM2:, QF27: COM7:).\n"
      "  --baud RATE          line rate: 1200 2400 4800 9600 19200 38400 57600 115200 230400\n"
      "                       256000 260400 460800 921600. Default: the engine's rate in the catalogue\n"
      "                       (115200, QF27: 460800).\n"
      "  --psoc-driver FILE   co-processor (PSoC) driver; together with --psoc-image it makes\n"
      "  --psoc-image FILE    the co-processor phase run before the scanner phase.\n"
      "  -h, --help           this text.\n"
      "\n"
      "FILE is a host path (relative to the current folder) or, starting with a backslash,\n"
      "a path on the device root. The device root is $FLASHWRIGHT_ROOT (default ~/.flashwright);\n"
      "every run leaves its trace log in \"\\My Documents\\flwright.log\" and its results record\n"
      "in \"\\My Documents\\KPXResults.xml\" there (the folder is created if missing).\n"
      "\n"
      "Progress: on a terminal a progress bar; otherwise plain lines (no carriage returns): each\n"
      "status text, and the write progress once per tenth of the image.\n"
      "\n"
      "Exit status:\n"
      "  0   the upgrade succeeded (the firmware version read back is printed)\n"
      "  1   the upgrade failed: port not opened, driver download, erase, write, version\n"
      "      read-back, an unreadable firmware header, or a failed co-processor phase\n"
      "  2   the engine's board is not in the image's board table (nothing erased)\n"
      "  4   the protocol found a required argument missing\n"
      "  5   link detection failed: the engine gave no answer, or one the catalogue does not\n"
      "      accept for this engine (wrong engine, or not in download mode)\n"
      "  64  bad command line, unknown engine, unsupported rate, missing port, or a file that\n"
      "      cannot be used; nothing was sent to the engine and no log was written\n";
}

}  // namespace fwflash
