// Outside libraries: ELF shared objects kept in the device root under their
// .dll names, loaded by bare name from "\\Windows", by device or host path.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cwchar>

#include "platform_internal.h"

namespace plat {

namespace {

bool IsBareName(const std::wstring& name) { return name.find_first_of(L"\\/") == std::wstring::npos; }

bool IsFile(const std::string& host) {
  struct stat st{};
  return ::stat(host.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The host file for a library name, or "" when there is none.
std::string LocateModule(const std::wstring& name) {
  if (!IsBareName(name)) {
    std::string host = HostPath(name.c_str());
    return IsFile(host) ? host : std::string();
  }
  std::wstring in_windows = L"\\Windows\\" + name;
  std::string host = HostPath(in_windows.c_str());
  if (IsFile(host)) return host;
  // Like the handheld's loader, a bare name without an extension means a .dll.
  if (name.find(L'.') == std::wstring::npos) {
    host = HostPath((in_windows + L".dll").c_str());
    if (IsFile(host)) return host;
  }
  return {};
}

}  // namespace

ModuleHandle LoadModule(const wchar_t* name) {
  if (name == nullptr || name[0] == L'\0') {
    SetLastErrorCode(kErrInvalidParameter);
    return nullptr;
  }
  std::string host = LocateModule(name);
  if (host.empty()) {
    SetLastErrorCode(kErrNotFound);
    return nullptr;
  }
  void* module = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    // The loader's reason names the host file.
    std::wstring text = std::wstring(L"LoadModule - ERROR loading ") + name + L": " +
                        Widen(why != nullptr ? why : host.c_str()) + L"\r\n";
    DebugOutput(text.c_str());
    SetLastErrorCode(kErrBadFormat);
    return nullptr;
  }
  return module;
}

void* FindExport(ModuleHandle module, const char* name) {
  if (module == nullptr || name == nullptr) {
    SetLastErrorCode(module == nullptr ? kErrInvalidHandle : kErrInvalidParameter);
    return nullptr;
  }
  dlerror();
  void* address = dlsym(module, name);
  if (address == nullptr) {
    SetLastErrorCode(kErrNotFound);
    return nullptr;
  }
  return address;
}

bool ReleaseModule(ModuleHandle module) {
  if (module == nullptr) {
    SetLastErrorCode(kErrInvalidHandle);
    return false;
  }
  if (dlclose(module) != 0) {
    SetLastErrorCode(kErrInvalidHandle);
    return false;
  }
  return true;
}

}  // namespace plat
