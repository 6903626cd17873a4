// The program's one clock: real monotonic time, or a test's virtual time.
//
// Virtual time moves only when every participating thread waits in SleepMs or
// WaitForDescriptors, none of the waited descriptors is ready, and that has
// held for a short real settle time (pseudo-terminal data takes a moment to
// become readable). Time then jumps to the earliest deadline and wakes the
// waiters that reached it. Waiters poll their descriptors in short real
// slices, and each slice ends with an attempt to move time on.
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform_internal.h"

namespace plat {

namespace {

constexpr uint64_t kNoDeadline = UINT64_MAX;
// Real time a virtual waiter polls its descriptors before looking at the clock.
constexpr int kWaitSliceMs = 1;
// Real time the "everyone waits, nothing is ready" state must hold before
// virtual time moves.
constexpr std::chrono::microseconds kSettleTime{2000};

// How long bytes in flight on a serial line hold virtual time still before
// they count as never to be read.
constexpr std::chrono::milliseconds kInFlightPatience{250};

using RealClock = std::chrono::steady_clock;

// Serial-line bytes written and not yet read (see NoteLineBytesWritten), and
// when that count last changed.
std::atomic<int64_t> g_line_bytes_in_flight{0};
std::atomic<RealClock::rep> g_line_bytes_changed{0};

bool LineBytesInFlight() {
  if (g_line_bytes_in_flight.load() <= 0) return false;
  RealClock::duration since = RealClock::now().time_since_epoch() -
                              RealClock::duration(g_line_bytes_changed.load());
  return since < kInFlightPatience;
}

uint64_t RealNowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint64_t RealNowMs() { return RealNowUs() / 1000u; }

void RealSleepMs(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int RealWait(pollfd* fds, int count, uint32_t timeout_ms) {
  if (count == 0) {
    if (timeout_ms == detail::kInfiniteWait) {
      for (;;) pause();
    }
    RealSleepMs(timeout_ms);
    return 0;
  }
  bool infinite = timeout_ms == detail::kInfiniteWait;
  uint64_t deadline = RealNowMs() + timeout_ms;
  for (;;) {
    int slice = -1;
    if (!infinite) {
      uint64_t now = RealNowMs();
      uint64_t left = deadline > now ? deadline - now : 0;
      slice = static_cast<int>(std::min<uint64_t>(left, INT_MAX));
    }
    int r = poll(fds, static_cast<nfds_t>(count), slice);
    if (r > 0) return r;
    if (r < 0) {
      if (errno == EINTR) continue;
      detail::SetLastErrorFromErrno(errno);
      return -1;
    }
    if (!infinite && RealNowMs() >= deadline) return 0;
  }
}

// One thread inside SleepMs or WaitForDescriptors under the virtual clock.
struct Waiter {
  std::vector<pollfd> fds;  // a copy (fd and events) the advancing thread polls
  uint64_t deadline = kNoDeadline;
  bool woken = false;  // virtual time reached the deadline
};

// The virtual clock proper; VirtualClock::State and the threads that joined
// it share it, so a participant that outlives the clock stays harmless.
struct VirtualCore {
  std::mutex mutex;
  std::condition_variable changed;
  std::atomic<uint64_t> now_ms{0};
  int busy = 0;  // participants running outside a clock wait
  std::vector<Waiter*> waiters;
  bool closed = false;
  // When the current quiet state (nobody busy, nothing ready) began; reset by
  // every change of the participants or waiters.
  bool quiet = false;
  RealClock::time_point quiet_since;

  void Changed() { quiet = false; }

  // Called with the lock held. Moves time to the earliest deadline when the
  // quiet state has settled; returns whether it did.
  bool TryAdvance() {
    if (closed || busy > 0) return Reset();
    uint64_t earliest = kNoDeadline;
    bool any_fds = false;
    for (Waiter* w : waiters) {
      if (w->woken) return Reset();  // about to run again
      earliest = std::min(earliest, w->deadline);
      any_fds = any_fds || !w->fds.empty();
    }
    if (earliest == kNoDeadline) return Reset();
    if (LineBytesInFlight()) return Reset();
    for (Waiter* w : waiters) {
      if (!w->fds.empty() && poll(w->fds.data(), w->fds.size(), 0) != 0) return Reset();
    }
    // Sleepers alone have nothing that could still become ready.
    if (any_fds) {
      auto now = RealClock::now();
      if (!quiet) {
        quiet = true;
        quiet_since = now;
        return false;
      }
      if (now - quiet_since < kSettleTime) return false;
    }
    now_ms.store(earliest);
    for (Waiter* w : waiters) {
      if (w->deadline <= earliest) w->woken = true;
    }
    quiet = false;
    changed.notify_all();
    return true;
  }

  bool Reset() {
    quiet = false;
    return false;
  }
};

struct Installed {
  std::mutex mutex;
  std::shared_ptr<VirtualCore> core;
};

Installed& Current() {
  static Installed* installed = new Installed;
  return *installed;
}

std::atomic<bool> g_virtual_installed{false};

// The virtual clock this thread participates in (creator or ClockParticipant).
thread_local std::shared_ptr<VirtualCore> t_joined;

std::shared_ptr<VirtualCore> CurrentCore() {
  if (!g_virtual_installed.load(std::memory_order_acquire)) return nullptr;
  Installed& installed = Current();
  std::lock_guard<std::mutex> lock(installed.mutex);
  return installed.core;
}

int VirtualWait(VirtualCore& core, pollfd* fds, int count, uint32_t timeout_ms) {
  Waiter self;
  self.fds.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) self.fds.push_back(pollfd{fds[i].fd, fds[i].events, 0});
  bool participant = t_joined.get() == &core;
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    if (core.closed) return 0;
    if (timeout_ms != detail::kInfiniteWait) self.deadline = core.now_ms.load() + timeout_ms;
    core.waiters.push_back(&self);
    if (participant) --core.busy;
    core.Changed();
    core.changed.notify_all();
  }
  int result = 0;
  int host_error = 0;
  for (;;) {
    if (count > 0) {
      int r = poll(fds, static_cast<nfds_t>(count), kWaitSliceMs);
      if (r > 0 || (r < 0 && errno != EINTR)) {
        result = r;
        host_error = r < 0 ? errno : 0;
        break;
      }
    }
    std::unique_lock<std::mutex> lock(core.mutex);
    if (self.woken || core.closed) break;
    if (core.TryAdvance() && self.woken) break;
    if (count == 0) core.changed.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs));
  }
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    core.waiters.erase(std::find(core.waiters.begin(), core.waiters.end(), &self));
    if (participant) ++core.busy;
    core.Changed();
  }
  if (result < 0) detail::SetLastErrorFromErrno(host_error);
  return result;
}

}  // namespace

