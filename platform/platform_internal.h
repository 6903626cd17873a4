// Shared plumbing of the platform layer: the handle table, the one place where
// host errors become platform error values, and the clock's descriptor wait.
// Private to platform/.
#pragma once

#include <poll.h>

#include <cstdint>
#include <memory>

#include "platform.h"

namespace plat::detail {

// --- errors ---------------------------------------------------------------

// Translates a host errno value into the platform's error value and stores it
// as the thread's last error. The only place that maps host errors.
void SetLastErrorFromErrno(int host_errno);
ErrorCode ErrorFromErrno(int host_errno);

// --- handles --------------------------------------------------------------

enum class HandleKind { kFile, kSerialPort, kPtyMaster, kRegistryKey };

// An object behind a handle. Operations a kind does not support fail with
// kErrInvalidHandle.
class HandleObject {
 public:
  virtual ~HandleObject() = default;
  virtual HandleKind kind() const = 0;
  virtual bool Read(void* buffer, uint32_t size, uint32_t* done);
  virtual bool Write(const void* buffer, uint32_t size, uint32_t* done);
  // Called once when the handle is closed; the object may live on a little
  // while another thread still holds a reference from LookupHandle.
  virtual bool Close() { return true; }
};

// Adds an object to the table and returns its new handle (never kNoHandle or
// kInvalidHandle). Handle values are small multiples of 4.
Handle RegisterHandle(std::shared_ptr<HandleObject> object);
// The object behind a handle, or nullptr with kErrInvalidHandle. Does not
// allocate.
std::shared_ptr<HandleObject> LookupHandle(Handle h);
// The object behind a handle if it is of the given kind, else nullptr with
// kErrInvalidHandle.
std::shared_ptr<HandleObject> LookupHandle(Handle h, HandleKind kind);
template <class T>
std::shared_ptr<T> LookupAs(Handle h, HandleKind kind) {
  return std::static_pointer_cast<T>(LookupHandle(h, kind));
}

// --- clock ----------------------------------------------------------------

// Waits until one of the descriptors is ready or `timeout_ms` has passed on
// the current clock (real or virtual); kInfiniteWait waits without limit.
// Returns the number of ready descriptors (revents filled in), 0 on timeout,
// -1 on a host error (last error set). EINTR is retried. Under a virtual clock
// a waiter whose deadline comes first is woken by virtual time moving on.
constexpr uint32_t kInfiniteWait = 0xFFFFFFFFu;
int WaitForDescriptors(pollfd* fds, int count, uint32_t timeout_ms);

// Bytes written into a serial line (a port or a pseudo-terminal) that no
// reader of this process has taken yet, counted per line. A pseudo-terminal
// hands written data to its reader a moment later, from a kernel worker; until
// then neither side looks ready. Virtual time does not move while bytes are in
// flight on any line, unless the count has not changed for a while (data
// nobody reads).
struct LineTraffic;
// The counter of one line, shared by both of its ends (line_id: the device
// number of the tty, the slave's for a pseudo-terminal).
std::shared_ptr<LineTraffic> LineTrafficFor(uint64_t line_id);
void NoteLineBytesWritten(LineTraffic* line, uint32_t count);
void NoteLineBytesTaken(LineTraffic* line, uint32_t count);
// An end of the line was closed: what is still in flight will not be read.
void ForgetLineBytes(LineTraffic* line);

}  // namespace plat::detail
