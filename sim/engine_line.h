// The simulated engine's end of the line: the master side of a
// pseudo-terminal, read with timeouts on the platform clock, paced at the
// configured line rate, written to the transcript, and cut short when the
// engine stops or leaves download mode. Used by the serving thread only.
// Private to sim/.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform.h"
#include "simulator.h"
#include "transcript.h"

namespace sim {

class PtyLine final : public EngineLine {
 public:
  struct Shared {
    const std::atomic<bool>* stopping;       // Stop() was called
    const std::atomic<uint32_t>* mode_epoch;  // moves on every download mode change
  };
  PtyLine(plat::Handle master, uint32_t pace_baud, Transcript* transcript, Shared shared,
          std::function<void(const std::string&)> pre_boot_violation);

  // Starts an exchange in the current download mode epoch: from now on a
  // change of mode ends every wait with kEnded.
  void Arm(uint32_t epoch) { epoch_ = epoch; }
  // True once the mode moved on since Arm, or the engine stopped.
  bool Interrupted() const;
  bool Stopped() const;

  // EngineLine. A byte that arrives after the mode moved on is kept for the
  // next exchange.
  Rx Receive(uint8_t* byte, uint32_t timeout_ms) override;
  bool Send(const uint8_t* data, size_t n) override;
  void Violation(const std::string& what) override;
  void Note(const std::string& text) override;

  // Reads whatever is waiting without blocking: kByte or kTimeout (or kEnded).
  Rx Poll(uint8_t* byte) { return Receive(byte, 0); }

  // A byte that arrived while the mode changed, kept for the next exchange.
  bool HasPending(uint8_t* byte) const {
    *byte = pending_;
    return has_pending_;
  }
  void DropPending() { has_pending_ = false; }

 private:
  bool SetReadTimeout(uint32_t timeout_ms);
  void Pace(size_t bytes);

  plat::Handle master_;
  uint32_t pace_baud_;
  Transcript* transcript_;
  Shared shared_;
  std::function<void(const std::string&)> pre_boot_violation_;
  uint32_t epoch_ = 0;
  bool timeouts_known_ = false;
  uint32_t timeout_set_ms_ = 0;
  uint64_t line_due_us_ = 0;    // when the paced line has carried every byte so far
  uint64_t pace_remainder_ = 0; // line time below one microsecond, in 1/pace_baud_ us
  bool has_pending_ = false;
  uint8_t pending_ = 0;
  bool closed_ = false;
};

}  // namespace sim
