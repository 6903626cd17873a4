// The built command-line tools (fwflash, fwsample, fwsim), run as child
// processes the way a technician runs them from a shell: to completion, or in
// the background with the standard output read line by line. The children run
// on the real clock, so every wait here has a real-time bound that a hung
// child runs into instead of hanging the test.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace childproc {

constexpr int kChildDeadline_ms = 60000;  // a guard against a hung child, never reached when all is well

struct ChildResult {
  int status = -1;  // exit status, or -1 if the child did not exit normally
  std::string out;
  std::string err;
};

// The exit status and both streams, for failure messages.
std::ostream& operator<<(std::ostream& out, const ChildResult& result);

// Host path of a built tool: "fwflash", "fwsample" or "fwsim".
std::string ToolPath(const std::string& tool);

// Runs a tool to completion. With on_terminal, its standard output is a
// pseudo-terminal in raw mode (no line-end translation); otherwise a pipe.
ChildResult RunTool(const std::string& tool, const std::vector<std::string>& args, bool on_terminal = false,
                int deadline_ms = kChildDeadline_ms);

// A tool running in the background. Its standard output is read line by line;
// its standard error goes to an unlinked temporary file, so a child that
// writes much there never blocks on it. A child still running when the object
// goes is killed and reaped.
class Background {
 public:
  Background(const std::string& tool, const std::vector<std::string>& args);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // The next line of standard output, without its "\n". False at the end of
  // the output or once timeout_ms has passed.
  bool ReadLine(std::string* line, int timeout_ms);
  // Reads lines until one equals `wanted`; false at the end of the output or
  // once timeout_ms has passed.
  bool WaitForLine(const std::string& wanted, int timeout_ms);
  bool Signal(int signal_number);
  // Stops reading: the child's standard output becomes a pipe nobody reads
  // (a shell pipeline whose reader has gone).
  void CloseOutput();
  // Waits up to timeout_ms for the child to exit and returns its status, all
  // of its standard output (lines already read included) and its standard
  // error. A child still running then is killed (status -1, a test failure).
  ChildResult Finish(int timeout_ms);
  // Kills the child and returns what Finish does; for failure messages.
  ChildResult Kill();

 private:
  // Waits up to wait_ms for standard output and takes what has come.
  void ReadMore(int64_t wait_ms);

  std::string tool_;
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;      // all standard output read so far
  std::string pending_;  // the part of it not yet returned as lines
};

}  // namespace childproc
