// The simulated engine's protocol side: the state the accessors read, the
// controls another thread moves, and the serving loop that speaks the boot
// code and the flash driver on the line. Private to sim/.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform.h"
#include "simulator.h"
#include "transcript.h"

namespace sim {

// What a flash byte holds, as far as writing goes.
enum class FlashByteState : uint8_t {
  kPrevious,    // the previous firmware: not erased, not writable
  kErased,      // 0xFF, writable once
  kProgrammed,  // written since the last erase
};

// What the engine did and saw; written by the serving thread, read by the
// accessors, always under `mutex`.
struct EngineRecord {
  mutable std::mutex mutex;
  std::vector<Violation> violations;
  std::vector<uint8_t> flash;
  std::vector<FlashByteState> flash_state;
  std::vector<uint8_t> driver;
  int driver_block_count = 0;
  int driver_starts = 0;
  int erases = 0;
  int blocks_written = 0;
  bool driver_removed = false;
  std::vector<uint8_t> command_log;
  int autodetects = 0;
  int faults_injected = 0;

  explicit EngineRecord(uint32_t flash_size);
};

// Moved by other threads while the engine serves.
struct EngineControl {
  std::atomic<bool> stopping{false};
  std::atomic<bool> download_mode{true};
  std::atomic<uint32_t> mode_epoch{0};  // moves on every download mode change
};

// Serves the line on the calling thread until the engine stops (the master
// handle is closed or `control.stopping` is set and the line wakes).
void ServeEngine(const EngineConfig& config, EngineRecord& record, const EngineControl& control,
                 plat::Handle master, Transcript& transcript);

}  // namespace sim
