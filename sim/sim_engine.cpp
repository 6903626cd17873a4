// SimEngine: the simulated scan engine's public face. The protocol itself is
// served by engine_session.cpp on the line of engine_line.cpp.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine_session.h"
#include "simulator.h"
#include "transcript.h"

namespace sim {

const char* EngineStepName(EngineStep step) {
  switch (step) {
    case EngineStep::kAutodetect: return "autodetect answer";
    case EngineStep::kDownloadStart: return "download start";
    case EngineStep::kBlockRequest: return "block request";
    case EngineStep::kChecksumRequest: return "checksum request";
    case EngineStep::kDownloadDone: return "download done";
    case EngineStep::kCommandAck: return "command ack";
    case EngineStep::kAckModeDone: return "ack mode done";
    case EngineStep::kFlashSize: return "flash size";
    case EngineStep::kFlashVersion: return "driver version text";
    case EngineStep::kVersionWords: return "version words";
    case EngineStep::kVersionText: return "firmware version text";
    case EngineStep::kEraseDone: return "erase done";
    case EngineStep::kWriteDone: return "write done";
    case EngineStep::kRemoveDone: return "remove done";
    case EngineStep::kPreBoot: return "pre-boot stage";
  }
  return "?";
}

uint8_t PreviousFirmwareByte(uint32_t address) { return static_cast<uint8_t>(address % 251); }

struct SimEngine::Impl {
  explicit Impl(EngineConfig c) : config(std::move(c)), record(config.flash_size <= kMaxFlashSize ? config.flash_size : 0) {}

  EngineConfig config;
  EngineRecord record;
  EngineControl control;
  Transcript transcript;  // the serving thread's once serving starts

  std::mutex mutex;  // guards what follows
  std::atomic<plat::Handle> master{plat::kNoHandle};
  std::string slave_path;
  bool opened = false;
  std::thread thread;
  std::condition_variable joined_cv;
  bool joined = false;
};

SimEngine::SimEngine(EngineConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

SimEngine::~SimEngine() { Stop(); }

bool SimEngine::Open(const wchar_t* com_name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->opened || impl_->control.stopping) {
    plat::SetLastErrorCode(plat::kErrAlreadyExists);
    return false;
  }
  if (impl_->config.flash_size > kMaxFlashSize || impl_->config.watchdog_ms == 0) {
    plat::SetLastErrorCode(plat::kErrInvalidParameter);
    return false;
  }
  if (!impl_->transcript.Open(impl_->config.transcript_path)) {
    plat::SetLastErrorCode(plat::kErrAccessDenied);
    return false;
  }
  plat::PseudoTerminal pty;
  if (!plat::OpenPseudoTerminal(&pty)) return false;
  if (com_name != nullptr && !plat::LinkComPort(com_name, pty.slave_path)) {
    plat::ErrorCode error = plat::LastError();
    plat::CloseHandle(pty.master);
    plat::SetLastErrorCode(error);
    return false;
  }
  impl_->master = pty.master;
  impl_->slave_path = pty.slave_path;
  impl_->opened = true;
  return true;
}

bool SimEngine::Start(const wchar_t* com_name) {
  if (!Open(com_name)) return false;
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->thread = std::thread([this] {
    plat::ClockParticipant participant;
    {
      std::lock_guard<std::mutex> joined_lock(impl_->mutex);
      impl_->joined = true;
    }
    impl_->joined_cv.notify_all();
    Serve();
  });
  impl_->joined_cv.wait(lock, [this] { return impl_->joined; });
  return true;
}

void SimEngine::Serve() {
  plat::Handle master = impl_->master.load();
  if (master == plat::kNoHandle || impl_->control.stopping) return;
  ServeEngine(impl_->config, impl_->record, impl_->control, master, impl_->transcript);
  impl_->transcript.Close();
}

void SimEngine::Stop() {
  impl_->control.stopping = true;
  plat::Handle master = impl_->master.exchange(plat::kNoHandle);
  if (master != plat::kNoHandle) plat::CloseHandle(master);  // ends the serving thread's wait
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    thread = std::move(impl_->thread);
  }
  if (thread.joinable()) thread.join();
}

const std::string& SimEngine::slave_path() const { return impl_->slave_path; }

void SimEngine::SetDownloadMode(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->control.download_mode == on) return;
  impl_->control.download_mode = on;
  ++impl_->control.mode_epoch;
  // The engine restarts: what the host sent and the engine has not read is lost.
  plat::Handle master = impl_->master.load();
  if (master != plat::kNoHandle) plat::PurgeSerial(master, plat::kPurgeRxClear);
}

bool SimEngine::DownloadMode() const { return impl_->control.download_mode; }

namespace {

template <class T>
T Read(const EngineRecord& record, T EngineRecord::*field) {
  std::lock_guard<std::mutex> lock(record.mutex);
  return record.*field;
}

}  // namespace

std::vector<Violation> SimEngine::Violations() const { return Read(impl_->record, &EngineRecord::violations); }
std::vector<uint8_t> SimEngine::Flash() const { return Read(impl_->record, &EngineRecord::flash); }
std::vector<uint8_t> SimEngine::DriverReceived() const { return Read(impl_->record, &EngineRecord::driver); }
std::vector<uint8_t> SimEngine::CommandLog() const { return Read(impl_->record, &EngineRecord::command_log); }
int SimEngine::DriverBlockCount() const { return Read(impl_->record, &EngineRecord::driver_block_count); }
int SimEngine::DriverStarts() const { return Read(impl_->record, &EngineRecord::driver_starts); }
int SimEngine::Erases() const { return Read(impl_->record, &EngineRecord::erases); }
int SimEngine::BlocksWritten() const { return Read(impl_->record, &EngineRecord::blocks_written); }
bool SimEngine::DriverRemoved() const { return Read(impl_->record, &EngineRecord::driver_removed); }
int SimEngine::AutodetectsReceived() const { return Read(impl_->record, &EngineRecord::autodetects); }
int SimEngine::FaultsInjected() const { return Read(impl_->record, &EngineRecord::faults_injected); }

}  // namespace sim
