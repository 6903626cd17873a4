// Flashwright simulator: a stand-in for the handheld and its scan engine, so
// that a whole upgrade runs end to end without hardware.
//
//  - SimEngine speaks the engine's side of the flash protocol (boot code and
//    flash driver) on the master side of a pseudo-terminal, checks everything
//    the host sends and records every violation, and keeps the flash contents.
//  - CreateDeviceRoot lays out a simulated handheld's device root.
//
// How the engine behaves, in the terms the protocol tests rely on:
//  - The engine is in one of four states: operating mode (SetDownloadMode
//    false: every byte is ignored), boot code, driver started (after
//    DWNLD_DONE, before the ack mode request) and driver in ack mode. Leaving
//    download mode resets the engine: a running driver is gone, and the next
//    switch into download mode starts at the boot code again (after the
//    pre-boot stage, if one is configured).
//  - Boot code: AUTODETECT_BYTE is answered with autodetect_rsp, START_DWNLD
//    starts a driver download; any other byte is a violation.
//  - Driver: a command frame is 10 bytes starting with 0x00 plus its 4-byte
//    checksum; any other byte where a frame should begin is a violation.
//    Before the ack mode request only opcode 0x10 is taken. Frame checks, in
//    order: checksum, known opcode, parameter bytes 0x00 where the opcode
//    defines none, ack mode. A command's work is done before its RSP_DONE
//    goes out (ack mode on, flash erased, block programmed, driver ended);
//    a missing final ACK is a violation but undoes nothing. Write block
//    checks, in order: byte count not 0, data checksum, address + count
//    within flash_size, every byte erased.
//  - Driver download: block count 1 to 255; each block's checksum must match;
//    DriverStarts() counts a download once DWNLD_DONE is due.
//  - A violation is recorded (Violations()) and answered like a real engine
//    would: the engine says nothing more in that exchange, the host times out.
//    The engine then drops whatever the host sends until the line has been
//    quiet for watchdog_ms, and listens again (boot code or driver, as before).
//  - While the engine waits for a byte in the middle of an exchange (an ACK,
//    the rest of a frame, block data) it waits at most watchdog_ms; a missing
//    byte is a violation. A byte that arrives when the engine expects none
//    (before it sends its own next byte, during the erase) is a violation,
//    which is how an ACK sent early is caught.
//  - Faults and out-of-spec texts (a driver version text of 128 characters
//    or more, a firmware version text of 256 or more, a text holding a NUL)
//    put the engine outside the protocol, so a correct host may then fail:
//    from the moment one is injected until the next well-formed start of an
//    exchange (AUTODETECT_BYTE or START_DWNLD to the boot code, a frame with
//    a good checksum to the driver), what the host does wrong is excused:
//    noted in the transcript, not recorded as a violation.
//  - A block request beyond the block count (or for block 0) is answered
//    right by a host that sends nothing (the download then ends, no
//    violation); a host that serves it anyway commits a violation.
//  - Flash: Flash() starts out holding a previous firmware
//    (PreviousFirmwareByte), which is not erased. The erase makes every byte
//    0xFF and writable; each byte can be written once per erase. A write to a
//    byte that is not erased (never erased, or written since the erase) is a
//    violation, and the block is then not programmed.
#pragma once

#include <cstddef>
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
  kPreBoot,         // a stage in front of the boot code (PreBootStage)
};

// Name of a step ("kFlashSize" -> "flash size"), for messages.
const char* EngineStepName(EngineStep step);

// A fault replaces what the engine sends at one step. Steps that send several
// bytes (kBlockRequest: BLOCK_REQ and the number; kFlashSize: 4 bytes;
// kVersionWords: 8 bytes; the texts: the characters and the NUL) count as one
// step; kWrongByte and kStrayByte act on the step's first byte.
enum class FaultKind {
  kNone,
  // Say nothing at this step: the step's bytes are not sent and the exchange
  // ends there. Work the step reports is still done (the erase has erased,
  // the block is programmed, remove driver has ended the driver). At
  // kAutodetect the boot code simply listens for the next byte; elsewhere
  // the engine then drops what the host sends until the line is quiet for
  // watchdog_ms.
  kSilence,
  // Send fault_byte instead of the step's first byte; the rest of the step
  // and of the exchange go on as usual (a host that gives up is excused).
  kWrongByte,
  // Act as if a checksum did not match, then go silent as on kSilence:
  // kCommandAck: the frame's checksum (no RSP_ACK, the command is not run);
  // kChecksumRequest: the driver block's checksum (CHK_REQ is sent, the
  // block is not taken, the download ends); kWriteDone: the data checksum
  // (the block is not programmed, no RSP_DONE). At any other step it is
  // kSilence.
  kBadChecksum,
  // Send fault_byte, then the step as usual. At a step whose bytes the host
  // acknowledges, the engine first waits for an ACK of the stray byte (a
  // host that sends none is excused and the exchange ends).
  kStrayByte,
};

