#include "engine_line.h"

#include <utility>

namespace sim {
namespace {

// How long the line rests after a read failed without the engine stopping
// (the host's side of the pseudo-terminal is not open), before it reads again.
constexpr uint32_t kHangupRetryMs = 20;

// How far the paced line may lag behind real time and still catch up: covers
// a sleep that overran, not a line that stood idle.
constexpr uint64_t kPaceSlackUs = 1500;

}  // namespace

PtyLine::PtyLine(plat::Handle master, uint32_t pace_baud, Transcript* transcript, Shared shared,
                 std::function<void(const std::string&)> pre_boot_violation)
    : master_(master),
      pace_baud_(pace_baud),
      transcript_(transcript),
      shared_(shared),
      pre_boot_violation_(std::move(pre_boot_violation)) {}

bool PtyLine::Stopped() const { return closed_ || shared_.stopping->load(); }

bool PtyLine::Interrupted() const { return Stopped() || shared_.mode_epoch->load() != epoch_; }

bool PtyLine::SetReadTimeout(uint32_t timeout_ms) {
  if (timeouts_known_ && timeout_set_ms_ == timeout_ms) return true;
  plat::SerialTimeouts t;
  if (timeout_ms == kWaitForever) {
    // No limit: a read of one byte waits for it.
  } else if (timeout_ms == 0) {
    t.read_interval = plat::kTimeoutAllBits;  // what is buffered, at once
  } else {
    t.read_interval = plat::kTimeoutAllBits;
    t.read_multiplier = plat::kTimeoutAllBits;
    t.read_constant = timeout_ms;
  }
  if (!plat::SetSerialTimeouts(master_, t)) return false;
  timeouts_known_ = true;
  timeout_set_ms_ = timeout_ms;
  return true;
}

void PtyLine::Pace(size_t bytes) {
  if (pace_baud_ == 0) return;
  // The line is a running clock: line_due_us_ is when it will have carried
  // every byte so far (10 bits each). The engine sleeps until then, so its
  // own work and a sleep that overran are absorbed by the next bytes' time,
  // unless the line had been idle for longer than the slack.
  const uint64_t now = plat::NowUs();
  if (line_due_us_ + kPaceSlackUs < now) line_due_us_ = now - kPaceSlackUs;
  const uint64_t line_time = static_cast<uint64_t>(bytes) * 10u * 1000000u + pace_remainder_;
  line_due_us_ += line_time / pace_baud_;
  pace_remainder_ = line_time % pace_baud_;
  if (line_due_us_ >= now + 1000u) plat::SleepMs(static_cast<uint32_t>((line_due_us_ - now) / 1000u));
}

EngineLine::Rx PtyLine::Receive(uint8_t* byte, uint32_t timeout_ms) {
  if (Interrupted()) return Rx::kEnded;
  if (has_pending_) {
    has_pending_ = false;
    *byte = pending_;
    return Rx::kByte;
  }
  if (timeout_ms != 0) transcript_->Flush();
  uint64_t start = plat::NowMs();
  for (;;) {
    uint32_t wait = timeout_ms;
    if (timeout_ms != kWaitForever && timeout_ms != 0) {
      uint64_t spent = plat::NowMs() - start;
      if (spent >= timeout_ms) return Interrupted() ? Rx::kEnded : Rx::kTimeout;
      wait = static_cast<uint32_t>(timeout_ms - spent);
    }
    uint32_t done = 0;
    bool ok = SetReadTimeout(wait) && plat::Read(master_, byte, 1, &done);
    if (!ok) {
      plat::ErrorCode error = plat::LastError();
      if (Stopped() || error == plat::kErrOperationAborted || error == plat::kErrInvalidHandle) {
        closed_ = true;
        return Rx::kEnded;
      }
      // A read failed although the engine runs on: rest, then listen again.
      if (timeout_ms == 0) return Rx::kTimeout;
      plat::SleepMs(kHangupRetryMs);
      timeouts_known_ = false;
      continue;
    }
    if (done == 0) return Interrupted() ? Rx::kEnded : Rx::kTimeout;
    break;
  }
  Pace(1);
  transcript_->Bytes('H', byte, 1);
  if (Interrupted()) {
    has_pending_ = true;  // belongs to the next exchange
    pending_ = *byte;
    return Rx::kEnded;
  }
  return Rx::kByte;
}

bool PtyLine::Send(const uint8_t* data, size_t n) {
  if (Interrupted()) return false;  // no answers from before a mode change
  Pace(n);
  transcript_->Bytes('E', data, n);
  uint32_t done = 0;
  if (!plat::Write(master_, data, static_cast<uint32_t>(n), &done)) {
    plat::ErrorCode error = plat::LastError();
    if (error == plat::kErrOperationAborted || error == plat::kErrInvalidHandle) closed_ = true;
    return false;
  }
  return true;
}

void PtyLine::Violation(const std::string& what) { pre_boot_violation_(what); }

void PtyLine::Note(const std::string& text) { transcript_->Line("-- " + text); }

}  // namespace sim
