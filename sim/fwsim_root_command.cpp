// fwsim root: lays out a simulated handheld's device root.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "fwsim_commands.h"
#include "platform.h"
#include "simulator.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kRootUsage[] =
    "usage: fwsim root [--root DIR] [--libs DIR]\n"
    "\n"
    "Lays out a simulated handheld's device root: the folders \"My Documents\" and\n"
    "\"Windows\", an empty registry (registry.reg) unless one exists, and the\n"
    "simulated outside libraries (*.dll) copied into \"Windows\". Existing files\n"
    "other than those libraries are kept, so running it again is safe.\n"
    "\n"
    "  --root DIR   the device root (default: $FLASHWRIGHT_ROOT, else ~/.flashwright)\n"
    "  --libs DIR   where the built simulated libraries are\n"
    "               (default: " FLASHWRIGHT_SIMLIB_DIR ")\n"
    "  --help       this text\n";

struct RootOptions {
  std::string root;
  std::string libs = FLASHWRIGHT_SIMLIB_DIR;
};

int UsageError(const char* what, const char* arg) {
  fprintf(stderr, "fwsim root: %s%s (see fwsim root --help)\n", what, arg);
  return kExitUsage;
}

// Reads "--name VALUE" or "--name=VALUE" at argv[*i]; false if argv[*i] is
// not that option. A missing value is reported through *missing.
bool TakeValue(const char* name, int argc, char** argv, int* i, std::string* value, bool* missing) {
  const size_t length = strlen(name);
  const char* arg = argv[*i];
  if (strncmp(arg, name, length) != 0) return false;
  if (arg[length] == '=') {
    *value = arg + length + 1;
  } else if (arg[length] != '\0') {
    return false;
  } else if (*i + 1 < argc) {
    *value = argv[++*i];
  } else {
    *missing = true;
    return true;
  }
  *missing = value->empty();
  return true;
}

// Whether `folder` holds an entry named `name`, ignoring case as the
// handheld does.
bool HasEntry(const fs::path& folder, const char* name) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (strcasecmp(it->path().filename().c_str(), name) == 0) return true;
  }
  return false;
}

std::vector<std::string> LibraryNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (strcasecmp(it->path().extension().c_str(), ".dll") == 0 && it->is_regular_file(type_ec)) {
      names.push_back(it->path().filename().string());
    }
  }
  return names;
}

}  // namespace

int FwsimRootCommand(int argc, char** argv) {
  RootOptions options;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    bool missing = false;
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      fputs(kRootUsage, stdout);
      return kExitOk;
    }
    if (TakeValue("--root", argc, argv, &i, &options.root, &missing) ||
        TakeValue("--libs", argc, argv, &i, &options.libs, &missing)) {
      if (missing) return UsageError("a folder must follow ", arg);
      continue;
    }
    return UsageError("unknown argument: ", arg);
  }

  if (options.root.empty()) options.root = plat::DeviceRoot();
  if (options.root.empty()) {
    fprintf(stderr, "fwsim root: no device root: set FLASHWRIGHT_ROOT or HOME, or pass --root DIR\n");
    return kExitFailed;
  }
  std::error_code ec;
  fs::path shown = fs::absolute(options.root, ec).lexically_normal();
  if (ec) shown = options.root;
  if (!shown.has_filename() && shown != shown.root_path()) shown = shown.parent_path();  // "dir/" -> "dir"

  struct Item {
    const char* name;
    bool existed;
  };
  Item items[] = {{"My Documents", false}, {"Windows", false}, {"registry.reg", false}};
  for (Item& item : items) item.existed = HasEntry(shown, item.name);

  std::string error;
  if (!sim::CreateDeviceRoot(shown.string(), options.libs, &error)) {
    fprintf(stderr, "fwsim root: %s\n", error.c_str());
    return kExitFailed;
  }

  printf("Device root %s\n", shown.c_str());
  for (const Item& item : items) printf("  %-30s %s\n", item.name, item.existed ? "kept" : "created");
  for (const std::string& name : LibraryNames(options.libs)) {
    printf("  %-30s installed\n", ("Windows/" + name).c_str());
  }
  if (plat::DeviceRoot() != shown.string()) {
    printf("Programs use it with: export FLASHWRIGHT_ROOT=\"%s\"\n", shown.c_str());
  }
  return kExitOk;
}