uint64_t NowMs() {
  if (std::shared_ptr<VirtualCore> core = CurrentCore()) return core->now_ms.load();
  return RealNowMs();
}

uint64_t NowUs() {
  if (std::shared_ptr<VirtualCore> core = CurrentCore()) return core->now_ms.load() * 1000u;
  return RealNowUs();
}

uint32_t TickCount() { return static_cast<uint32_t>(NowMs()); }

void SleepMs(uint32_t ms) {
  if (std::shared_ptr<VirtualCore> core = CurrentCore()) {
    if (ms == 0) {
      std::this_thread::yield();
      return;
    }
    VirtualWait(*core, nullptr, 0, ms);
    return;
  }
  RealSleepMs(ms);
}

namespace detail {

int WaitForDescriptors(pollfd* fds, int count, uint32_t timeout_ms) {
  if (count < 0 || (count > 0 && fds == nullptr)) {
    SetLastErrorCode(kErrInvalidParameter);
    return -1;
  }
  std::shared_ptr<VirtualCore> core = CurrentCore();
  if (!core) return RealWait(fds, count, timeout_ms);
  if (timeout_ms == 0) return RealWait(fds, count, 0);
  return VirtualWait(*core, fds, count, timeout_ms);
}

struct LineTraffic {
  uint64_t id = 0;
  std::atomic<int64_t> in_flight{0};
};

std::shared_ptr<LineTraffic> LineTrafficFor(uint64_t line_id) {
  static std::mutex* mutex = new std::mutex;
  static auto* lines = new std::vector<std::weak_ptr<LineTraffic>>;
  std::lock_guard<std::mutex> lock(*mutex);
  std::erase_if(*lines, [](const std::weak_ptr<LineTraffic>& w) { return w.expired(); });
  for (const auto& weak : *lines) {
    std::shared_ptr<LineTraffic> line = weak.lock();
    if (line && line->id == line_id) return line;
  }
  auto line = std::make_shared<LineTraffic>();
  line->id = line_id;
  lines->push_back(line);
  return line;
}

namespace {

void TakeFromLine(LineTraffic* line, int64_t count) {
  // Bytes from a writer outside this process were never counted: stay at 0.
  int64_t was = line->in_flight.load();
  int64_t taken;
  do {
    taken = std::min(was, count);
  } while (!line->in_flight.compare_exchange_weak(was, was - taken));
  if (taken > 0) g_line_bytes_in_flight.fetch_sub(taken);
  g_line_bytes_changed.store(RealClock::now().time_since_epoch().count());
}

}  // namespace

void NoteLineBytesWritten(LineTraffic* line, uint32_t count) {
  if (!line || count == 0) return;
  line->in_flight.fetch_add(count);
  g_line_bytes_in_flight.fetch_add(count);
  g_line_bytes_changed.store(RealClock::now().time_since_epoch().count());
}

void NoteLineBytesTaken(LineTraffic* line, uint32_t count) {
  if (line && count > 0) TakeFromLine(line, count);
}

void ForgetLineBytes(LineTraffic* line) {
  if (line) TakeFromLine(line, INT64_MAX);
}

}  // namespace detail

