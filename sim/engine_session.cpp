#include "engine_session.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "engine_line.h"
#include "engine_wire.h"

namespace sim {
namespace {

using Rx = EngineLine::Rx;

// How an exchange ended.
enum class Outcome {
  kDone,     // carried out; the engine listens for the next exchange
  kAbandon,  // the engine went silent (violation or fault): drain, then listen
  kEnded,    // the engine stopped or left download mode
};

enum class State { kBootCode, kDriverStarted, kDriverAckMode };

// How the host answers the bytes of a step.
enum class AckKind {
  kNone,      // not at all
  kEachByte,  // ACK after every byte (data bytes of flash init and firmware version)
  kAfter,     // one ACK after the step (RSP_DONE)
};

constexpr int kStepCount = static_cast<int>(EngineStep::kPreBoot) + 1;
constexpr size_t kDriverVersionMax = 127;    // characters the host takes, NUL excluded
constexpr size_t kFirmwareVersionMax = 255;

std::string Format(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::string Format(const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  return text;
}

std::string Hex(const uint8_t* data, size_t n) {
  std::string out;
  char byte[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", data[i]);
    out += byte;
  }
  return out;
}

const char* FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kNone: return "none";
    case FaultKind::kSilence: return "silence";
    case FaultKind::kWrongByte: return "wrong byte";
    case FaultKind::kBadChecksum: return "bad checksum";
    case FaultKind::kStrayByte: return "stray byte";
  }
  return "?";
}

bool IsSilent(const Fault* fault) {
  return fault != nullptr && (fault->kind == FaultKind::kSilence || fault->kind == FaultKind::kBadChecksum);
}

class EngineSession {
 public:
  EngineSession(const EngineConfig& config, EngineRecord& record, const EngineControl& control,
                plat::Handle master, Transcript& transcript)
      : config_(config),
        record_(record),
        control_(control),
        transcript_(transcript),
        line_(master, config.pace_baud, &transcript, {&control.stopping, &control.mode_epoch},
              [this](const std::string& what) { Record(EngineStep::kPreBoot, what); }),
        seen_epoch_(control.mode_epoch.load()) {}

  void Run();

 private:
  // Exchanges.
  Outcome ServeBootCode();
  Outcome Autodetect();
  Outcome Download();
  Outcome ServeBlock(int block, int count);
  Outcome ServeDriver();
  Outcome AckMode();
  Outcome FlashInit();
  Outcome RemoveDriver();
  Outcome FirmwareVersion();
  Outcome Erase();
  Outcome WriteBlock(const uint8_t* frame);

  // Line primitives. Each returns kDone when the host did as expected.
  Outcome ReadBytes(uint8_t* data, size_t n, const char* what);
  Outcome Expect(uint8_t expected, const char* what);
  Outcome ExpectNothing(const char* before);
  Outcome Send(const uint8_t* data, size_t n, const char* what);
  // Sends the bytes of a step, with the step's fault and the host's ACKs.
  Outcome Answer(EngineStep step, const Fault* fault, const uint8_t* data, size_t n, AckKind ack);
  // Enters a step whose only work is its answer: takes the step's fault and
  // answers (nothing on silence).
  Outcome Step(EngineStep step, const uint8_t* data, size_t n, AckKind ack);
  Outcome SendText(EngineStep step, const std::string& text, size_t max_length);
  void Drain();