struct Fault {
  EngineStep step = EngineStep::kAutodetect;
  FaultKind kind = FaultKind::kNone;
  uint8_t fault_byte = 0;
  // Which occurrence of the step (1 = first, counted from Start); 0 = every
  // one. When several faults fit one occurrence, the first in the list applies.
  int occurrence = 1;
  // kCommandAck only: count and fault only the frames of this opcode (0 = any).
  uint8_t opcode = 0;
};

enum class BlockOrder {
  kInOrder,       // 1, 2, ..., n
  kRepeatEach,    // every block requested `repeat_count` times in a row: 1, 1, 2, 2, ...
  kReverse,       // n, n-1, ..., 1
  kNone,          // no block: DWNLD_DONE right after the block count (unless extra requests)
};

class PreBootStage;

struct EngineConfig {
  std::string model = "QA71";       // engine name, only reported
  uint8_t autodetect_rsp = 0x72;    // answer to AUTODETECT_BYTE
  // Bytes, reported by flash init and the size of the simulated flash; writes
  // must lie within it. 0 is allowed (every write is then outside). At most
  // kMaxFlashSize, else Start fails.
  uint32_t flash_size = 256 * 1024;
  // Sent by flash init with a NUL; any length (128 characters or more is
  // outside the protocol: see the excuse rule above).
  std::string driver_version = "SIMDRV 1.00";
  uint16_t version_words[4] = {1, 0, 0x0A00, 0x0400};  // w0, w1, scanner type, board id
  // Sent by the firmware version command with a NUL; 256 characters or more
  // is outside the protocol.
  std::string firmware_version = "SIM FW 1.00";
  // Driver block requests: order, and for kRepeatEach how often each block.
  BlockOrder block_order = BlockOrder::kInOrder;
  int repeat_count = 1;
  // Extra block requests after the normal ones, as given. A number beyond
  // the block count, or 0, is meant to be refused by the host (see above).
  std::vector<uint8_t> extra_block_requests;
  // The erase keeps the engine silent for erase_waits host read timeouts
  // (5000 ms each) less kEraseMarginMs, then sends RSP_DONE: the host's
  // erase_waits-th wait receives it, the erase_waits - 1 before it time out
  // (150: confirmed on the host's last wait; 151: never in time). 0 answers
  // at once. Host bytes during the erase are a violation.
  int erase_waits = 0;
  // Pace every byte at the line rate (10 bits per byte at this baud, on the
  // platform clock), sent and received; 0 = no pacing.
  uint32_t pace_baud = 0;
  std::vector<Fault> faults;
  // Write a transcript of the exchange here (host path); empty = none. One
  // line per direction change: "H> 00" (host to engine), "E> 72" (engine to
  // host), bytes in upper-case hex; "!! <step>: <text>" for a violation,
  // "-- <text>" for a note (fault injected, excused host mistake, mode change).
  std::string transcript_path;
  // Longest gap the engine waits for the host's next byte within an exchange
  // (below the host's 3000 ms pause and 5000 ms read timeout, so that after
  // a failure the engine listens again before the host speaks again). Not 0.
  uint32_t watchdog_ms = 2000;
  // Runs in front of the boot code after every switch into download mode
  // (a loader handshake); none = the boot code listens at once.
  std::shared_ptr<PreBootStage> pre_boot;
};

constexpr uint32_t kMaxFlashSize = 64u * 1024 * 1024;
// How much earlier than erase_waits * 5000 ms the erase answers.
constexpr uint32_t kEraseMarginMs = 200;

// The byte the simulated flash holds at `address` before the first erase:
// address % 251 (never 0xFF, so a write without an erase shows).
uint8_t PreviousFirmwareByte(uint32_t address);

