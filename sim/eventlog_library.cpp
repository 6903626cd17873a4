// The handheld maker's event-log library as the simulated handheld has it
// ("\\Windows\\QZTEventLog.dll"). Each call appends one line,
// "<zone as 0x%08X> <text>", to "<device root>/Windows/eventlog.txt", so tests
// and people can see what reached the event log.
//
// This library stands outside the program: it uses plain POSIX calls, not the
// platform layer. The device root comes from FLASHWRIGHT_ROOT, else
// ~/.flashwright (the home folder from HOME, else the user database). Each
// line goes out in one O_APPEND write, so concurrent callers (threads or
// processes) never interleave within a line.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kTextMax = 4096;
constexpr size_t kPathMax = 4096;

// "<root>/Windows/eventlog.txt", the root found as the program finds it;
// false when the path does not fit.
bool EventLogPath(char (&path)[kPathMax]) {
  const char* root = getenv("FLASHWRIGHT_ROOT");
  int length = 0;
  if (root != nullptr && root[0] != '\0') {
    length = snprintf(path, sizeof(path), "%s/Windows/eventlog.txt", root);
  } else {
    const char* home = getenv("HOME");
    passwd entry{};
    passwd* user = nullptr;
    char strings[1024];
    if (home == nullptr || home[0] == '\0') {
      const bool found = getpwuid_r(getuid(), &entry, strings, sizeof(strings), &user) == 0 && user != nullptr;
      home = found && user->pw_dir != nullptr ? user->pw_dir : "/tmp";
    }
    length = snprintf(path, sizeof(path), "%s/.flashwright/Windows/eventlog.txt", home);
  }
  return length > 0 && static_cast<size_t>(length) < sizeof(path);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void QZTLogString(uint32_t zone, const char* format, ...) {
  if (format == nullptr) return;
  char text[kTextMax];
  va_list args;
  va_start(args, format);
  const int formatted = vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (formatted < 0) return;

  // The text as given: its own "\r\n" ends the line; a text without one gets "\n".
  char line[kTextMax + 16];
  int length = snprintf(line, sizeof(line), "0x%08X %s", static_cast<unsigned>(zone), text);
  if (length < 0) return;
  if (static_cast<size_t>(length) >= sizeof(line)) length = static_cast<int>(sizeof(line) - 1);
  if (line[length - 1] != '\n') {
    if (static_cast<size_t>(length) + 1 >= sizeof(line)) length = static_cast<int>(sizeof(line) - 2);
    line[length++] = '\n';
    line[length] = '\0';
  }

  char path[kPathMax];
  if (!EventLogPath(path)) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const ssize_t written = write(fd, line, static_cast<size_t>(length));
  (void)written;  // the maker's library reports nothing either
  close(fd);
}
