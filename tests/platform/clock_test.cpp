#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform_internal.h"
#include "test_support.h"

namespace {

using plat::detail::kInfiniteWait;
using plat::detail::WaitForDescriptors;
using RealClock = std::chrono::steady_clock;

int64_t RealMsSince(RealClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(RealClock::now() - start).count();
}

// A one-way byte channel: a pipe, or a raw pseudo-terminal (whose data takes
// a moment to become readable on the other side).
struct Channel {
  int read_fd = -1;
  int write_fd = -1;
  ~Channel() {
    if (read_fd >= 0) close(read_fd);
    if (write_fd >= 0) close(write_fd);
  }
};

enum class ChannelKind { kPipe, kPty };

void OpenChannel(ChannelKind kind, Channel* ch) {
  if (kind == ChannelKind::kPipe) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ch->read_fd = fds[0];
    ch->write_fd = fds[1];
    return;
  }
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios tio{};
  ASSERT_EQ(tcgetattr(slave, &tio), 0);
  cfmakeraw(&tio);
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &tio), 0);
  ch->read_fd = slave;
  ch->write_fd = master;
}

int WaitReadable(int fd, uint32_t timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return WaitForDescriptors(&p, 1, timeout_ms);
}

// Runs `body` on a thread that has joined the virtual clock before the
// constructor returns, so the test thread cannot move time on without it.
class Participant {
 public:
  template <class F>
  explicit Participant(F body) {
    std::promise<void> joined;
    std::future<void> ready = joined.get_future();
    thread_ = std::thread([body, &joined]() mutable {
      plat::ClockParticipant participant;
      joined.set_value();
      body();
    });
    ready.wait();
  }
  ~Participant() { thread_.join(); }

 private:
  std::thread thread_;
};

// --- single thread ----------------------------------------------------------

TEST(Clock, RealSleepAndWaitFollowRealTime) {
  Channel ch;
  OpenChannel(ChannelKind::kPipe, &ch);
  auto start = RealClock::now();
  uint64_t before = plat::NowMs();
  EXPECT_EQ(WaitReadable(ch.read_fd, 30), 0);
  plat::SleepMs(20);
  EXPECT_GE(RealMsSince(start), 50);
  EXPECT_GE(plat::NowMs() - before, 50u);
  ASSERT_EQ(write(ch.write_fd, "x", 1), 1);
  EXPECT_EQ(WaitReadable(ch.read_fd, 5000), 1);
  EXPECT_LT(RealMsSince(start), 1000);
}

TEST(Clock, WaitOnABadDescriptorReportsIt) {
  pollfd p{-1, POLLIN, 0};
  // poll ignores negative descriptors: a plain timeout.
  EXPECT_EQ(WaitForDescriptors(&p, 1, 0), 0);
  EXPECT_EQ(WaitForDescriptors(nullptr, 1, 0), -1);
  EXPECT_EQ(plat::LastError(), plat::kErrInvalidParameter);
}

TEST(Clock, VirtualSleepAloneAdvancesAtOnce) {
  plat::VirtualClock clock;
  auto start = RealClock::now();
  EXPECT_EQ(plat::NowMs(), 0u);
  plat::SleepMs(3000);
  EXPECT_EQ(clock.Now(), 3000u);
  plat::SleepMs(1500);
  plat::SleepMs(0);
  EXPECT_EQ(plat::NowMs(), 4500u);
  EXPECT_EQ(plat::TickCount(), 4500u);
  EXPECT_LT(RealMsSince(start), 500);
}

TEST(Clock, TickCountWrapsAfter32Bits) {
  plat::VirtualClock clock;
  plat::SleepMs(0xFFFFFFF0u);
  plat::SleepMs(0x20);
  EXPECT_EQ(plat::NowMs(), 0x100000010ull);
  EXPECT_EQ(plat::TickCount(), 0x10u);
}

TEST(Clock, VirtualTimeoutOnSilentDescriptorCostsNoRealTime) {
  for (ChannelKind kind : {ChannelKind::kPipe, ChannelKind::kPty}) {
    SCOPED_TRACE(kind == ChannelKind::kPipe ? "pipe" : "pty");
    Channel ch;
    OpenChannel(kind, &ch);
    plat::VirtualClock clock;
    auto start = RealClock::now();
    EXPECT_EQ(WaitReadable(ch.read_fd, 5000), 0);
    EXPECT_EQ(clock.Now(), 5000u);
    EXPECT_LT(RealMsSince(start), 1000);
    // Data already there: returned at once, time stands.
    ASSERT_EQ(write(ch.write_fd, "x", 1), 1);
    EXPECT_EQ(WaitReadable(ch.read_fd, 5000), 1);
    EXPECT_EQ(clock.Now(), 5000u);
  }
}