// The engine's line as a stage in front of the boot code sees it. Time is the
// platform clock's.
class EngineLine {
 public:
  static constexpr uint32_t kWaitForever = 0xFFFFFFFFu;
  enum class Rx {
    kByte,     // a byte arrived
    kTimeout,  // nothing within the timeout
    kEnded,    // the engine stopped, or left download mode: return at once
  };
  virtual Rx Receive(uint8_t* byte, uint32_t timeout_ms) = 0;
  // False if the engine stopped or left download mode (nothing sent).
  virtual bool Send(const uint8_t* data, size_t n) = 0;
  // Records a violation at EngineStep::kPreBoot.
  virtual void Violation(const std::string& what) = 0;
  // Adds a note to the transcript.
  virtual void Note(const std::string& text) = 0;

 protected:
  ~EngineLine() = default;
};

// A stage the engine runs after every switch into download mode, before its
// boot code listens (e.g. a loader handshake). Runs on the engine's thread.
class PreBootStage {
 public:
  virtual ~PreBootStage() = default;
  // Serves the line until the boot code may take over (true) or the line
  // ended (false: the engine stopped or left download mode). After a false
  // return with the engine still in download mode, Run is called again.
  virtual bool Run(EngineLine& line) = 0;
};

// One thing the host did wrong, as the engine saw it.
struct Violation {
  // The step the engine was at; a byte where an exchange should begin counts
  // as kAutodetect in the boot code and kCommandAck in the driver.
  EngineStep step;
  std::string what;  // e.g. "no ACK after byte 3 of 4 of the flash size (0x06) within 2000 ms"
};

class SimEngine {
 public:
  explicit SimEngine(EngineConfig config);
  ~SimEngine();  // stops the engine
  SimEngine(const SimEngine&) = delete;
  SimEngine& operator=(const SimEngine&) = delete;

  // Creates a pseudo-terminal and starts serving on a thread (Open, then
  // Serve on a thread of its own that joins the virtual clock if one is
  // installed; returns once it has). slave_path() then names the tty the
  // host opens; with a COM name, the device root's entry of that name is
  // linked to it too. False (platform last error set) if the pseudo-terminal
  // or the link cannot be made, or the configuration is unusable
  // (kErrInvalidParameter: flash_size above kMaxFlashSize, watchdog_ms 0;
  // kErrAccessDenied: the transcript file cannot be created).
  bool Start(const wchar_t* com_name = nullptr);
  // Stops serving: closes the master side, which ends the serving thread's
  // wait, and joins it. The accessors keep working afterwards. Idempotent.
  void Stop();
  const std::string& slave_path() const;

  // Gates the boot code: while false the engine ignores everything (it is
  // in operating mode, not listening for the autodetect byte). True by
  // default. Every change restarts the engine: a running driver is gone,
  // bytes the host sent that the engine has not read yet are lost, and a
  // byte the engine was reading at that moment is kept only if it can start
  // an exchange in the new mode (AUTODETECT_BYTE or START_DWNLD, or any byte
  // for a pre-boot stage). Switch on an idle line.
  void SetDownloadMode(bool on);
  bool DownloadMode() const;

  std::vector<Violation> Violations() const;
  std::vector<uint8_t> Flash() const;           // whole flash (flash_size bytes)
  // Driver bytes as assembled from the blocks of the last download: block
  // count x 256 bytes, block k at (k - 1) * 256; blocks not taken read 0x00.
  std::vector<uint8_t> DriverReceived() const;
  int DriverBlockCount() const;                 // block count the host announced last
  int DriverStarts() const;                     // downloads completed (DWNLD_DONE due, faulted or not)
  int Erases() const;                           // erases carried out
  int BlocksWritten() const;                    // write block commands programmed
  // True once remove driver ended the driver; false again when a download
  // starts a driver.
  bool DriverRemoved() const;
  // Opcodes of the command frames the driver took and ran (past RSP_ACK,
  // also when a fault changed the RSP_ACK), in order.
  std::vector<uint8_t> CommandLog() const;
  int AutodetectsReceived() const;              // AUTODETECT_BYTEs the boot code received
  int FaultsInjected() const;                   // faults applied so far

  // Creates the pseudo-terminal (and the COM link) without serving; Start
  // does this itself. Same results as Start.
  bool Open(const wchar_t* com_name = nullptr);
  // Serves on the calling thread until Stop() is called from another thread.
  // The pseudo-terminal must be open (Open). A caller under a virtual clock
  // that is not the clock's creator must hold a plat::ClockParticipant.
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
