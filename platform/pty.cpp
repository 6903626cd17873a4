// Pseudo-terminals for the simulated engine and for tests, and the device
// root's COM names that point at ttys.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "serial_internal.h"

namespace plat {

bool OpenPseudoTerminal(PseudoTerminal* pty) {
  if (!pty) {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    detail::SetLastErrorFromErrno(errno);
    return false;
  }
  char name[PATH_MAX];
  int slave = -1;
  auto fail = [&]() {
    ErrorCode code = detail::ErrorFromErrno(errno);
    if (slave >= 0) ::close(slave);
    ::close(master);
    SetLastErrorCode(code);
    return false;
  };
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
    return fail();
  }
  if (::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0) return fail();
  // The master keeps the slave side open: the line then stays up (and its raw
  // mode with it) while no port is open on it, and the master never reads a
  // hang-up between two opens of the port.
  slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) return fail();
  if (!detail::TtyMakeRaw(slave) || !detail::TtyMakeRaw(master)) {
    ErrorCode code = LastError();
    ::close(slave);
    ::close(master);
    SetLastErrorCode(code);
    return false;
  }
  auto object = std::make_shared<detail::TtyObject>(detail::HandleKind::kPtyMaster, master, slave, nullptr);
  if (!object->usable()) {
    detail::SetLastErrorFromErrno(errno);
    return false;
  }
  Handle h = detail::RegisterHandle(std::move(object));
  if (h == kInvalidHandle) return false;
  pty->master = h;
  pty->slave_path = name;
  return true;
}

bool LinkComPort(const wchar_t* com_name, const std::string& tty_path) {
  if (!com_name || !*com_name || com_name[0] == L'/' || tty_path.empty()) {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  // An existing entry of any spelling is the one replaced.
  const std::string link = HostPath(com_name);
  const std::string temp = link + ".new";
  ::unlink(temp.c_str());
  if (::symlink(tty_path.c_str(), temp.c_str()) != 0) {
    detail::SetLastErrorFromErrno(errno);
    return false;
  }
  if (::rename(temp.c_str(), link.c_str()) != 0) {
    ErrorCode code = detail::ErrorFromErrno(errno);
    ::unlink(temp.c_str());
    SetLastErrorCode(code);
    return false;
  }
  return true;
}

}  // namespace plat