  // Faults, violations and notes.
  const Fault* TakeFault(EngineStep step, uint8_t opcode = 0);
  Outcome Violate(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Excuse(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Record(EngineStep step, const std::string& what);
  void Note(const std::string& text) { transcript_.Line("-- " + text); }
  void ApplyModeChange(bool download_mode);
  std::vector<int> BlockRequests(int count) const;

  const EngineConfig& config_;
  EngineRecord& record_;
  const EngineControl& control_;
  Transcript& transcript_;
  PtyLine line_;

  uint32_t seen_epoch_;
  State state_ = State::kBootCode;
  bool pre_boot_done_ = false;
  // Outside the protocol since a fault or an out-of-spec value: host mistakes
  // are excused until the next well-formed start of an exchange.
  bool excused_ = false;
  EngineStep step_ = EngineStep::kAutodetect;
  std::array<int, kStepCount> step_counts_{};
  std::array<int, 256> command_counts_{};
};

void EngineSession::Run() {
  while (!line_.Stopped()) {
    uint32_t epoch = control_.mode_epoch.load();
    bool download_mode = control_.download_mode.load();
    if (epoch != seen_epoch_) {
      seen_epoch_ = epoch;
      ApplyModeChange(download_mode);
    }
    line_.Arm(epoch);
    if (!download_mode) {
      uint8_t ignored;
      if (line_.Receive(&ignored, EngineLine::kWaitForever) == Rx::kByte) Note("ignored: the engine is in operating mode");
      continue;
    }
    if (config_.pre_boot && !pre_boot_done_) {
      step_ = EngineStep::kPreBoot;
      if (config_.pre_boot->Run(line_)) {
        pre_boot_done_ = true;
        Note("pre-boot stage done: the boot code listens");
      }
      continue;
    }
    Outcome outcome = state_ == State::kBootCode ? ServeBootCode() : ServeDriver();
    if (outcome == Outcome::kAbandon) Drain();
  }
}

void EngineSession::ApplyModeChange(bool download_mode) {
  state_ = State::kBootCode;
  pre_boot_done_ = false;
  excused_ = false;
  Note(download_mode ? "download mode: the engine restarts" : "operating mode: the engine ignores the line");
  // A byte the engine was reading while the mode changed may be the host's
  // last byte before the change (lost in the restart) or its first byte
  // after it. It is kept only if it can start an exchange in the new mode.
  uint8_t byte = 0;
  if (!line_.HasPending(&byte)) return;
  bool starts_exchange = config_.pre_boot != nullptr || byte == wire::kAutodetectByte || byte == wire::kStartDwnld;
  if (!download_mode || !starts_exchange) {
    line_.DropPending();
    char text[64];
    std::snprintf(text, sizeof text, "0x%02X lost in the mode change", byte);
    Note(text);
  }
}

// ---------------------------------------------------------------------------
// Boot code

Outcome EngineSession::ServeBootCode() {
  step_ = EngineStep::kAutodetect;
  uint8_t byte;
  if (line_.Receive(&byte, EngineLine::kWaitForever) != Rx::kByte) return Outcome::kEnded;
  if (byte == wire::kAutodetectByte) {
    excused_ = false;
    return Autodetect();
  }
  if (byte == wire::kStartDwnld) {
    excused_ = false;
    return Download();
  }
  return Violate("boot code: unexpected byte 0x%02X (it takes AUTODETECT_BYTE 0x00 or START_DWNLD 0xAA)", byte);
}

Outcome EngineSession::Autodetect() {
  {
    std::lock_guard<std::mutex> lock(record_.mutex);
    ++record_.autodetects;
  }
  const Fault* fault = TakeFault(EngineStep::kAutodetect);
  if (IsSilent(fault)) return Outcome::kDone;  // the boot code listens for the next byte
  return Answer(EngineStep::kAutodetect, fault, &config_.autodetect_rsp, 1, AckKind::kNone);
}

std::vector<int> EngineSession::BlockRequests(int count) const {
  std::vector<int> blocks;
  int repeat = std::max(1, config_.repeat_count);
  switch (config_.block_order) {
    case BlockOrder::kInOrder:
      for (int k = 1; k <= count; ++k) blocks.push_back(k);
      break;
    case BlockOrder::kRepeatEach:
      for (int k = 1; k <= count; ++k) blocks.insert(blocks.end(), repeat, k);
      break;
    case BlockOrder::kReverse:
      for (int k = count; k >= 1; --k) blocks.push_back(k);
      break;
    case BlockOrder::kNone:
      break;
  }
  for (uint8_t k : config_.extra_block_requests) blocks.push_back(k);
  return blocks;
}

Outcome EngineSession::Download() {
  {
    std::lock_guard<std::mutex> lock(record_.mutex);
    record_.driver.clear();
    record_.driver_block_count = 0;
  }
  Outcome outcome = Step(EngineStep::kDownloadStart, &wire::kDwnldRsp, 1, AckKind::kNone);
  if (outcome != Outcome::kDone) return outcome;

  uint8_t count = 0;
  outcome = ReadBytes(&count, 1, "the driver's block count");
  if (outcome != Outcome::kDone) return outcome;
  if (count == 0) return Violate("driver download: block count 0 (a driver has 1 to 255 blocks)");
  {
    std::lock_guard<std::mutex> lock(record_.mutex);
    record_.driver_block_count = count;
    record_.driver.assign(size_t{count} * wire::kBlockSize, 0);
  }
  for (int block : BlockRequests(count)) {
    outcome = ServeBlock(block, count);
    if (outcome != Outcome::kDone) return outcome;
  }

  {
    std::lock_guard<std::mutex> lock(record_.mutex);
    ++record_.driver_starts;
    record_.driver_removed = false;
  }
  state_ = State::kDriverStarted;
  Note("the flash driver starts");
  return Step(EngineStep::kDownloadDone, &wire::kDwnldDone, 1, AckKind::kNone);
}

Outcome EngineSession::ServeBlock(int block, int count) {
  bool beyond = block < 1 || block > count;
  if (beyond) Note("requesting block " + std::to_string(block) + " of " + std::to_string(count) + ": outside the driver");
  const uint8_t request[2] = {wire::kBlockReq, static_cast<uint8_t>(block)};
  Outcome outcome = Step(EngineStep::kBlockRequest, request, 2, AckKind::kNone);
  if (outcome != Outcome::kDone) return outcome;

  uint8_t data[wire::kBlockSize];
  if (beyond) {
    // A correct host refuses a block it does not have and says nothing.
    Rx rx = line_.Receive(&data[0], config_.watchdog_ms);
    if (rx == Rx::kEnded) return Outcome::kEnded;
    if (rx == Rx::kTimeout) {
      Note("the host refused block " + std::to_string(block));
      return Outcome::kAbandon;
    }
    return Violate("driver download: the host served block %d, but its block count is %d", block, count);
  }
  char what[64];
  std::snprintf(what, sizeof what, "driver block %d", block);
  outcome = ReadBytes(data, sizeof data, what);
  if (outcome != Outcome::kDone) return outcome;

  step_ = EngineStep::kChecksumRequest;
  const Fault* fault = TakeFault(step_);
  bool bad_checksum = fault != nullptr && fault->kind == FaultKind::kBadChecksum;
  if (fault != nullptr && fault->kind == FaultKind::kSilence) return Outcome::kAbandon;
  outcome = Answer(step_, bad_checksum ? nullptr : fault, &wire::kChkReq, 1, AckKind::kNone);
  if (outcome != Outcome::kDone) return outcome;
  uint8_t sum[wire::kChecksumSize];
  std::snprintf(what, sizeof what, "checksum of driver block %d", block);
  outcome = ReadBytes(sum, sizeof sum, what);
  if (outcome != Outcome::kDone) return outcome;
  if (bad_checksum) return Outcome::kAbandon;
  uint32_t sent = wire::BigEndian32(sum);
  uint32_t want = wire::BlockChecksum(data, sizeof data);
  if (sent != want) {
    return Violate("driver block %d: checksum 0x%08X from the host, the block gives 0x%08X", block, sent, want);
  }
  std::lock_guard<std::mutex> lock(record_.mutex);
  std::copy(data, data + sizeof data, record_.driver.begin() + static_cast<ptrdiff_t>((block - 1) * wire::kBlockSize));
  return Outcome::kDone;
}

// ---------------------------------------------------------------------------
// Flash driver

Outcome EngineSession::ServeDriver() {
  step_ = EngineStep::kCommandAck;
  uint8_t frame[wire::kFrameSize + wire::kChecksumSize];
  if (line_.Receive(&frame[0], EngineLine::kWaitForever) != Rx::kByte) return Outcome::kEnded;
  if (frame[0] != 0x00) {
    return Violate("driver: byte 0x%02X where a command frame should begin (frames start with 0x00)", frame[0]);
  }
  Outcome outcome = ReadBytes(frame + 1, sizeof frame - 1, "the rest of a command frame and its checksum");
  if (outcome != Outcome::kDone) return outcome;
  std::string shown = Hex(frame, wire::kFrameSize);
  uint32_t sent = wire::BigEndian32(frame + wire::kFrameSize);
  uint32_t want = wire::BlockChecksum(frame, wire::kFrameSize);
  if (sent != want) {
    return Violate("command frame %s: checksum 0x%08X from the host, the frame gives 0x%08X", shown.c_str(), sent,
                   want);
  }
  excused_ = false;  // a well-formed frame starts a fresh exchange

  uint8_t opcode = frame[1];
  size_t first_reserved = opcode == wire::kCmdWriteBlock ? 8 : 2;
  switch (opcode) {
    case wire::kCmdAckMode:
    case wire::kCmdFlashInit:
    case wire::kCmdRemoveDriver:
    case wire::kCmdFirmwareVersion:
    case wire::kCmdEraseAll:
    case wire::kCmdWriteBlock:
      break;
    default:
      return Violate("command frame %s: unknown opcode 0x%02X", shown.c_str(), opcode);
  }
  for (size_t i = first_reserved; i < wire::kFrameSize; ++i) {
    if (frame[i] != 0) {
      return Violate("command frame %s: parameter byte %zu is 0x%02X, must be 0x00 for opcode 0x%02X", shown.c_str(), i,
                     frame[i], opcode);
    }
  }
  if (state_ == State::kDriverStarted && opcode != wire::kCmdAckMode) {
    return Violate("command 0x%02X before the ack mode request (frame %s)", opcode, shown.c_str());
  }

  const Fault* fault = TakeFault(step_, opcode);
  if (IsSilent(fault)) return Outcome::kAbandon;  // as if the frame were damaged
  outcome = Answer(step_, fault, &wire::kRspAck, 1, AckKind::kNone);
  if (outcome != Outcome::kDone) return outcome;
  {
    std::lock_guard<std::mutex> lock(record_.mutex);
    record_.command_log.push_back(opcode);
  }
  switch (opcode) {
    case wire::kCmdAckMode: return AckMode();
    case wire::kCmdFlashInit: return FlashInit();
    case wire::kCmdRemoveDriver: return RemoveDriver();
    case wire::kCmdFirmwareVersion: return FirmwareVersion();
    case wire::kCmdEraseAll: return Erase();
    default: return WriteBlock(frame);
  }
}

Outcome EngineSession::AckMode() {
  state_ = State::kDriverAckMode;
  return Step(EngineStep::kAckModeDone, &wire::kRspDone, 1, AckKind::kAfter);
}

Outcome EngineSession::FlashInit() {
  Outcome outcome = Expect(wire::kAck, "ACK after RSP_ACK of flash init");
  if (outcome != Outcome::kDone) return outcome;
  uint32_t size = config_.flash_size;
  const uint8_t bytes[4] = {static_cast<uint8_t>(size >> 24), static_cast<uint8_t>(size >> 16),
                            static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
  outcome = Step(EngineStep::kFlashSize, bytes, sizeof bytes, AckKind::kEachByte);
  if (outcome != Outcome::kDone) return outcome;
  return SendText(EngineStep::kFlashVersion, config_.driver_version, kDriverVersionMax);
}

Outcome EngineSession::RemoveDriver() {
  Outcome outcome = Expect(wire::kAck, "ACK after RSP_ACK of remove driver");
  if (outcome != Outcome::kDone) return outcome;
  state_ = State::kBootCode;
  {
    std::lock_guard<std::mutex> lock(record_.mutex);
    record_.driver_removed = true;
  }
  Note("the flash driver ends: back to the boot code");
  return Step(EngineStep::kRemoveDone, &wire::kRspDone, 1, AckKind::kAfter);
}

Outcome EngineSession::FirmwareVersion() {
  Outcome outcome = Expect(wire::kAck, "ACK after RSP_ACK of firmware version");
  if (outcome != Outcome::kDone) return outcome;
  uint8_t words[8];
  for (int i = 0; i < 4; ++i) {
    words[2 * i] = static_cast<uint8_t>(config_.version_words[i] >> 8);
    words[2 * i + 1] = static_cast<uint8_t>(config_.version_words[i]);
  }
  outcome = Step(EngineStep::kVersionWords, words, sizeof words, AckKind::kEachByte);
  if (outcome != Outcome::kDone) return outcome;
  return SendText(EngineStep::kVersionText, config_.firmware_version, kFirmwareVersionMax);
}

Outcome EngineSession::Erase() {
  Outcome outcome = Expect(wire::kAck, "ACK after RSP_ACK of erase");
  if (outcome != Outcome::kDone) return outcome;
  {
    std::lock_guard<std::mutex> lock(record_.mutex);
    std::fill(record_.flash.begin(), record_.flash.end(), uint8_t{0xFF});
    std::fill(record_.flash_state.begin(), record_.flash_state.end(), FlashByteState::kErased);
    ++record_.erases;
  }
  step_ = EngineStep::kEraseDone;
  uint64_t silent_ms = uint64_t{static_cast<uint32_t>(std::max(0, config_.erase_waits))} * wire::kHostReadTimeoutMs;
  if (silent_ms > kEraseMarginMs) {
    silent_ms = std::min<uint64_t>(silent_ms - kEraseMarginMs, EngineLine::kWaitForever - 1);
    uint8_t byte;
    Rx rx = line_.Receive(&byte, static_cast<uint32_t>(silent_ms));
    if (rx == Rx::kEnded) return Outcome::kEnded;
    if (rx == Rx::kByte) return Violate("the host sent 0x%02X during the erase", byte);
  }
  return Step(step_, &wire::kRspDone, 1, AckKind::kAfter);
}

Outcome EngineSession::WriteBlock(const uint8_t* frame) {
  uint32_t count = (uint32_t{frame[2]} << 8) | frame[3];
  uint32_t address = wire::BigEndian32(frame + 4);
  Outcome outcome = Expect(wire::kAck, "ACK after RSP_ACK of write block");
  if (outcome != Outcome::kDone) return outcome;
  step_ = EngineStep::kWriteDone;
  if (count == 0) return Violate("write block at 0x%08X with byte count 0", address);
  std::vector<uint8_t> data(count);
  outcome = ReadBytes(data.data(), count, "write block data");
  if (outcome != Outcome::kDone) return outcome;
  uint8_t sum[wire::kChecksumSize];
  outcome = ReadBytes(sum, sizeof sum, "write block checksum");
  if (outcome != Outcome::kDone) return outcome;

  const Fault* fault = TakeFault(step_);
  if (fault != nullptr && fault->kind == FaultKind::kBadChecksum) return Outcome::kAbandon;
  uint32_t sent = wire::BigEndian32(sum);
  uint32_t want = wire::BlockChecksum(data.data(), count);
  if (sent != want) {
    return Violate("write block at 0x%08X: data checksum 0x%08X from the host, the data give 0x%08X", address, sent,
                   want);
  }
  if (uint64_t{address} + count > config_.flash_size) {
    return Violate("write block of %u bytes at 0x%08X lies outside the flash (%u bytes)", count, address,
                   config_.flash_size);
  }
  bool busy = false;
  bool never_erased = false;
  {
    std::lock_guard<std::mutex> lock(record_.mutex);
    auto first = record_.flash_state.begin() + address;
    auto found = std::find_if(first, first + count, [](FlashByteState s) { return s != FlashByteState::kErased; });
    if (found != first + count) {
      busy = true;
      never_erased = *found == FlashByteState::kPrevious;
      address += static_cast<uint32_t>(found - first);  // the first byte that is not erased
    } else {
      std::copy(data.begin(), data.end(), record_.flash.begin() + address);
      std::fill(first, first + count, FlashByteState::kProgrammed);
      ++record_.blocks_written;
    }
  }
  if (busy) {
    uint32_t start = wire::BigEndian32(frame + 4);
    return Violate("write block of %u bytes at 0x%08X: byte 0x%08X is not erased (%s)", count, start, address,
                   never_erased ? "never erased" : "already written since the erase");
  }
  if (IsSilent(fault)) return Outcome::kAbandon;
  return Answer(step_, fault, &wire::kRspDone, 1, AckKind::kAfter);
}

// ---------------------------------------------------------------------------
// Line primitives

Outcome EngineSession::ReadBytes(uint8_t* data, size_t n, const char* what) {
  for (size_t i = 0; i < n; ++i) {
    Rx rx = line_.Receive(&data[i], config_.watchdog_ms);
    if (rx == Rx::kEnded) return Outcome::kEnded;
    if (rx == Rx::kTimeout) {
      return Violate("%s: %zu of %zu bytes arrived, then nothing for %u ms", what, i, n, config_.watchdog_ms);
    }
  }
  return Outcome::kDone;
}

Outcome EngineSession::Expect(uint8_t expected, const char* what) {
  uint8_t byte;
  Rx rx = line_.Receive(&byte, config_.watchdog_ms);
  if (rx == Rx::kEnded) return Outcome::kEnded;
  if (rx == Rx::kTimeout) return Violate("no %s (0x%02X) within %u ms", what, expected, config_.watchdog_ms);
  if (byte != expected) return Violate("expected %s (0x%02X), the host sent 0x%02X", what, expected, byte);
  return Outcome::kDone;
}

Outcome EngineSession::ExpectNothing(const char* before) {
  uint8_t byte;
  Rx rx = line_.Poll(&byte);
  if (rx == Rx::kEnded) return Outcome::kEnded;
  if (rx == Rx::kByte) return Violate("the host sent 0x%02X before %s, when no byte was expected", byte, before);
  return Outcome::kDone;
}

Outcome EngineSession::Send(const uint8_t* data, size_t n, const char* what) {
  Outcome outcome = ExpectNothing(what);
  if (outcome != Outcome::kDone) return outcome;
  return line_.Send(data, n) ? Outcome::kDone : Outcome::kEnded;
}

Outcome EngineSession::Answer(EngineStep step, const Fault* fault, const uint8_t* data, size_t n, AckKind ack) {
  const char* name = EngineStepName(step);
  char what[96];
  std::vector<uint8_t> bytes(data, data + n);
  if (fault != nullptr && fault->kind == FaultKind::kWrongByte) bytes[0] = fault->fault_byte;
  if (fault != nullptr && fault->kind == FaultKind::kStrayByte) {
    if (ack == AckKind::kEachByte) {
      std::snprintf(what, sizeof what, "the stray byte before the %s", name);
      Outcome outcome = Send(&fault->fault_byte, 1, what);
      if (outcome == Outcome::kDone) outcome = Expect(wire::kAck, "ACK of the stray byte");
      if (outcome != Outcome::kDone) return outcome;
    } else {
      // Back to back with the answer, as a line glitch would put it: a host
      // that reacts to the stray byte at once must not find the answer missing.
      bytes.insert(bytes.begin(), fault->fault_byte);
    }
  }
  if (ack != AckKind::kEachByte) {
    std::snprintf(what, sizeof what, "the %s", name);
    Outcome outcome = Send(bytes.data(), bytes.size(), what);
    if (outcome != Outcome::kDone || ack == AckKind::kNone) return outcome;
    std::snprintf(what, sizeof what, "ACK after the %s", name);
    return Expect(wire::kAck, what);
  }
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(what, sizeof what, "byte %zu of %zu of the %s", i + 1, n, name);
    Outcome outcome = Send(&bytes[i], 1, what);
    if (outcome != Outcome::kDone) return outcome;
    std::snprintf(what, sizeof what, "ACK after byte %zu of %zu of the %s", i + 1, n, name);
    outcome = Expect(wire::kAck, what);
    if (outcome != Outcome::kDone) return outcome;
  }
  return Outcome::kDone;
}

Outcome EngineSession::Step(EngineStep step, const uint8_t* data, size_t n, AckKind ack) {
  step_ = step;
  const Fault* fault = TakeFault(step);
  if (IsSilent(fault)) return Outcome::kAbandon;
  return Answer(step, fault, data, n, ack);
}

Outcome EngineSession::SendText(EngineStep step, const std::string& text, size_t max_length) {
  step_ = step;
  if (text.size() > max_length) {
    Excuse("the %s has %zu characters, more than the host takes (%zu)", EngineStepName(step), text.size(), max_length);
  }
  if (text.find('\0') != std::string::npos) Excuse("the %s holds a NUL", EngineStepName(step));
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.c_str());
  return Step(step, bytes, text.size() + 1, AckKind::kEachByte);
}

void EngineSession::Drain() {
  uint8_t byte;
  int dropped = 0;
  while (line_.Receive(&byte, config_.watchdog_ms) == Rx::kByte) ++dropped;
  if (dropped > 0) Note("dropped " + std::to_string(dropped) + " bytes until the line was quiet");
}

// ---------------------------------------------------------------------------
// Faults, violations and notes

const Fault* EngineSession::TakeFault(EngineStep step, uint8_t opcode) {
  int occurrence = ++step_counts_[static_cast<int>(step)];
  int opcode_occurrence = step == EngineStep::kCommandAck ? ++command_counts_[opcode] : 0;
  for (const Fault& fault : config_.faults) {
    if (fault.kind == FaultKind::kNone || fault.step != step) continue;
    int n = occurrence;
    if (step == EngineStep::kCommandAck && fault.opcode != 0) {
      if (fault.opcode != opcode) continue;
      n = opcode_occurrence;
    }
    if (fault.occurrence != 0 && fault.occurrence != n) continue;
    {
      std::lock_guard<std::mutex> lock(record_.mutex);
      ++record_.faults_injected;
    }
    excused_ = true;
    char text[128];
    std::snprintf(text, sizeof text, "fault: %s at the %s (occurrence %d), byte 0x%02X", FaultName(fault.kind),
                  EngineStepName(step), n, fault.fault_byte);
    Note(text);
    return &fault;
  }
  return nullptr;
}

Outcome EngineSession::Violate(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string what = Format(format, args);
  va_end(args);
  if (excused_) {
    Note("excused: " + what);
  } else {
    Record(step_, what);
  }
  return Outcome::kAbandon;
}

void EngineSession::Excuse(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string what = Format(format, args);
  va_end(args);
  excused_ = true;
  Note("outside the protocol: " + what);
}

void EngineSession::Record(EngineStep step, const std::string& what) {
  transcript_.Line(std::string("!! ") + EngineStepName(step) + ": " + what);
  std::lock_guard<std::mutex> lock(record_.mutex);
  record_.violations.push_back({step, what});
}

}  // namespace

EngineRecord::EngineRecord(uint32_t flash_size)
    : flash(flash_size), flash_state(flash_size, FlashByteState::kPrevious) {
  for (uint32_t a = 0; a < flash_size; ++a) flash[a] = PreviousFirmwareByte(a);
}

void ServeEngine(const EngineConfig& config, EngineRecord& record, const EngineControl& control,
                 plat::Handle master, Transcript& transcript) {
  EngineSession session(config, record, control, master, transcript);
  session.Run();
}

}  // namespace sim