struct VirtualClock::State {
  std::shared_ptr<VirtualCore> core;
  std::shared_ptr<VirtualCore> previous_core;      // a clock installed before this one
  std::shared_ptr<VirtualCore> previous_joined;  // the creating thread's earlier clock
};

VirtualClock::VirtualClock() : state_(new State) {
  state_->core = std::make_shared<VirtualCore>();
  state_->core->busy = 1;  // the creating thread
  state_->previous_joined = t_joined;
  t_joined = state_->core;
  Installed& installed = Current();
  std::lock_guard<std::mutex> lock(installed.mutex);
  state_->previous_core = installed.core;
  installed.core = state_->core;
  g_virtual_installed.store(true, std::memory_order_release);
}

VirtualClock::~VirtualClock() {
  {
    Installed& installed = Current();
    std::lock_guard<std::mutex> lock(installed.mutex);
    installed.core = state_->previous_core;
    g_virtual_installed.store(installed.core != nullptr, std::memory_order_release);
  }
  // Threads still waiting on this clock return as if timed out.
  VirtualCore& core = *state_->core;
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    core.closed = true;
    core.changed.notify_all();
  }
  if (t_joined == state_->core) t_joined = state_->previous_joined;
}

uint64_t VirtualClock::Now() const { return state_->core->now_ms.load(); }

ClockParticipant::ClockParticipant() {
  std::shared_ptr<VirtualCore> core = CurrentCore();
  if (!core || t_joined == core) return;
  std::lock_guard<std::mutex> lock(core->mutex);
  ++core->busy;
  core->Changed();
  t_joined = core;
  joined_ = true;
}

ClockParticipant::~ClockParticipant() {
  if (!joined_) return;
  std::shared_ptr<VirtualCore> core = std::move(t_joined);
  std::lock_guard<std::mutex> lock(core->mutex);
  --core->busy;
  core->Changed();
  core->changed.notify_all();
}

}  // namespace plat
