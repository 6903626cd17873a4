// Device paths ("\\My Documents\\x.log") to host paths under the device root.
// The handheld's file system ignores case; the host's does not, so each
// component that exists is looked up case-insensitively.
#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cwctype>
#include <vector>

#include "paths_internal.h"

namespace plat {

namespace detail {

std::wstring FoldCase(const std::wstring& text) {
  std::wstring folded = text;
  for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return folded;
}

}  // namespace detail

namespace {

bool PathExists(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0;
}

// The entry of `folder` that matches `name`: the exact spelling if it exists,
// else the first entry that matches ignoring case (in directory order), else
// nothing.
bool FindComponent(const std::string& folder, const std::string& name, std::string* found) {
  std::string exact = folder + "/" + name;
  if (PathExists(exact)) {
    *found = name;
    return true;
  }
  DIR* dir = opendir(folder.empty() ? "/" : folder.c_str());
  if (dir == nullptr) return false;
  std::wstring wanted = detail::FoldCase(Widen(name));
  bool matched = false;
  while (dirent* entry = readdir(dir)) {
    std::string candidate = entry->d_name;
    if (candidate == "." || candidate == "..") continue;
    if (detail::FoldCase(Widen(candidate)) == wanted) {
      *found = candidate;
      matched = true;
      break;
    }
  }
  closedir(dir);
  return matched;
}

// Splits a device path into its components, dropping empty and "." ones and
// resolving ".." without ever climbing above the root.
std::vector<std::string> DeviceComponents(const std::string& device_path) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (char c : device_path) {
    if (c == '\\' || c == '/') {
      flush();
    } else {
      part += c;
    }
  }
  flush();
  return parts;
}

}  // namespace

std::string DeviceRoot() {
  std::string root;
  const char* env_root = std::getenv("FLASHWRIGHT_ROOT");
  if (env_root != nullptr && env_root[0] != '\0') {
    root = env_root;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      const passwd* pw = getpwuid(getuid());
      home = (pw != nullptr && pw->pw_dir != nullptr) ? pw->pw_dir : "/tmp";
    }
    root = std::string(home) + "/.flashwright";
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string HostPath(const char* device_path) {
  if (device_path == nullptr) return {};
  if (device_path[0] == '/') return device_path;
  std::string host = DeviceRoot();
  if (host == "/") host.clear();
  bool looking = true;  // until a component is missing, match existing ones
  for (const std::string& part : DeviceComponents(device_path)) {
    std::string actual = part;
    if (looking) looking = FindComponent(host, part, &actual);
    host += "/";
    host += actual;
  }
  return host.empty() ? "/" : host;
}

std::string HostPath(const wchar_t* device_path) {
  if (device_path == nullptr) return {};
  return HostPath(Narrow(device_path).c_str());
}

}  // namespace plat
