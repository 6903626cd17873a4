// The registry: keys are handles that name a key; every operation reads the
// registry file afresh, since other processes (the simulator tool, an
// administrator's editor) may change it at any time. Changes are
// read-modify-write under an exclusive lock on "registry.reg.lock" and are
// saved atomically: the new text goes to "registry.reg.tmp", is flushed to
// the disk and renamed over the file, and the folder is flushed too, so a
// reader sees either the old file or the new one, whole.
//
// A value set on a key that another process has removed since it was opened
// brings the key back.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform_internal.h"
#include "registry_format.h"

namespace plat {
namespace {

using detail::RegDocument;
using detail::RegKey;
using detail::RegParseError;
using detail::RegValue;

constexpr const char* kRegistryFileName = "registry.reg";
constexpr const char* kLockSuffix = ".lock";
constexpr const char* kTempSuffix = ".tmp";

class RegistryKeyObject final : public detail::HandleObject {
 public:
  RegistryKeyObject(RootKey root, std::wstring path) : root_(root), path_(std::move(path)) {}
  detail::HandleKind kind() const override { return detail::HandleKind::kRegistryKey; }
  RootKey root() const { return root_; }
  const std::wstring& path() const { return path_; }

 private:
  const RootKey root_;
  const std::wstring path_;  // below the root, without leading or trailing '\'
};

std::mutex g_load_error_mutex;
std::string g_load_error;

bool Fail(ErrorCode code) {
  SetLastErrorCode(code);
  return false;
}

bool FailFromErrno(int host_errno) {
  detail::SetLastErrorFromErrno(host_errno);
  return false;
}

bool IsKnownRoot(RootKey root) {
  switch (root) {
    case RootKey::kLocalMachine:
    case RootKey::kCurrentUser:
    case RootKey::kClassesRoot:
    case RootKey::kUsers:
      return true;
  }
  return false;
}

// The key path as stored: one leading and one trailing '\' dropped.
bool NormalizeKeyPath(const wchar_t* subkey, std::wstring* out) {
  std::wstring_view path = subkey != nullptr ? subkey : L"";
  if (!path.empty() && path.front() == L'\\') path.remove_prefix(1);
  if (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
  if (!path.empty() && !detail::RegKeyPathWritable(path)) return false;
  *out = std::wstring(path);
  return true;
}

std::shared_ptr<RegistryKeyObject> LookupKey(Handle key) {
  return detail::LookupAs<RegistryKeyObject>(key, detail::HandleKind::kRegistryKey);
}

// Reads the whole file; a missing file reads as empty, *exists false.
bool ReadWholeFile(const std::string& path, std::string* bytes, bool* exists) {
  bytes->clear();
  *exists = false;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? true : FailFromErrno(errno);
  *exists = true;
  char chunk[16384];
  while (true) {
    const ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int saved = errno;
      close(fd);
      return FailFromErrno(saved);
    }
    if (n == 0) break;
    bytes->append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

void ReportMalformed(const std::string& path, const RegParseError& error) {
  const std::string text = path + ":" + std::to_string(error.line) + ": " + error.reason;
  {
    std::lock_guard<std::mutex> lock(g_load_error_mutex);
    g_load_error = text;
  }
  DebugOutput((L"Registry - ERROR malformed registry file " + Widen(text) + L"\r\n").c_str());
}

// The registry as the file holds it now. Fails with kErrBadFormat when the
// file is malformed.
bool LoadRegistry(const std::string& path, RegDocument* doc) {
  std::string bytes;
  bool exists = false;
  if (!ReadWholeFile(path, &bytes, &exists)) return false;
  *doc = RegDocument();
  if (!exists) return true;
  RegParseError error;
  if (!detail::ParseRegistryText(bytes, doc, &error)) {
    ReportMalformed(path, error);
    return Fail(kErrBadFormat);
  }
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The rename is in place once this returns; a folder that cannot be flushed
// only weakens durability, so it is not a failure.
void SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Replaces the file with bytes so that no reader ever sees a partial file.
bool SaveAtomically(const std::string& folder, const std::string& path, const std::string& bytes) {
  const std::string temp = path + kTempSuffix;
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return FailFromErrno(errno);
  int failure = 0;  // the first host error
  struct stat old_stat {};
  if (stat(path.c_str(), &old_stat) == 0 && fchmod(fd, old_stat.st_mode & 07777) != 0)
    failure = errno;
  if (failure == 0 && !WriteAll(fd, bytes)) failure = errno;
  if (failure == 0 && fsync(fd) != 0) failure = errno;
  if (close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && rename(temp.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    unlink(temp.c_str());
    return FailFromErrno(failure);
  }
  SyncFolder(folder);
  return true;
}

// Holds an exclusive lock on the registry's lock file while it lives.
class RegistryLock {
 public:
  RegistryLock() = default;
  ~RegistryLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

  bool Acquire(const std::string& lock_path) {
    fd_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return FailFromErrno(errno);
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) return FailFromErrno(errno);
    }
    return true;
  }

 private:
  int fd_ = -1;
};

// Read-modify-write: edit(doc, &save) changes the document, or fails with the
// last error set; the file is saved when it asks to. A malformed file is
// never saved over.
template <class Edit>
bool ModifyRegistry(Edit edit) {
  const std::string folder = DeviceRoot();
  const std::string path = RegistryFilePath();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) return FailFromErrno(ec.value());
  RegistryLock lock;
  if (!lock.Acquire(path + kLockSuffix)) return false;
  RegDocument doc;
  if (!LoadRegistry(path, &doc)) return false;
  bool save = true;
  if (!edit(doc, &save)) return false;
  return !save || SaveAtomically(folder, path, detail::RenderRegistryText(doc));
}

}  // namespace

std::string RegistryFilePath() { return DeviceRoot() + "/" + kRegistryFileName; }

std::string RegistryLoadError() {
  std::lock_guard<std::mutex> lock(g_load_error_mutex);
  return g_load_error;
}

bool RegistryOpenKey(RootKey root, const wchar_t* subkey, bool create, Handle* key) {
  if (key == nullptr) return Fail(kErrInvalidParameter);
  *key = kInvalidHandle;
  std::wstring path;
  if (!IsKnownRoot(root) || !NormalizeKeyPath(subkey, &path)) return Fail(kErrInvalidParameter);
  RegDocument doc;
  if (!LoadRegistry(RegistryFilePath(), &doc)) return false;
  if (!doc.KeyExists(root, path)) {
    if (!create) return Fail(kErrNotFound);
    const bool made = ModifyRegistry([&](RegDocument& locked, bool* save) {
      *save = !locked.KeyExists(root, path);
      if (*save) locked.AddKey(root, path);
      return true;
    });
    if (!made) return false;
  }
  *key = detail::RegisterHandle(std::make_shared<RegistryKeyObject>(root, std::move(path)));
  return *key != kInvalidHandle;
}

bool RegistryQueryValue(Handle key, const wchar_t* name, uint32_t* type, void* data,
                        uint32_t* size) {
  const auto object = LookupKey(key);
  if (object == nullptr) return false;
  if (data != nullptr && size == nullptr) return Fail(kErrInvalidParameter);
  RegDocument doc;
  if (!LoadRegistry(RegistryFilePath(), &doc)) return false;
  RegKey* found_key = doc.FindKey(object->root(), object->path());
  const RegValue* value =
      found_key != nullptr ? found_key->FindValue(name != nullptr ? name : L"") : nullptr;
  if (value == nullptr) return Fail(kErrNotFound);
  const auto needed = static_cast<uint32_t>(value->data.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return Fail(kErrBufferTooSmall);
  }
  if (type != nullptr) *type = value->type;
  if (data != nullptr && needed > 0) std::memcpy(data, value->data.data(), needed);
  if (size != nullptr) *size = needed;
  return true;
}

bool RegistrySetValue(Handle key, const wchar_t* name, uint32_t type, const void* data,
                      uint32_t size) {
  const auto object = LookupKey(key);
  if (object == nullptr) return false;
  const std::wstring_view value_name = name != nullptr ? name : L"";
  if (!detail::RegValueNameWritable(value_name) || !detail::RegDataWritable(type, data, size)) {
    return Fail(kErrInvalidParameter);
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::vector<uint8_t> stored(bytes, bytes + (data != nullptr ? size : 0));
  return ModifyRegistry([&](RegDocument& doc, bool*) {
    doc.AddKey(object->root(), object->path()).SetValue(value_name, type, std::move(stored));
    return true;
  });
}

bool RegistryDeleteValue(Handle key, const wchar_t* name) {
  const auto object = LookupKey(key);
  if (object == nullptr) return false;
  const std::wstring_view value_name = name != nullptr ? name : L"";
  return ModifyRegistry([&](RegDocument& doc, bool*) {
    RegKey* found = doc.FindKey(object->root(), object->path());
    return (found != nullptr && found->RemoveValue(value_name)) || Fail(kErrNotFound);
  });
}

}  // namespace plat
