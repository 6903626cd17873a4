#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

namespace testsupport {

TempDeviceRoot::TempDeviceRoot(bool with_folders) {
  if (const char* prev = std::getenv("FLASHWRIGHT_ROOT")) {
    had_previous_root_ = true;
    previous_root_ = prev;
  }
  std::string tmpl = (fs::temp_directory_path() / "fwroot-XXXXXX").string();
  char* made = mkdtemp(tmpl.data());
  EXPECT_NE(made, nullptr) << "cannot create a temporary device root";
  path_ = tmpl;
  if (with_folders) {
    fs::create_directories(path_ + "/My Documents");
    fs::create_directories(path_ + "/Windows");
  }
  setenv("FLASHWRIGHT_ROOT", path_.c_str(), 1);
}

TempDeviceRoot::~TempDeviceRoot() {
  if (had_previous_root_) {
    setenv("FLASHWRIGHT_ROOT", previous_root_.c_str(), 1);
  } else {
    unsetenv("FLASHWRIGHT_ROOT");
  }
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempDeviceRoot::InstallEventLogLibrary() const {
  fs::copy_file(std::string(FLASHWRIGHT_SIMLIB_DIR) + "/QZTEventLog.dll",
                path_ + "/Windows/QZTEventLog.dll", fs::copy_options::overwrite_existing);
}

struct DebugCapture::State {
  mutable std::mutex mutex;
  std::vector<std::string> messages;
};

DebugCapture::DebugCapture() : state_(new State) {
  plat::SetDebugSink(&DebugCapture::Sink, this, &previous_sink_, &previous_context_);
}

DebugCapture::~DebugCapture() {
  plat::SetDebugSink(previous_sink_, previous_context_);
  delete state_;
}

void DebugCapture::Sink(void* context, const wchar_t* text) {
  auto* self = static_cast<DebugCapture*>(context);
  std::string narrow = plat::Narrow(text);
  std::lock_guard<std::mutex> lock(self->state_->mutex);
  self->state_->messages.push_back(std::move(narrow));
}

std::vector<std::string> DebugCapture::Messages() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->messages;
}

std::string DebugCapture::Text() const {
  std::string all;
  for (const auto& m : Messages()) all += m;
  return all;
}

bool DebugCapture::Contains(const std::string& needle) const { return Count(needle) > 0; }

int DebugCapture::Count(const std::string& needle) const {
  int n = 0;
  for (const auto& m : Messages()) {
    if (m.find(needle) != std::string::npos) ++n;
  }
  return n;
}

void DebugCapture::Clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->messages.clear();
}

ClockThread::ClockThread(std::function<void()> body) {
  std::atomic<bool> joined{false};
  thread_ = std::thread([this, &joined, body = std::move(body)] {
    plat::ClockParticipant participant;
    joined = true;
    body();
    finished_ = true;
  });
  while (!joined) std::this_thread::yield();
}

ClockThread::~ClockThread() {
  if (thread_.joinable()) Join();
}

void ClockThread::Join() {
  while (!finished_) plat::SleepMs(10);
  thread_.join();
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteHostFile(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

bool HostFileExists(const std::string& path) { return fs::exists(path); }

}  // namespace testsupport
