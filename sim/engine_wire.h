// The engine's wire vocabulary as the simulated engine speaks it: byte codes,
// command frame layout, the block checksum and the host's timing the engine
// plays along with. Private to sim/ (the simulator does not link the host's
// protocol code; these values are the wire's, not the host's).
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim::wire {

constexpr uint8_t kAutodetectByte = 0x00;  // host: identify yourself
constexpr uint8_t kAck = 0x06;             // host: accepted
constexpr uint8_t kRspDone = 0x31;         // engine: command carried out
constexpr uint8_t kRspAck = 0x32;          // engine: frame and checksum intact
constexpr uint8_t kChkReq = 0x7F;          // engine: send the block checksum
constexpr uint8_t kBlockReq = 0x80;        // engine: block wanted, number follows
constexpr uint8_t kDwnldRsp = 0x88;        // engine: ready to take a driver
constexpr uint8_t kStartDwnld = 0xAA;      // host: start a driver download
constexpr uint8_t kDwnldDone = 0xBB;       // engine: whole driver received

constexpr uint8_t kCmdAckMode = 0x10;
constexpr uint8_t kCmdFlashInit = 0x11;
constexpr uint8_t kCmdRemoveDriver = 0x12;
constexpr uint8_t kCmdFirmwareVersion = 0x13;
constexpr uint8_t kCmdEraseAll = 0x14;
constexpr uint8_t kCmdWriteBlock = 0x16;

constexpr size_t kFrameSize = 10;
constexpr size_t kChecksumSize = 4;
constexpr size_t kBlockSize = 256;

// The host's read timeout while a command exchange runs; the erase's silence
// is counted in these.
constexpr uint32_t kHostReadTimeoutMs = 5000;

// Position-weighted checksum: sum of d[i] * (n - i), modulo 2^32.
inline uint32_t BlockChecksum(const uint8_t* data, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += static_cast<uint32_t>(data[i]) * static_cast<uint32_t>(n - i);
  return sum;
}

inline uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace sim::wire
