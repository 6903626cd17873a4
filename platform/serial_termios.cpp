// Line settings on the kernel's termios2, which carries any rate (BOTHER) and
// not only the standard ones. The kernel's termios headers cannot share a
// file with the C library's <termios.h>, so every termios call of the
// platform layer lives here.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "serial_internal.h"

namespace plat::detail {

namespace {

struct StandardRate {
  speed_t code;
  uint32_t baud;
};

constexpr StandardRate kStandardRates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

// A UART tolerates a few percent of rate error; a driver may round the rate
// to what its clock divider reaches and report that back.
constexpr uint32_t kRateTolerancePerMille = 20;

bool GetTermios(int fd, termios2* t) {
  if (ioctl(fd, TCGETS2, t) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool SetTermios(int fd, const termios2& t) {
  int rc;
  do {
    rc = ioctl(fd, TCSETS2, &t);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

void SetRate(termios2* t, uint32_t baud) {
  t->c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));  // input rate follows the output rate
  speed_t code = BOTHER;
  for (const StandardRate& rate : kStandardRates) {
    if (rate.baud == baud) code = rate.code;
  }
  t->c_cflag |= code;
  t->c_ispeed = baud;
  t->c_ospeed = baud;
}

uint32_t GetRate(const termios2& t) {
  speed_t code = t.c_cflag & CBAUD;
  if (code == BOTHER) return t.c_ospeed;
  for (const StandardRate& rate : kStandardRates) {
    if (rate.code == code) return rate.baud;
  }
  return t.c_ospeed;
}

bool RatesMatch(uint32_t wanted, uint32_t got) {
  uint64_t diff = wanted > got ? wanted - got : got - wanted;
  return diff * 1000 <= static_cast<uint64_t>(wanted) * kRateTolerancePerMille;
}

// The raw part shared by TtyMakeRaw and TtyApplySettings.
void MakeRaw(termios2* t) {
  t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                  IXANY | IMAXBEL | IUCLC | INPCK | IGNPAR);
  t->c_oflag &= ~OPOST;
  t->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK | ECHOCTL | ECHOKE);
  t->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
  t->c_cflag |= CS8 | CLOCAL | CREAD;
  t->c_cc[VMIN] = 1;
  t->c_cc[VTIME] = 0;
}

tcflag_t CharSize(uint8_t data_bits) {
  switch (data_bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

// What the terminal's settings ask of termios; false if termios cannot say it.
bool Encode(const SerialSettings& s, termios2* t) {
  if (s.baud == 0 || s.data_bits < 5 || s.data_bits > 8) return false;
  if (s.stop_bits == StopBits::kOneAndHalf) return false;
  // Flow control by DSR, DTR handshaking and RTS toggling have no termios form.
  if (s.dsr_output_flow || s.dtr == LineControl::kHandshake || s.rts == LineControl::kToggle) {
    return false;
  }
  MakeRaw(t);
  SetRate(t, s.baud);
  t->c_cflag = (t->c_cflag & ~CSIZE) | CharSize(s.data_bits);
  switch (s.parity) {
    case Parity::kNone: break;
    case Parity::kOdd: t->c_cflag |= PARENB | PARODD; break;
    case Parity::kEven: t->c_cflag |= PARENB; break;
    case Parity::kMark: t->c_cflag |= PARENB | CMSPAR | PARODD; break;
    case Parity::kSpace: t->c_cflag |= PARENB | CMSPAR; break;
  }
  if (s.parity_check) t->c_iflag |= INPCK;
  if (s.stop_bits == StopBits::kTwo) t->c_cflag |= CSTOPB;
  if (s.cts_output_flow || s.rts == LineControl::kHandshake) t->c_cflag |= CRTSCTS;
  if (s.xon_xoff_output) t->c_iflag |= IXON;
  if (s.xon_xoff_input) t->c_iflag |= IXOFF;
  return true;
}

void Decode(const termios2& t, SerialSettings* s) {
  s->baud = GetRate(t);
  switch (t.c_cflag & CSIZE) {
    case CS5: s->data_bits = 5; break;
    case CS6: s->data_bits = 6; break;
    case CS7: s->data_bits = 7; break;
    default: s->data_bits = 8; break;
  }
  if (!(t.c_cflag & PARENB)) {
    s->parity = Parity::kNone;
  } else if (t.c_cflag & CMSPAR) {
    s->parity = (t.c_cflag & PARODD) ? Parity::kMark : Parity::kSpace;
  } else {
    s->parity = (t.c_cflag & PARODD) ? Parity::kOdd : Parity::kEven;
  }
  s->parity_check = (t.c_iflag & INPCK) != 0;
  s->stop_bits = (t.c_cflag & CSTOPB) ? StopBits::kTwo : StopBits::kOne;
  bool crtscts = (t.c_cflag & CRTSCTS) != 0;
  s->cts_output_flow = crtscts;
  if (crtscts) {
    s->rts = LineControl::kHandshake;
  } else if (s->rts == LineControl::kHandshake) {
    s->rts = LineControl::kEnable;
  }
  s->xon_xoff_output = (t.c_iflag & IXON) != 0;
  s->xon_xoff_input = (t.c_iflag & IXOFF) != 0;
}

}  // namespace

bool TtyMakeRaw(int fd) {
  termios2 t{};
  if (!GetTermios(fd, &t)) return false;
  MakeRaw(&t);
  return SetTermios(fd, t);
}

bool TtyApplySettings(int fd, const SerialSettings& settings) {
  termios2 before{};
  if (!GetTermios(fd, &before)) return false;
  termios2 t = before;
  if (!Encode(settings, &t)) {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  if (!SetTermios(fd, t)) return false;
  // A driver takes what it can and silently changes the rest (a pty keeps
  // 8 bits without parity whatever it is told): compare, and put the line
  // back as it was if it did not take everything.
  termios2 back{};
  if (!GetTermios(fd, &back)) return false;
  constexpr tcflag_t kCflagChecked = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  constexpr tcflag_t kIflagChecked = INPCK | IXON | IXOFF;
  if (!RatesMatch(settings.baud, GetRate(back)) ||
      (back.c_cflag & kCflagChecked) != (t.c_cflag & kCflagChecked) ||
      (back.c_iflag & kIflagChecked) != (t.c_iflag & kIflagChecked)) {
    (void)SetTermios(fd, before);
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  return true;
}

bool TtyReadSettings(int fd, SerialSettings* settings) {
  termios2 t{};
  if (!GetTermios(fd, &t)) return false;
  Decode(t, settings);
  return true;
}

bool TtyFlush(int fd, bool input, bool output, LineTraffic* traffic) {
  if (!input && !output) return true;
  int queue = (input && output) ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
  int discarded = 0;
  if (input && ioctl(fd, TIOCINQ, &discarded) != 0) discarded = 0;
  if (ioctl(fd, TCFLSH, queue) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  // What the flush threw away will never be read.
  if (discarded > 0) NoteLineBytesTaken(traffic, static_cast<uint32_t>(discarded));
  return true;
}

void TtyRequestLowLatency(int fd) {
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0) return;  // not a serial driver (a pty)
  if (info.flags & ASYNC_LOW_LATENCY) return;
  info.flags |= ASYNC_LOW_LATENCY;
  (void)ioctl(fd, TIOCSSERIAL, &info);  // some drivers refuse: latency stays as it is
}

}  // namespace plat::detail
