// Flashwright platform layer: the handheld's operating-system services as the
// rest of the program sees them. This is the only part of the program that
// knows it runs on Linux; everything above it speaks in handles, device paths,
// wide text and millisecond ticks, as it would on the terminal.
//
// Conventions of this layer:
//  - Every call that fails returns false (or the invalid value of its result
//    type) and sets the calling thread's last-error value (LastError()).
//    Error values are Linux errno numbers; the ones the program relies on are
//    named below (kErr...). Host errors are translated in exactly one place.
//  - Wide text is wchar_t (UTF-32 here), so "%ls" works in narrow formats.
//    Narrow text is UTF-8, standing in for the terminal's ANSI code page.
//  - Device paths are written the handheld's way ("\\My Documents\\x.log") and
//    live under the device root (FLASHWRIGHT_ROOT, default ~/.flashwright).
//    A path that starts with "/" is a host path and is used as it is.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

// ---------------------------------------------------------------------------
// Errors

using ErrorCode = uint32_t;

constexpr ErrorCode kErrNone = 0;
constexpr ErrorCode kErrNotFound = 2;           // ENOENT: file, folder, key, value, export, device
constexpr ErrorCode kErrIo = 5;                 // EIO
constexpr ErrorCode kErrInvalidHandle = 9;      // EBADF: no such handle, or a handle of another kind
constexpr ErrorCode kErrAccessDenied = 13;      // EACCES
constexpr ErrorCode kErrSharingViolation = 16;  // EBUSY: held by another no-sharing open
constexpr ErrorCode kErrAlreadyExists = 17;     // EEXIST
constexpr ErrorCode kErrInvalidParameter = 22;  // EINVAL: includes line settings a port refuses
constexpr ErrorCode kErrBufferTooSmall = 34;    // ERANGE: the size needed is reported back
constexpr ErrorCode kErrBadFormat = 74;         // EBADMSG: malformed registry file, unloadable library
constexpr ErrorCode kErrNotSupported = 95;      // EOPNOTSUPP: the host lacks the feature
constexpr ErrorCode kErrTimeout = 110;          // ETIMEDOUT
constexpr ErrorCode kErrOperationAborted = 125; // ECANCELED: a wait ended by a close

// The calling thread's last-error value, as the platform call that failed left it.
ErrorCode LastError();
void SetLastErrorCode(ErrorCode code);

// ---------------------------------------------------------------------------
// Start-up

// Sets the process locale so that wide text survives "%ls" formatting and
// conversion (falls back to C.UTF-8 when the environment names none).
// Every executable calls it first thing in main().
void InitProcess();

// ---------------------------------------------------------------------------
// Time. Every sleep, tick and serial timeout of the program goes through one
// clock, so that tests can replace real time with virtual time.

// Milliseconds since an arbitrary start; wraps after 49.7 days like the handheld's.
uint32_t TickCount();
// Milliseconds on the current clock, without wrapping.
uint64_t NowMs();
// Microseconds on the current clock (virtual time moves in whole milliseconds).
uint64_t NowUs();
void SleepMs(uint32_t ms);

// Installs a virtual clock for its lifetime (tests). Virtual time starts at 0
// and moves only when every participating thread waits: it then jumps to the
// earliest deadline among the waiters, so a 5000 ms timeout on a silent line
// costs no real time, while a peer that answers is never cut short. The thread
// that creates it participates; other threads that use the clock while it is
// installed (a simulated engine, a worker) join with ClockParticipant. A
// thread that has not joined counts as a participant only while it waits.
// A thread must join before the others can start waiting, or time may move
// on without it. Destroying the clock ends waits still running on it as
// timeouts.
class VirtualClock {
 public:
  VirtualClock();
  ~VirtualClock();
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;
  uint64_t Now() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Marks the current thread as a participant of the installed virtual clock for
// its lifetime: virtual time does not move while this thread runs outside a
// clock wait. Does nothing under the real clock.
class ClockParticipant {
 public:
  ClockParticipant();
  ~ClockParticipant();
  ClockParticipant(const ClockParticipant&) = delete;
  ClockParticipant& operator=(const ClockParticipant&) = delete;