TEST(Clock, ClockParticipantOutsideVirtualClockDoesNothing) {
  plat::ClockParticipant participant;
  uint64_t before = plat::NowMs();
  plat::SleepMs(5);
  EXPECT_GE(plat::NowMs(), before + 5);
}

// --- two threads (also run under ThreadSanitizer) -----------------------------

TEST(ClockConcurrency, PeerAnswerWakesReaderAtItsOwnTime) {
  for (ChannelKind kind : {ChannelKind::kPipe, ChannelKind::kPty}) {
    SCOPED_TRACE(kind == ChannelKind::kPipe ? "pipe" : "pty");
    Channel ch;
    OpenChannel(kind, &ch);
    plat::VirtualClock clock;
    auto start = RealClock::now();
    int got = -1;
    uint64_t woke_at = 0;
    {
      Participant peer([&] {
        plat::SleepMs(3000);
        EXPECT_EQ(write(ch.write_fd, "A", 1), 1);
      });
      got = WaitReadable(ch.read_fd, 5000);
      woke_at = clock.Now();
    }
    EXPECT_EQ(got, 1);
    EXPECT_EQ(woke_at, 3000u);
    EXPECT_LT(RealMsSince(start), 1000);
  }
}

TEST(ClockConcurrency, EarliestDeadlineComesFirst) {
  plat::VirtualClock clock;
  uint64_t peer_times[2] = {};
  {
    Participant peer([&] {
      plat::SleepMs(1000);
      peer_times[0] = plat::NowMs();
      plat::SleepMs(1000);
      peer_times[1] = plat::NowMs();
    });
    plat::SleepMs(3000);
    EXPECT_EQ(clock.Now(), 3000u);
  }
  EXPECT_EQ(peer_times[0], 1000u);
  EXPECT_EQ(peer_times[1], 2000u);
}

TEST(ClockConcurrency, BusyParticipantHoldsTimeStill) {
  plat::VirtualClock clock;
  std::atomic<bool> peer_done{false};
  uint64_t seen_by_peer = 1;
  {
    Participant peer([&] {
      // Computing, not waiting: the test thread's sleep must not end meanwhile.
      auto start = RealClock::now();
      while (RealMsSince(start) < 50) std::this_thread::yield();
      seen_by_peer = plat::NowMs();
      peer_done = true;
    });
    plat::SleepMs(1000);
    EXPECT_TRUE(peer_done.load());
  }
  EXPECT_EQ(seen_by_peer, 0u);
  EXPECT_EQ(clock.Now(), 1000u);
}

TEST(ClockConcurrency, NonParticipantWaitsUntilEveryParticipantWaits) {
  plat::VirtualClock clock;
  std::atomic<uint64_t> woke_at{0};
  std::promise<void> started;
  std::thread sleeper([&] {
    started.set_value();
    plat::SleepMs(500);
    woke_at = plat::NowMs();
  });
  started.get_future().wait();
  // The test thread participates and is busy: the sleeper's time stands.
  auto start = RealClock::now();
  while (RealMsSince(start) < 30) std::this_thread::yield();
  EXPECT_EQ(woke_at.load(), 0u);
  EXPECT_EQ(clock.Now(), 0u);
  plat::SleepMs(2000);
  sleeper.join();
  EXPECT_EQ(woke_at.load(), 500u);
  EXPECT_EQ(clock.Now(), 2000u);
}

TEST(ClockConcurrency, InfiniteWaiterNeitherBlocksTimeNorMissesData) {
  Channel ch;
  OpenChannel(ChannelKind::kPipe, &ch);
  plat::VirtualClock clock;
  std::atomic<int> got{-1};
  std::thread reader([&] { got = WaitReadable(ch.read_fd, kInfiniteWait); });
  plat::SleepMs(2000);
  EXPECT_EQ(clock.Now(), 2000u);
  EXPECT_EQ(got.load(), -1);
  ASSERT_EQ(write(ch.write_fd, "x", 1), 1);
  reader.join();
  EXPECT_EQ(got.load(), 1);
  EXPECT_EQ(clock.Now(), 2000u);
}

}  // namespace
