// Files behind handles, with the handheld's sharing rule: a no-sharing open
// excludes every other open of the file, from this process or another. The
// rule rides on flock(), whose locks belong to the open file description, so
// two opens within one process conflict just as two processes do.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform_internal.h"

namespace plat {

namespace {

class FileObject : public detail::HandleObject {
 public:
  FileObject(int fd, uint32_t access) : fd_(fd), access_(access) {}
  // The descriptor (and with it the lock) goes when the last reference does:
  // CloseHandle drops the table's, a Read running on another thread its own.
  ~FileObject() override { ::close(fd_); }
  detail::HandleKind kind() const override { return detail::HandleKind::kFile; }

  bool Read(void* buffer, uint32_t size, uint32_t* done) override {
    if ((access_ & kAccessRead) == 0) return Denied();
    auto* bytes = static_cast<char*>(buffer);
    while (*done < size) {
      ssize_t n = ::read(fd_, bytes + *done, size - *done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Failed();
      if (n == 0) break;  // end of file: success with fewer bytes
      *done += static_cast<uint32_t>(n);
    }
    return true;
  }

  bool Write(const void* buffer, uint32_t size, uint32_t* done) override {
    if ((access_ & kAccessWrite) == 0) return Denied();
    const auto* bytes = static_cast<const char*>(buffer);
    while (*done < size) {
      ssize_t n = ::write(fd_, bytes + *done, size - *done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Failed();  // 0: nothing moves, e.g. a full disk
      *done += static_cast<uint32_t>(n);
    }
    return true;
  }

  int fd() const { return fd_; }

 private:
  static bool Denied() {
    SetLastErrorCode(kErrAccessDenied);
    return false;
  }
  static bool Failed() {
    detail::SetLastErrorFromErrno(errno);
    return false;
  }

  const int fd_;
  const uint32_t access_;
};

int OpenFlags(uint32_t access) {
  int flags = O_CLOEXEC | O_NOCTTY;
  bool read = (access & kAccessRead) != 0;
  bool write = (access & kAccessWrite) != 0;
  if (read && write) return flags | O_RDWR;
  if (write) return flags | O_WRONLY;
  return flags | O_RDONLY;  // read access, or none (a query open)
}

// Opens the file as the disposition says, without truncating. *created tells
// whether this call made the file, so that a later failure can take it back.
int OpenForDisposition(const std::string& path, int flags, Disposition disposition, bool* created) {
  constexpr mode_t kMode = 0666;
  *created = false;
  if (disposition == Disposition::kCreateNew) {
    int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, kMode);
    *created = fd >= 0;
    return fd;
  }
  if (disposition == Disposition::kOpenExisting) return ::open(path.c_str(), flags);
  // Open-or-create: tell apart who created the file, retrying if the file
  // appears or vanishes between the two attempts.
  for (;;) {
    int fd = ::open(path.c_str(), flags);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, kMode);
    if (fd >= 0) {
      *created = true;
      return fd;
    }
    if (errno != EEXIST) return fd;
  }
}

// Undoes a failed open: closes it, removes a file this call created, and
// leaves the host error of the failure as the last error.
Handle AbandonOpen(int fd, const std::string& path, bool created, int host_errno) {
  ::close(fd);
  if (created) ::unlink(path.c_str());
  detail::SetLastErrorFromErrno(host_errno);
  return kInvalidHandle;
}

// Whether the path names an existing folder (want_directory) or an existing
// entry that is not a folder.
bool PathIsA(const wchar_t* path, bool want_directory) {
  if (path == nullptr) {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  struct stat st{};
  if (::stat(HostPath(path).c_str(), &st) != 0) {
    detail::SetLastErrorFromErrno(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode) != want_directory) {
    SetLastErrorCode(kErrNotFound);
    return false;
  }
  return true;
}

}  // namespace

Handle OpenFile(const wchar_t* path, uint32_t access, uint32_t share, Disposition disposition) {
  if (path == nullptr || path[0] == L'\0') {
    SetLastErrorCode(kErrInvalidParameter);
    return kInvalidHandle;
  }
  std::string host = HostPath(path);
  bool created = false;
  int fd = OpenForDisposition(host, OpenFlags(access), disposition, &created);
  if (fd < 0) {
    detail::SetLastErrorFromErrno(errno);
    return kInvalidHandle;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0) return AbandonOpen(fd, host, created, errno);
  if (S_ISDIR(st.st_mode)) return AbandonOpen(fd, host, created, EACCES);
  // The lock comes before any truncation, so a refused open changes nothing.
  int lock = (share == kShareNone) ? LOCK_EX : LOCK_SH;
  int r;
  while ((r = ::flock(fd, lock | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (r != 0) return AbandonOpen(fd, host, created, errno);
  if (disposition == Disposition::kCreateAlways && !created && st.st_size > 0 &&
      ::ftruncate(fd, 0) != 0) {
    return AbandonOpen(fd, host, false, errno);
  }
  Handle h = detail::RegisterHandle(std::make_shared<FileObject>(fd, access));
  if (h != kInvalidHandle) {
    bool existed = !created && disposition != Disposition::kOpenExisting;
    SetLastErrorCode(existed ? kErrAlreadyExists : kErrNone);
  }
  return h;
}

bool Seek(Handle h, int64_t offset, SeekFrom from, uint64_t* new_position) {
  auto file = detail::LookupAs<FileObject>(h, detail::HandleKind::kFile);
  if (!file) return false;
  int whence = from == SeekFrom::kBegin ? SEEK_SET : from == SeekFrom::kCurrent ? SEEK_CUR : SEEK_END;
  off_t pos = ::lseek(file->fd(), static_cast<off_t>(offset), whence);
  if (pos < 0) {
    detail::SetLastErrorFromErrno(errno);
    return false;
  }
  if (new_position != nullptr) *new_position = static_cast<uint64_t>(pos);
  return true;
}

bool FileSize(Handle h, uint64_t* size) {
  auto file = detail::LookupAs<FileObject>(h, detail::HandleKind::kFile);
  if (!file) return false;
  struct stat st{};
  if (size == nullptr) {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  if (::fstat(file->fd(), &st) != 0) {
    detail::SetLastErrorFromErrno(errno);
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool FileExists(const wchar_t* path) { return PathIsA(path, false); }

bool DirectoryExists(const wchar_t* path) { return PathIsA(path, true); }

bool CreateDirectories(const wchar_t* path) {
  if (path == nullptr || path[0] == L'\0') {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  std::string host = HostPath(path);
  // Each prefix ending before a slash, then the whole path.
  for (size_t end = host.find('/', 1);; end = host.find('/', end + 1)) {
    std::string prefix = host.substr(0, end);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0) {
      int err = errno;
      struct stat st{};
      if (err != EEXIST || ::stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        detail::SetLastErrorFromErrno(err);  // a file in the way: kErrAlreadyExists
        return false;
      }
    }
    if (end == std::string::npos) return true;
  }
}

bool DeleteFileAt(const wchar_t* path) {
  if (path == nullptr || path[0] == L'\0') {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  std::string host = HostPath(path);
  // As on the handheld, a file that someone holds open cannot be deleted.
  int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    struct stat st{};
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      ::close(fd);
      SetLastErrorCode(kErrSharingViolation);
      return false;
    }
  }
  int r = ::unlink(host.c_str());
  int err = errno;
  if (fd >= 0) ::close(fd);
  if (r != 0) {
    detail::SetLastErrorFromErrno(err);
    return false;
  }
  return true;
}

}  // namespace plat