 private:
  bool joined_ = false;
};

// ---------------------------------------------------------------------------
// Debugger output. Off by default; FLASHWRIGHT_DEBUG_OUTPUT=1 sends it to
// stderr. Tests install a sink to capture it. The sink is called with the
// text as given (no line end added) and must not throw.

using DebugSink = void (*)(void* context, const wchar_t* text);
void DebugOutput(const wchar_t* text);
// Installs a sink (nullptr restores the default). Returns the previous one.
void SetDebugSink(DebugSink sink, void* context, DebugSink* previous = nullptr,
                  void** previous_context = nullptr);

// ---------------------------------------------------------------------------
// Text conversion, UTF-8 standing in for the ANSI code page. Neither call
// allocates. src_len -1 means NUL-terminated (the NUL is converted and
// counted). Returns the number of units written (NUL included when
// converted), or 0 with kErrBufferTooSmall when dst cannot hold the result
// (dst is then filled as far as it goes and stays NUL-terminated if
// dst_cap > 0). dst nullptr with dst_cap 0 asks for the number of units
// needed. Invalid UTF-8 bytes become U+FFFD (one per malformed sequence).
int NarrowToWide(const char* src, int src_len, wchar_t* dst, int dst_cap);
int WideToNarrow(const wchar_t* src, int src_len, char* dst, int dst_cap);
std::wstring Widen(const std::string& narrow);
std::string Narrow(const std::wstring& wide);

// ---------------------------------------------------------------------------
// Device root and paths

// The device root's host path (FLASHWRIGHT_ROOT, or ~/.flashwright), without
// a trailing slash. Read from the environment on every call.
std::string DeviceRoot();
// Maps a device path to a host path: backslashes become slashes, the path is
// placed under the device root, and every component that exists is matched
// case-insensitively. Components that do not exist keep the given spelling.
// A path starting with "/" is a host path: returned unchanged.
std::string HostPath(const wchar_t* device_path);
std::string HostPath(const char* device_path);

// ---------------------------------------------------------------------------
// Handles: files, serial ports and registry keys share one handle space.

using Handle = uint32_t;
constexpr Handle kNoHandle = 0;
constexpr Handle kInvalidHandle = 0xFFFFFFFFu;

bool CloseHandle(Handle h);

// Owns a handle; closes it on destruction.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  Handle get() const { return h_; }
  bool valid() const { return h_ != kNoHandle && h_ != kInvalidHandle; }
  Handle release() {
    Handle h = h_;
    h_ = kNoHandle;
    return h;
  }
  void reset(Handle h = kNoHandle) {
    if (valid()) CloseHandle(h_);
    h_ = h;
  }

 private:
  Handle h_ = kNoHandle;
};

// ---------------------------------------------------------------------------
// Files

constexpr uint32_t kAccessRead = 1;
constexpr uint32_t kAccessWrite = 2;
constexpr uint32_t kShareNone = 0;
constexpr uint32_t kShareRead = 1;
constexpr uint32_t kShareWrite = 2;

enum class Disposition {
  kCreateNew,     // fails with kErrAlreadyExists if it exists
  kCreateAlways,  // creates, or truncates an existing file
  kOpenExisting,  // fails with kErrNotFound if it does not exist
  kOpenAlways,    // opens, or creates; never truncates
};

enum class SeekFrom { kBegin, kCurrent, kEnd };

// Opens a file by device or host path. With kShareNone a second open of the
// same file (from this process or another) fails with kErrSharingViolation,
// and so does a no-sharing open of a file someone else holds open.
// Returns kInvalidHandle on failure; a refused open creates or truncates
// nothing. On success LastError() is kErrAlreadyExists when kCreateAlways or
// kOpenAlways found the file existing, else kErrNone.
Handle OpenFile(const wchar_t* path, uint32_t access, uint32_t share, Disposition disposition);

// Read and Write work on files and serial ports. On a serial port they follow
// the port's timeouts (see SerialTimeouts); a read that times out succeeds
// with *done == 0.
bool Read(Handle h, void* buffer, uint32_t size, uint32_t* done);
bool Write(Handle h, const void* buffer, uint32_t size, uint32_t* done);
bool Seek(Handle h, int64_t offset, SeekFrom from, uint64_t* new_position = nullptr);
bool FileSize(Handle h, uint64_t* size);

