// Serial ports and pseudo-terminals: the object behind their handles, the
// termios work (kept apart in serial_termios.cpp, the one file that speaks the
// kernel's termios2), and the registry of test doubles. Private to platform/.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform_internal.h"

namespace plat::detail {

// --- termios (serial_termios.cpp) ---------------------------------------

// Raw 8N1 at the line's current rate: no echo, no canonical input, no
// signals, no CR/LF translation, no XON/XOFF, CLOCAL|CREAD, no CRTSCTS.
bool TtyMakeRaw(int fd);
// Writes the line settings the terminal can express (rate, framing, parity,
// CTS/RTS and XON/XOFF flow control) and reads them back; a setting the
// device did not take fails with kErrInvalidParameter.
bool TtyApplySettings(int fd, const SerialSettings& settings);
// Overwrites the fields TtyApplySettings writes with what the device holds.
bool TtyReadSettings(int fd, SerialSettings* settings);
// Discards the received (input) and/or the unsent (output) data.
// Bytes discarded from the input queue are taken off the line's traffic.
bool TtyFlush(int fd, bool input, bool output, LineTraffic* traffic);
// Asks a real serial driver for low latency; a refusal is not an error.
void TtyRequestLowLatency(int fd);

// --- test doubles (serial_double.cpp) ------------------------------------

// The double attached to a tty path (symbolic links resolved), or nullptr.
std::shared_ptr<testing::SerialPortDouble> FindSerialDouble(const std::string& tty_path);
// A waiter's eventfd, signalled by every SetModemStatus of the double.
void AddModemWaiter(const testing::SerialPortDouble* port_double, int event_fd);
void RemoveModemWaiter(const testing::SerialPortDouble* port_double, int event_fd);

// --- the object behind a serial-port or pty-master handle ---------------

class TtyObject : public HandleObject {
 public:
  // Takes ownership of fd (and of peer_fd, a descriptor kept open for the
  // object's lifetime, e.g. a pseudo-terminal's slave side; -1 for none).
  TtyObject(HandleKind kind, int fd, int peer_fd,
            std::shared_ptr<testing::SerialPortDouble> port_double);
  ~TtyObject() override;
  TtyObject(const TtyObject&) = delete;
  TtyObject& operator=(const TtyObject&) = delete;

  // True when the eventfd that Close signals could be created.
  bool usable() const { return cancel_fd_ >= 0; }

  HandleKind kind() const override { return kind_; }
  bool Read(void* buffer, uint32_t size, uint32_t* done) override;
  bool Write(const void* buffer, uint32_t size, uint32_t* done) override;
  // Releases the port for the next open and wakes every waiting thread; the
  // descriptor itself is closed when the last reference goes.
  bool Close() override;

  bool SetSettings(const SerialSettings& settings);
  bool GetSettings(SerialSettings* settings);
  void SetTimeouts(const SerialTimeouts& timeouts);
  SerialTimeouts Timeouts() const;
  bool Purge(uint32_t flags);
  bool ModemStatus(uint32_t* status);
  bool SetModemEventMask(uint32_t mask);
  bool WaitModemEvent(uint32_t* events);
  bool SetModemLines(bool dtr, bool rts);
  bool Break(bool on);

 private:
  // Waits for `events` on the descriptor (0: only for a close) and, when
  // extra_fd >= 0, for that descriptor to become readable. 1 ready, 0 timed
  // out, -1 failed or closed (last error set).
  int Wait(short events, uint64_t timeout_ms, int extra_fd = -1);
  // The modem lines; *supported is false on a tty without them (a pty).
  bool ReadModemLines(uint32_t* status, bool* supported);
  bool ApplyLineControl(LineControl dtr, LineControl rts);

  const HandleKind kind_;
  const int fd_;
  const int peer_fd_;
  const int cancel_fd_;  // eventfd signalled by Close
  const int modem_wake_fd_;  // eventfd the double signals on a modem change
  const std::shared_ptr<testing::SerialPortDouble> double_;
  const std::shared_ptr<LineTraffic> traffic_;  // bytes in flight on this line

  mutable std::mutex mutex_;
  SerialTimeouts timeouts_;
  SerialSettings settings_;  // the last settings applied
  uint32_t modem_mask_ = 0;
  uint32_t modem_baseline_ = 0;  // line states last reported (or at SetModemEventMask)
  bool closed_ = false;
};

}  // namespace plat::detail
