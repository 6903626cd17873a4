#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace childproc {

namespace {

constexpr int kPoll_ms = 2;       // how often a child's exit is looked for
constexpr int kDrain_ms = 1000;   // for the rest of an ended child's output

struct Tool {
  const char* name;
  const char* folder;  // in the build folder
};

const Tool kTools[] = {{"fwflash", "app"}, {"fwsample", "app"}, {"fwsim", "sim"}};

// Real milliseconds: the children run on the real clock whatever clock the
// test has installed, so their bounds do too.
int64_t RealNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Starts `tool` with its standard output and error on the given descriptors.
// The child's pid, or -1 (a test failure).
pid_t Spawn(const std::string& tool, const std::vector<std::string>& args, int out_fd, int err_fd) {
  const std::string binary = ToolPath(tool);
  std::vector<char*> argv = {const_cast<char*>(binary.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << binary << ": " << strerror(spawned);
    return -1;
  }
  return pid;
}

// Reads both streams until they close. False if the deadline passed first.
bool Drain(int out_fd, int err_fd, int64_t deadline_ms, ChildResult* result) {
  struct Stream {
    int fd;
    std::string* text;
  } streams[2] = {{out_fd, &result->out}, {err_fd, &result->err}};
  for (;;) {
    pollfd fds[2];
    int n = 0;
    for (const Stream& s : streams) {
      if (s.fd >= 0) fds[n++] = {s.fd, POLLIN, 0};
    }
    if (n == 0) return true;
    const int64_t now = RealNowMs();
    if (now >= deadline_ms || poll(fds, static_cast<nfds_t>(n), static_cast<int>(deadline_ms - now)) <= 0) {
      for (const Stream& s : streams) {
        if (s.fd >= 0) close(s.fd);
      }
      return false;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      for (Stream& s : streams) {
        if (s.fd != fds[i].fd) continue;
        char buffer[4096];
        ssize_t got = read(s.fd, buffer, sizeof(buffer));
        if (got > 0) {
          s.text->append(buffer, static_cast<size_t>(got));
        } else {  // end of a pipe, or EIO once a pseudo-terminal's last user is gone
          close(s.fd);
          s.fd = -1;
        }
      }
    }
  }
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const ChildResult& result) {
  return out << "exit status " << result.status << "\n--- standard output\n"
             << result.out << "\n--- standard error\n" << result.err;
}

std::string ToolPath(const std::string& tool) {
  for (const Tool& t : kTools) {
    if (tool == t.name) return std::string(FLASHWRIGHT_BIN_DIR) + "/" + t.folder + "/" + t.name;
  }
  ADD_FAILURE() << "no tool named " << tool;
  return tool;
}

ChildResult RunTool(const std::string& tool, const std::vector<std::string>& args, bool on_terminal, int deadline_ms) {
  ChildResult result;
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (on_terminal) {
    termios raw{};
    cfmakeraw(&raw);
    EXPECT_EQ(openpty(&out[0], &out[1], nullptr, &raw, nullptr), 0);
    fcntl(out[0], F_SETFD, FD_CLOEXEC);
    fcntl(out[1], F_SETFD, FD_CLOEXEC);
  } else {
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  }
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  const pid_t pid = Spawn(tool, args, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return result;
  }
  if (!Drain(out[0], err[0], RealNowMs() + deadline_ms, &result)) {
    ADD_FAILURE() << tool << " did not finish within " << deadline_ms << " ms; output so far:\n"
                  << result.out << result.err;
    kill(pid, SIGKILL);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  return result;
}

Background::Background(const std::string& tool, const std::vector<std::string>& args) : tool_(tool) {
  int out[2] = {-1, -1};
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  std::string name = (std::filesystem::temp_directory_path() / "fwtool-err-XXXXXX").string();
  err_fd_ = mkostemp(name.data(), O_CLOEXEC);
  EXPECT_GE(err_fd_, 0) << "cannot create a file for the standard error";
  if (err_fd_ >= 0) unlink(name.c_str());
  pid_ = Spawn(tool, args, out[1], err_fd_);
  close(out[1]);
  out_fd_ = out[0];
}

Background::~Background() {
  if (pid_ > 0) Kill();
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

void Background::ReadMore(int64_t wait_ms) {
  if (out_fd_ < 0) {
    poll(nullptr, 0, static_cast<int>(wait_ms));
    return;
  }
  pollfd fd = {out_fd_, POLLIN, 0};
  if (poll(&fd, 1, static_cast<int>(wait_ms)) <= 0) return;
  char buffer[4096];
  const ssize_t got = read(out_fd_, buffer, sizeof(buffer));
  if (got <= 0) {  // the child has closed its standard output (it has ended)
    close(out_fd_);
    out_fd_ = -1;
    return;
  }
  out_.append(buffer, static_cast<size_t>(got));
  pending_.append(buffer, static_cast<size_t>(got));
}

void Background::CloseOutput() {
  if (out_fd_ >= 0) close(out_fd_);
  out_fd_ = -1;
}

bool Background::ReadLine(std::string* line, int timeout_ms) {
  const int64_t deadline = RealNowMs() + timeout_ms;
  for (;;) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      *line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return true;
    }
    const int64_t now = RealNowMs();
    if (out_fd_ < 0 || now >= deadline) return false;
    ReadMore(deadline - now);
  }
}

bool Background::WaitForLine(const std::string& wanted, int timeout_ms) {
  const int64_t deadline = RealNowMs() + timeout_ms;
  std::string line;
  while (ReadLine(&line, static_cast<int>(std::max<int64_t>(deadline - RealNowMs(), 0)))) {
    if (line == wanted) return true;
  }
  return false;
}

bool Background::Signal(int signal_number) { return pid_ > 0 && kill(pid_, signal_number) == 0; }

ChildResult Background::Finish(int timeout_ms) {
  ChildResult result;
  if (pid_ <= 0) return result;
  const int64_t deadline = RealNowMs() + timeout_ms;
  int wstatus = 0;
  pid_t done = 0;
  while ((done = waitpid(pid_, &wstatus, WNOHANG)) == 0 && RealNowMs() < deadline) ReadMore(kPoll_ms);
  if (done == 0) {
    ADD_FAILURE() << tool_ << " did not exit within " << timeout_ms << " ms";
    kill(pid_, SIGKILL);
    waitpid(pid_, &wstatus, 0);
  }
  pid_ = -1;
  // The rest of the output: its write end closed with the child.
  const int64_t drained = RealNowMs() + kDrain_ms;
  while (out_fd_ >= 0 && RealNowMs() < drained) ReadMore(kPoll_ms);
  if (WIFEXITED(wstatus) && done != 0) result.status = WEXITSTATUS(wstatus);
  result.out = out_;
  if (err_fd_ >= 0 && lseek(err_fd_, 0, SEEK_SET) == 0) {
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(err_fd_, buffer, sizeof(buffer))) > 0) result.err.append(buffer, static_cast<size_t>(got));
  }
  return result;
}

ChildResult Background::Kill() {
  Signal(SIGKILL);
  return Finish(kChildDeadline_ms);
}

}  // namespace childproc