bool FileExists(const wchar_t* path);
bool DirectoryExists(const wchar_t* path);
// Creates the folder (and missing parents); an existing folder is not an error.
bool CreateDirectories(const wchar_t* path);
// Fails with kErrSharingViolation while the file is open anywhere, as on the
// handheld.
bool DeleteFileAt(const wchar_t* path);

struct FindEntry {
  std::wstring name;  // the entry's own name, as stored
  bool is_directory = false;
  uint64_t size = 0;
};
// Lists the entries of a folder whose names match the last component of
// pattern, case-insensitively; "*" matches any run of characters, "?" one.
// "\\My Documents\\*.bin". Fails with kErrNotFound if the folder does not
// exist or nothing matches. Entries come sorted by name.
bool FindFiles(const wchar_t* pattern, std::vector<FindEntry>* out);

// ---------------------------------------------------------------------------
// Registry, kept in the device root as a registry export text file
// ("registry.reg"), read and written whole on each operation, saved
// atomically. A malformed file makes every operation fail with kErrBadFormat;
// RegistryLoadError() then tells the file and line, and the file is never
// overwritten while it is malformed.

enum class RootKey { kLocalMachine, kCurrentUser, kClassesRoot, kUsers };

constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegString = 1;
constexpr uint32_t kRegExpandString = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiString = 7;

// Host path of the registry file.
std::string RegistryFilePath();
// Describes the last malformed-file failure: "<path>:<line>: <reason>".
std::string RegistryLoadError();

// Opens a key (subkey like "Software\\Norlith\\ADCDevices\\QA71"; a leading
// backslash is ignored). With create, missing keys are created (and saved).
bool RegistryOpenKey(RootKey root, const wchar_t* subkey, bool create, Handle* key);
// Reads a value ("" or nullptr for the default value). String types come back
// as wchar_t text with its NUL; *size is in bytes, in: buffer size, out: the
// data size. data == nullptr asks for the size only. A buffer that is too
// small fails with kErrBufferTooSmall and *size set to the size needed.
bool RegistryQueryValue(Handle key, const wchar_t* name, uint32_t* type, void* data, uint32_t* size);
// Writes a value and saves the file. String data is wchar_t text; size in bytes.
bool RegistrySetValue(Handle key, const wchar_t* name, uint32_t type, const void* data, uint32_t size);
bool RegistryDeleteValue(Handle key, const wchar_t* name);
// Closing a key is CloseHandle.

// ---------------------------------------------------------------------------
// Dynamic libraries. The handheld's outside libraries are ELF shared objects
// stored in the device root under their .dll names.

using ModuleHandle = void*;
// Loads a library by bare name (searched in the device root's \Windows folder,
// case-insensitively; ".dll" is added to a name without extension), by device
// path or by host path. Returns nullptr on failure: kErrNotFound when there is
// no such file, kErrBadFormat when the file does not load (the loader's reason
// goes to the debugger output).
ModuleHandle LoadModule(const wchar_t* name);
// Returns nullptr with kErrNotFound when the library has no such export.
void* FindExport(ModuleHandle module, const char* name);
bool ReleaseModule(ModuleHandle module);

// ---------------------------------------------------------------------------
// Serial ports

enum class Parity : uint8_t { kNone, kOdd, kEven, kMark, kSpace };
enum class StopBits : uint8_t { kOne, kOneAndHalf, kTwo };
enum class LineControl : uint8_t { kDisable, kEnable, kHandshake, kToggle };

// Line settings of a port, in the terms of the handheld's serial driver.
struct SerialSettings {
  uint32_t baud = 9600;
  uint8_t data_bits = 8;
  Parity parity = Parity::kNone;
  bool parity_check = false;
  StopBits stop_bits = StopBits::kOne;
  bool binary = true;               // raw bytes, no end-of-file character
  bool cts_output_flow = false;
  bool dsr_output_flow = false;
  LineControl dtr = LineControl::kDisable;
  LineControl rts = LineControl::kDisable;
  bool dsr_sensitivity = false;
  bool tx_continue_on_xoff = true;
  bool xon_xoff_output = false;
  bool xon_xoff_input = false;
  bool error_char_replace = false;
  bool null_strip = false;
  bool abort_on_error = false;
  char event_char = 0;
};

constexpr uint32_t kTimeoutAllBits = 0xFFFFFFFFu;

