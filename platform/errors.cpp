// The thread's last-error value and the one translation of host errno values
// into platform error values.
#include <cerrno>

#include "platform_internal.h"

namespace plat {

namespace {
thread_local ErrorCode t_last_error = kErrNone;
}  // namespace

ErrorCode LastError() { return t_last_error; }

void SetLastErrorCode(ErrorCode code) { t_last_error = code; }

namespace detail {

ErrorCode ErrorFromErrno(int host_errno) {
  switch (host_errno) {
    case 0:
      // A call failed without leaving a host error: still a failure.
      return kErrIo;
    case EWOULDBLOCK:  // a lock held by another open (flock with LOCK_NB)
      return kErrSharingViolation;
    case ENOTDIR:  // a component of the path is not a folder
    case ENODEV:
    case ENXIO:
      return kErrNotFound;
    case EPERM:
    case EROFS:
    case EISDIR:
      return kErrAccessDenied;
    case ETIME:
      return kErrTimeout;
    case ENOSYS:
    case ENOTTY:
      return kErrNotSupported;
    default:
      // The named values are errno numbers themselves.
      return static_cast<ErrorCode>(host_errno);
  }
}

void SetLastErrorFromErrno(int host_errno) { t_last_error = ErrorFromErrno(host_errno); }

bool HandleObject::Read(void*, uint32_t, uint32_t* done) {
  if (done) *done = 0;
  SetLastErrorCode(kErrInvalidHandle);
  return false;
}

bool HandleObject::Write(const void*, uint32_t, uint32_t* done) {
  if (done) *done = 0;
  SetLastErrorCode(kErrInvalidHandle);
  return false;
}

}  // namespace detail
}  // namespace plat
