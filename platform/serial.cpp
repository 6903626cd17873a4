// Serial ports: exclusive opening by COM name or host path, timed reads and
// writes on the platform clock, purging, modem lines and their events. The
// same object serves a pseudo-terminal's master side (pty.cpp).
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "serial_internal.h"

namespace plat {
namespace detail {

namespace {

constexpr uint64_t kNoLimit = UINT64_MAX;
// How often the modem lines of a real port are looked at while waiting for a
// change (the lines have no descriptor to wait on).
constexpr uint32_t kModemPollMs = 5;

int NewEventFd() { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void Signal(int event_fd) {
  uint64_t one = 1;
  ssize_t rc;
  do {
    rc = ::write(event_fd, &one, sizeof one);
  } while (rc < 0 && errno == EINTR);
}

void Drain(int event_fd) {
  uint64_t count = 0;
  while (::read(event_fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

void CloseFd(int fd) {
  if (fd >= 0) ::close(fd);
}

// How a read of `size` bytes behaves under the port's timeouts.
struct ReadPlan {
  bool return_on_any = false;  // return as soon as some bytes are in
  uint64_t total_ms = kNoLimit;  // budget from the start of the read
  uint64_t interval_ms = kNoLimit;  // longest gap after a byte
};

ReadPlan PlanRead(const SerialTimeouts& t, uint32_t size) {
  ReadPlan plan;
  if (t.read_interval == kTimeoutAllBits && t.read_multiplier == kTimeoutAllBits) {
    plan.return_on_any = true;
    plan.total_ms = (t.read_constant == kTimeoutAllBits) ? kNoLimit : t.read_constant;
    return plan;
  }
  if (t.read_interval == kTimeoutAllBits && t.read_multiplier == 0 && t.read_constant == 0) {
    plan.total_ms = 0;  // what is buffered, at once
    return plan;
  }
  if (t.read_multiplier != 0 || t.read_constant != 0) {
    plan.total_ms = static_cast<uint64_t>(t.read_multiplier) * size + t.read_constant;
  }
  if (t.read_interval != 0) plan.interval_ms = t.read_interval;
  return plan;
}

uint64_t Remaining(uint64_t start, uint64_t budget, uint64_t now) {
  if (budget == kNoLimit) return kNoLimit;
  uint64_t end = start + budget;
  return now >= end ? 0 : end - now;
}

// Both ends of a pseudo-terminal name the line by the slave's device number.
uint64_t LineId(int tty_fd) {
  struct stat st {};
  return ::fstat(tty_fd, &st) == 0 ? static_cast<uint64_t>(st.st_rdev) : 0;
}

}  // namespace

TtyObject::TtyObject(HandleKind kind, int fd, int peer_fd,
                     std::shared_ptr<testing::SerialPortDouble> port_double)
    : kind_(kind),
      fd_(fd),
      peer_fd_(peer_fd),
      cancel_fd_(NewEventFd()),
      modem_wake_fd_(port_double ? NewEventFd() : -1),
      double_(std::move(port_double)),
      traffic_(LineTrafficFor(LineId(kind == HandleKind::kPtyMaster ? peer_fd : fd))) {
  settings_.dtr = LineControl::kEnable;  // a tty raises DTR and RTS when opened
  settings_.rts = LineControl::kEnable;
  TtyReadSettings(fd_, &settings_);
}

TtyObject::~TtyObject() {
  CloseFd(fd_);
  CloseFd(peer_fd_);
  CloseFd(cancel_fd_);
  CloseFd(modem_wake_fd_);
}

bool TtyObject::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return true;
    closed_ = true;
  }
  // The next open may take the port at once, even while a waiting thread
  // still holds this object for the moment it needs to notice the close.
  ::flock(fd_, LOCK_UN);
  (void)::ioctl(fd_, TIOCNXCL);
  ForgetLineBytes(traffic_.get());
  Signal(cancel_fd_);
  return true;
}

int TtyObject::Wait(short events, uint64_t timeout_ms, int extra_fd) {
  pollfd fds[3];
  int count = 0;
  fds[count++] = {cancel_fd_, POLLIN, 0};
  if (events != 0) fds[count++] = {fd_, events, 0};
  if (extra_fd >= 0) fds[count++] = {extra_fd, POLLIN, 0};
  uint32_t wait_ms = timeout_ms == kNoLimit ? kInfiniteWait
                                            : static_cast<uint32_t>(std::min<uint64_t>(timeout_ms, kInfiniteWait - 1));
  int ready = WaitForDescriptors(fds, count, wait_ms);
  if (ready < 0) return -1;
  if (fds[0].revents != 0) {
    SetLastErrorCode(kErrOperationAborted);
    return -1;
  }
  return ready > 0 ? 1 : 0;
}

bool TtyObject::Read(void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  const ReadPlan plan = PlanRead(Timeouts(), size);
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t got = 0;
  bool ok = true;
  const uint64_t start = NowMs();
  uint64_t last_byte = start;
  while (got < size) {
    ssize_t n = ::read(fd_, out + got, size - got);
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      last_byte = NowMs();
      if (plan.return_on_any) break;
      continue;
    }
    if (n == 0) {  // the line hung up
      SetLastErrorCode(kErrIo);
      ok = false;
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      SetLastErrorFromErrno(errno);
      ok = false;
      break;
    }
    const uint64_t now = NowMs();
    uint64_t wait = Remaining(start, plan.total_ms, now);
    if (got > 0) wait = std::min(wait, Remaining(last_byte, plan.interval_ms, now));
    if (wait == 0) break;
    if (Wait(POLLIN, wait) < 0) {
      ok = false;
      break;
    }
  }
  *done = got;
  NoteLineBytesTaken(traffic_.get(), got);
  return ok;
}

bool TtyObject::Write(const void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  const SerialTimeouts t = Timeouts();
  uint64_t budget = kNoLimit;
  if (t.write_multiplier != 0 || t.write_constant != 0) {
    budget = static_cast<uint64_t>(t.write_multiplier) * size + t.write_constant;
  }
  uint32_t limit = size;
  if (double_ && double_->write_limit.load() > 0) limit = std::min(size, double_->write_limit.load());
  const auto* in = static_cast<const uint8_t*>(buffer);
  uint32_t sent = 0;
  const uint64_t start = NowMs();
  bool ok = true;
  while (sent < limit) {
    ssize_t n = ::write(fd_, in + sent, limit - sent);
    if (n > 0) {
      sent += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      SetLastErrorFromErrno(errno);
      ok = false;
      break;
    }
    uint64_t wait = Remaining(start, budget, NowMs());
    int ready = wait == 0 ? 0 : Wait(POLLOUT, wait);
    if (ready == 0) SetLastErrorCode(kErrTimeout);
    if (ready <= 0) {
      ok = false;
      break;
    }
  }
  *done = sent;
  NoteLineBytesWritten(traffic_.get(), sent);
  return ok;
}

bool TtyObject::SetSettings(const SerialSettings& settings) {
  if (double_ && double_->refuse_settings.load()) {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  if (!TtyApplySettings(fd_, settings)) return false;
  if (!ApplyLineControl(settings.dtr, settings.rts)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = settings;
  return true;
}

bool TtyObject::GetSettings(SerialSettings* settings) {
  SerialSettings current;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current = settings_;
  }
  if (!TtyReadSettings(fd_, &current)) return false;
  *settings = current;
  return true;
}

void TtyObject::SetTimeouts(const SerialTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeouts_ = timeouts;
}

SerialTimeouts TtyObject::Timeouts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeouts_;
}

bool TtyObject::Purge(uint32_t flags) {
  if (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear)) {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  // Reads and writes here are never left pending in the driver, so there is
  // nothing to abort; only the queues are cleared.
  return TtyFlush(fd_, (flags & kPurgeRxClear) != 0, (flags & kPurgeTxClear) != 0, traffic_.get());
}

bool TtyObject::ReadModemLines(uint32_t* status, bool* supported) {
  *supported = true;
  if (double_) {
    *status = double_->ModemStatus();
    return true;
  }
  int lines = 0;
  if (::ioctl(fd_, TIOCMGET, &lines) != 0) {
    if (errno == ENOTTY || errno == EINVAL) {  // a pty has no modem lines
      *supported = false;
      *status = 0;
      return true;
    }
    SetLastErrorFromErrno(errno);
    return false;
  }
  *status = ((lines & TIOCM_CTS) ? kModemCts : 0) | ((lines & TIOCM_DSR) ? kModemDsr : 0) |
            ((lines & TIOCM_RI) ? kModemRing : 0) | ((lines & TIOCM_CD) ? kModemDcd : 0);
  return true;
}

bool TtyObject::ModemStatus(uint32_t* status) {
  bool supported = false;
  return ReadModemLines(status, &supported);
}

bool TtyObject::SetModemEventMask(uint32_t mask) {
  if (mask & ~(kModemCts | kModemDsr | kModemRing | kModemDcd)) {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  uint32_t status = 0;
  if (!ModemStatus(&status)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  modem_mask_ = mask;
  modem_baseline_ = status;
  return true;
}

bool TtyObject::WaitModemEvent(uint32_t* events) {
  uint32_t mask;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mask = modem_mask_;
  }
  if (mask == 0) {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  // Registered before the first look, so no change of the double is missed.
  if (double_) AddModemWaiter(double_.get(), modem_wake_fd_);
  bool ok = false;
  for (;;) {
    uint32_t status = 0;
    bool supported = true;
    if (!ReadModemLines(&status, &supported)) break;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      uint32_t changed = (status ^ modem_baseline_) & modem_mask_;
      if (changed != 0) {
        modem_baseline_ = status;
        *events = changed;
        ok = true;
        break;
      }
    }
    int ready;
    if (double_) {
      ready = Wait(0, kNoLimit, modem_wake_fd_);
      if (ready > 0) Drain(modem_wake_fd_);
    } else {
      // Lines that never change (a pty) leave only the close to wait for.
      ready = Wait(0, supported ? kModemPollMs : kNoLimit);
    }
    if (ready < 0) break;
  }
  if (double_) RemoveModemWaiter(double_.get(), modem_wake_fd_);
  return ok;
}

bool TtyObject::ApplyLineControl(LineControl dtr, LineControl rts) {
  // Handshake on RTS is CRTSCTS in the line settings; the driver moves it.
  int raise = 0;
  int drop = 0;
  if (dtr == LineControl::kDisable) drop |= TIOCM_DTR;
  if (dtr == LineControl::kEnable) raise |= TIOCM_DTR;
  if (rts == LineControl::kDisable) drop |= TIOCM_RTS;
  if (rts == LineControl::kEnable) raise |= TIOCM_RTS;
  for (auto [request, lines] : {std::pair{TIOCMBIC, drop}, std::pair{TIOCMBIS, raise}}) {
    if (lines == 0) continue;
    if (::ioctl(fd_, request, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
      SetLastErrorFromErrno(errno);
      return false;
    }
  }
  return true;
}

bool TtyObject::SetModemLines(bool dtr, bool rts) {
  return ApplyLineControl(dtr ? LineControl::kEnable : LineControl::kDisable,
                          rts ? LineControl::kEnable : LineControl::kDisable);
}

bool TtyObject::Break(bool on) {
  if (::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

}  // namespace detail

namespace {

using detail::TtyObject;

std::shared_ptr<TtyObject> Port(Handle h) {
  return detail::LookupAs<TtyObject>(h, detail::HandleKind::kSerialPort);
}

// A serial port or a pty master: both read, write, time out and purge.
std::shared_ptr<TtyObject> PortOrMaster(Handle h) {
  std::shared_ptr<detail::HandleObject> object = detail::LookupHandle(h);
  if (!object) return nullptr;
  if (object->kind() != detail::HandleKind::kSerialPort &&
      object->kind() != detail::HandleKind::kPtyMaster) {
    SetLastErrorCode(kErrInvalidHandle);
    return nullptr;
  }
  return std::static_pointer_cast<TtyObject>(object);
}

// Output arguments are required.
bool Given(const void* output) {
  if (output) return true;
  SetLastErrorCode(kErrInvalidParameter);
  return false;
}

}  // namespace

Handle OpenSerialPort(const wchar_t* name) {
  if (!name || !*name) {
    SetLastErrorCode(kErrNotFound);
    return kInvalidHandle;
  }
  const std::string path = HostPath(name);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    detail::SetLastErrorFromErrno(errno);
    return kInvalidHandle;
  }
  auto fail = [fd](ErrorCode code) {
    ::close(fd);
    SetLastErrorCode(code);
    return kInvalidHandle;
  };
  if (!::isatty(fd)) return fail(kErrNotFound);  // a file, not a serial device
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(detail::ErrorFromErrno(errno));
  if (!detail::TtyMakeRaw(fd)) return fail(LastError());
  detail::TtyRequestLowLatency(fd);
  auto port = std::make_shared<TtyObject>(detail::HandleKind::kSerialPort, fd, -1,
                                          detail::FindSerialDouble(path));
  if (!port->usable()) {
    detail::SetLastErrorFromErrno(errno);
    return kInvalidHandle;
  }
  // Keeps out opens that ignore the lock (refused without rights). Set last:
  // the mark belongs to the tty, not to this descriptor, so a failed open
  // would leave it behind on a line that something else holds open (the
  // simulator's end of a pseudo-terminal) and lock every later open out.
  (void)::ioctl(fd, TIOCEXCL);
  return detail::RegisterHandle(std::move(port));
}

bool SetSerialSettings(Handle port, const SerialSettings& settings) {
  auto p = Port(port);
  return p && p->SetSettings(settings);
}

bool GetSerialSettings(Handle port, SerialSettings* settings) {
  auto p = Port(port);
  return p && Given(settings) && p->GetSettings(settings);
}

bool SetSerialTimeouts(Handle port, const SerialTimeouts& timeouts) {
  auto p = PortOrMaster(port);
  if (!p) return false;
  p->SetTimeouts(timeouts);
  return true;
}

bool GetSerialTimeouts(Handle port, SerialTimeouts* timeouts) {
  auto p = PortOrMaster(port);
  if (!p || !Given(timeouts)) return false;
  *timeouts = p->Timeouts();
  return true;
}

bool PurgeSerial(Handle port, uint32_t flags) {
  auto p = PortOrMaster(port);
  return p && p->Purge(flags);
}

bool GetModemStatus(Handle port, uint32_t* status) {
  auto p = Port(port);
  return p && Given(status) && p->ModemStatus(status);
}

bool SetModemEventMask(Handle port, uint32_t mask) {
  auto p = Port(port);
  return p && p->SetModemEventMask(mask);
}

bool WaitModemEvent(Handle port, uint32_t* events) {
  auto p = Port(port);
  if (!p) return false;
  uint32_t ignored = 0;
  return p->WaitModemEvent(events ? events : &ignored);
}

bool SetBreak(Handle port) {
  auto p = Port(port);
  return p && p->Break(true);
}

bool ClearBreak(Handle port) {
  auto p = Port(port);
  return p && p->Break(false);
}

bool SetModemLines(Handle port, bool dtr, bool rts) {
  auto p = Port(port);
  return p && p->SetModemLines(dtr, rts);
}

}  // namespace plat