// Timeouts of a port, in milliseconds.
//  read: interval and multiplier both kTimeoutAllBits with 0 < constant <
//    kTimeoutAllBits: a read returns at once with what is buffered, else as
//    soon as the first byte arrives, else after `read_constant` ms with 0
//    bytes and no error. Interval kTimeoutAllBits with multiplier and constant
//    0: a read returns at once with what is buffered. Otherwise the total
//    budget is multiplier * n + constant (0 and 0: no limit) and interval, if
//    not 0, the longest gap between two bytes.
//  write: the whole write must finish within multiplier * n + constant
//    (0 and 0: no limit); a write that cannot finish in time reports the
//    bytes that went out and fails with kErrTimeout.
struct SerialTimeouts {
  uint32_t read_interval = 0;
  uint32_t read_multiplier = 0;
  uint32_t read_constant = 0;
  uint32_t write_multiplier = 0;
  uint32_t write_constant = 0;
};

constexpr uint32_t kPurgeTxAbort = 0x1;
constexpr uint32_t kPurgeRxAbort = 0x2;
constexpr uint32_t kPurgeTxClear = 0x4;
constexpr uint32_t kPurgeRxClear = 0x8;

// Modem status bits (GetModemStatus) and modem events (WaitModemEvent).
constexpr uint32_t kModemCts = 0x10;
constexpr uint32_t kModemDsr = 0x20;
constexpr uint32_t kModemRing = 0x40;
constexpr uint32_t kModemDcd = 0x80;

// Opens a serial port for exclusive read/write. "COM7:" is looked up in the
// device root, where an entry of that name is a symbolic link to the tty to
// use; a host path such as "/dev/ttyUSB0" is used as it is. Existing devices
// only (kErrNotFound). A port held by another no-sharing open fails with
// kErrSharingViolation. The port starts raw, 8N1, with no timeouts.
Handle OpenSerialPort(const wchar_t* name);
bool SetSerialSettings(Handle port, const SerialSettings& settings);
bool GetSerialSettings(Handle port, SerialSettings* settings);
bool SetSerialTimeouts(Handle port, const SerialTimeouts& timeouts);
bool GetSerialTimeouts(Handle port, SerialTimeouts* timeouts);
bool PurgeSerial(Handle port, uint32_t flags);
bool GetModemStatus(Handle port, uint32_t* status);
// Selects the modem lines whose changes WaitModemEvent reports (kModem... bits).
bool SetModemEventMask(Handle port, uint32_t mask);
// Waits until a selected modem line changes; *events gets the changed lines.
// Ends with false and kErrOperationAborted when the port is closed from
// another thread.
bool WaitModemEvent(Handle port, uint32_t* events);
bool SetBreak(Handle port);
bool ClearBreak(Handle port);
bool SetModemLines(Handle port, bool dtr, bool rts);

// A pseudo-terminal for the simulated engine and for tests: the master side
// is a handle that Read/Write/SetSerialTimeouts/PurgeSerial accept, the slave
// side a tty path that OpenSerialPort opens like a real port.
struct PseudoTerminal {
  Handle master = kNoHandle;
  std::string slave_path;
};
bool OpenPseudoTerminal(PseudoTerminal* pty);
// Makes the device root's COM name ("COM7:") point at a tty (replacing any
// earlier link).
bool LinkComPort(const wchar_t* com_name, const std::string& tty_path);

namespace testing {

// A stand-in for what a pseudo-terminal cannot do: refuse line settings, cut
// writes short, and have modem lines. Attached to a tty path, it applies to
// every port opened on that path afterwards.
struct SerialPortDouble {
  std::atomic<bool> refuse_settings{false};  // SetSerialSettings fails, kErrInvalidParameter
  std::atomic<uint32_t> write_limit{0};      // > 0: a write moves at most this many bytes, reports success
  // Sets the modem lines the port reports and wakes WaitModemEvent when a
  // selected line changed.
  void SetModemStatus(uint32_t status);
  uint32_t ModemStatus() const;

  std::atomic<uint32_t> modem_status{0};
  std::atomic<uint32_t> change_count{0};
};
std::shared_ptr<SerialPortDouble> AttachSerialDouble(const std::string& tty_path);
void DetachSerialDouble(const std::string& tty_path);

}  // namespace testing

}  // namespace plat
