// Flashwright simulator: a stand-in for the handheld and its scan engine, so
// that a whole upgrade runs end to end without hardware.
//
//  - SimEngine speaks the engine's side of the flash protocol (boot code and
//    flash driver) on the master side of a pseudo-terminal, checks everything
//    the host sends and records every violation, and keeps the flash contents.
//  - CreateDeviceRoot lays out a simulated handheld's device root.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"

namespace sim {

// Where the engine stands in the exchange; fault injection is keyed on it.
enum class EngineStep {
  kAutodetect,      // answering AUTODETECT_BYTE
  kDownloadStart,   // answering START_DWNLD with DWNLD_RSP
  kBlockRequest,    // sending BLOCK_REQ and the block number
  kChecksumRequest, // sending CHK_REQ after a driver block
  kDownloadDone,    // sending DWNLD_DONE
  kCommandAck,      // answering a command frame with RSP_ACK
  kAckModeDone,     // RSP_DONE of the ack mode request
  kFlashSize,       // flash size bytes of flash init
  kFlashVersion,    // driver version text of flash init
  kVersionWords,    // w0..w3 of the firmware version reply
  kVersionText,     // text of the firmware version reply
  kEraseDone,       // RSP_DONE after the erase
  kWriteDone,       // RSP_DONE after a block write
  kRemoveDone,      // RSP_DONE of remove driver
};

enum class FaultKind {
  kNone,
  kSilence,      // say nothing at this step (the host times out)
  kWrongByte,    // send fault_byte instead of the right byte
  kBadChecksum,  // (command ack) answer as if the frame checksum did not match
  kStrayByte,    // send fault_byte before the right answer
};

struct Fault {
  EngineStep step = EngineStep::kAutodetect;
  FaultKind kind = FaultKind::kNone;
  uint8_t fault_byte = 0;
  int occurrence = 1;  // which occurrence of the step (1 = first); 0 = every one
};

enum class BlockOrder {
  kInOrder,       // 1, 2, ..., n
  kRepeatEach,    // every block requested `repeat_count` times
  kReverse,       // n, n-1, ..., 1
};

struct EngineConfig {
  std::string model = "QA71";       // engine name, only reported
  uint8_t autodetect_rsp = 0x72;    // answer to AUTODETECT_BYTE
  uint32_t flash_size = 256 * 1024; // bytes, reported by flash init
  std::string driver_version = "SIMDRV 1.00";
  uint16_t version_words[4] = {1, 0, 0x0A00, 0x0400};  // w0, w1, scanner type, board id
  std::string firmware_version = "SIM FW 1.00";
  // Driver block requests: order, and for kRepeatEach how often each block.
  BlockOrder block_order = BlockOrder::kInOrder;
  int repeat_count = 1;
  // Extra block requests after the normal ones (e.g. a block beyond the count).
  std::vector<uint8_t> extra_block_requests;
  // How many host read timeouts the erase lets pass before RSP_DONE
  // (0 = answer at once). The engine is silent meanwhile.
  int erase_waits = 0;
  // Pace every byte at the line rate (10 bits per byte at this baud); 0 = no pacing.
  uint32_t pace_baud = 0;
  std::vector<Fault> faults;
  // Write a transcript of the exchange here (host path); empty = none.
  std::string transcript_path;
};

// One thing the host did wrong, as the engine saw it.
struct Violation {
  EngineStep step;
  std::string what;
};

class SimEngine {
 public:
  explicit SimEngine(EngineConfig config);
  ~SimEngine();  // stops the engine
  SimEngine(const SimEngine&) = delete;
  SimEngine& operator=(const SimEngine&) = delete;

  // Creates a pseudo-terminal and starts serving on a thread. slave_path()
  // then names the tty the host opens; with a COM name, the device root's
  // entry of that name is linked to it too.
  bool Start(const wchar_t* com_name = nullptr);
  void Stop();
  const std::string& slave_path() const;

  // Gates the boot code: while false the engine ignores everything (it is
  // in operating mode, not listening for the autodetect byte). True by default.
  void SetDownloadMode(bool on);

  std::vector<Violation> Violations() const;
  std::vector<uint8_t> Flash() const;           // whole flash, erased bytes 0xFF
  std::vector<uint8_t> DriverReceived() const;  // driver bytes as assembled from the blocks
  int DriverBlockCount() const;                 // block count the host announced
  int DriverStarts() const;                     // downloads completed
  int Erases() const;
  int BlocksWritten() const;
  bool DriverRemoved() const;
  // Serves until Stop() from the calling thread (fwsim engine).
  void Serve();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Lays out a simulated handheld in `root` (a host folder): "My Documents",
// "Windows", an empty registry file and the simulated libraries copied in
// under their .dll names from `library_dir` (where the build put them).
bool CreateDeviceRoot(const std::string& root, const std::string& library_dir, std::string* error);

}  // namespace sim
