// Helpers shared by the test executables: a throw-away device root and a
// capture of the debugger output (where every trace line also goes).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"

namespace testsupport {

// A fresh device root in a temporary folder, with "My Documents" and
// "Windows", installed as FLASHWRIGHT_ROOT for the fixture's lifetime
// (the previous value is restored afterwards). Removed on destruction.
class TempDeviceRoot {
 public:
  explicit TempDeviceRoot(bool with_folders = true);
  ~TempDeviceRoot();
  TempDeviceRoot(const TempDeviceRoot&) = delete;
  TempDeviceRoot& operator=(const TempDeviceRoot&) = delete;

  const std::string& path() const { return path_; }
  // Host path of a path relative to the root ("My Documents/flwright.log").
  std::string Host(const std::string& relative) const { return path_ + "/" + relative; }
  // Copies the simulated event-log library in as "Windows/QZTEventLog.dll".
  void InstallEventLogLibrary() const;

 private:
  std::string path_;
  std::string previous_root_;
  bool had_previous_root_ = false;
};

// Captures the debugger output (narrowed to UTF-8) while it lives.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  // Every message received, in order.
  std::vector<std::string> Messages() const;
  // All messages concatenated.
  std::string Text() const;
  bool Contains(const std::string& needle) const;
  // Number of messages that contain needle.
  int Count(const std::string& needle) const;
  void Clear();

 private:
  static void Sink(void* context, const wchar_t* text);
  struct State;
  State* state_;
  plat::DebugSink previous_sink_ = nullptr;
  void* previous_context_ = nullptr;
};

// Runs `body` on a thread that takes part in the installed virtual clock. The
// constructor returns once the thread has joined the clock, so the test thread
// cannot move time on without it. Join() waits on the clock (a plain join
// would hold virtual time still while the body sleeps on it).
class ClockThread {
 public:
  explicit ClockThread(std::function<void()> body);
  ~ClockThread();
  ClockThread(const ClockThread&) = delete;
  ClockThread& operator=(const ClockThread&) = delete;
  void Join();
  bool finished() const { return finished_; }

 private:
  std::thread thread_;
  std::atomic<bool> finished_{false};
};

std::string ReadHostFile(const std::string& path);
void WriteHostFile(const std::string& path, const std::string& data);
bool HostFileExists(const std::string& path);

}  // namespace testsupport
