// Lays out a simulated handheld's device root: the folders the program uses,
// an empty registry and the simulated outside libraries.
#include <strings.h>

#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "simulator.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

const char kRegistryFile[] = "registry.reg";
const char kEmptyRegistry[] = "Windows Registry Editor Version 5.00\r\n\r\n";
const char* const kFolders[] = {"My Documents", "Windows"};
const char kLibrariesFolder[] = "Windows";

bool Fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

std::string Describe(const std::error_code& ec) { return ec.message(); }

// The entry of `folder` whose name matches `name` case-insensitively, as the
// handheld's file system (and the platform layer) sees names; `folder/name`
// when there is none.
fs::path MatchNoCase(const fs::path& folder, const std::string& name) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (strcasecmp(it->path().filename().c_str(), name.c_str()) == 0) return it->path();
  }
  return folder / name;
}

bool IsLibrary(const fs::directory_entry& entry) {
  const std::string ext = entry.path().extension().string();
  std::error_code ec;
  return strcasecmp(ext.c_str(), ".dll") == 0 && entry.is_regular_file(ec);
}

// Copies a library in beside its final name and renames it over the old copy,
// so that a process that has the old one loaded keeps an intact mapping.
bool InstallLibrary(const fs::path& from, const fs::path& to, std::string* error) {
  fs::path temporary = to;
  temporary += ".new";
  std::error_code ec;
  fs::copy_file(from, temporary, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::rename(temporary, to, ec);
  if (ec) {
    fs::remove(temporary, ec);
    return Fail(error, "cannot install " + from.string() + " as " + to.string() + ": " + Describe(ec));
  }
  return true;
}

}  // namespace

bool CreateDeviceRoot(const std::string& root, const std::string& library_dir, std::string* error) {
  if (root.empty()) return Fail(error, "no device root given");
  // The libraries first, so that a wrong library folder changes nothing.
  std::error_code ec;
  if (!fs::is_directory(library_dir, ec)) {
    return Fail(error, "no simulated libraries: " + library_dir + " is not a folder (build the sim_eventlog target)");
  }
  std::vector<fs::path> libraries;
  for (fs::directory_iterator it(library_dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (IsLibrary(*it)) libraries.push_back(it->path());
  }
  if (ec) return Fail(error, "cannot list " + library_dir + ": " + Describe(ec));
  if (libraries.empty()) return Fail(error, "no simulated libraries (*.dll) in " + library_dir);

  fs::create_directories(root, ec);
  if (ec || !fs::is_directory(root, ec)) {
    return Fail(error, "cannot create the device root " + root + (ec ? ": " + Describe(ec) : ": not a folder"));
  }
  for (const char* name : kFolders) {
    const fs::path folder = MatchNoCase(root, name);
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder, ec)) {
      return Fail(error, "cannot create " + folder.string() + (ec ? ": " + Describe(ec) : ": not a folder"));
    }
  }

  const fs::path registry = MatchNoCase(root, kRegistryFile);
  if (!fs::exists(registry, ec)) {
    std::ofstream out(registry, std::ios::binary);
    out << kEmptyRegistry;
    out.close();
    if (!out) return Fail(error, "cannot write " + registry.string());
  }

  const fs::path windows = MatchNoCase(root, kLibrariesFolder);
  for (const fs::path& library : libraries) {
    if (!InstallLibrary(library, MatchNoCase(windows, library.filename().string()), error)) return false;
  }
  return true;
}

}  // namespace sim
