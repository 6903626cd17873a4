// A scripted engine for exchanges whose exact bytes matter: the transport is
// opened on a pseudo-terminal whose other side the test drives by hand. The
// test queues the engine's answers before the host asks, then reads back
// every byte the host sent.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform.h"
#include "transport.h"

class ScriptedLine {
 public:
  ScriptedLine() = default;
  ~ScriptedLine() {
    transport_close();
    if (pty_.master != plat::kNoHandle) plat::CloseHandle(pty_.master);
  }
  ScriptedLine(const ScriptedLine&) = delete;
  ScriptedLine& operator=(const ScriptedLine&) = delete;

  // Creates the pseudo-terminal and opens the transport on it.
  void Open() {
    ASSERT_TRUE(plat::OpenPseudoTerminal(&pty_));
    ASSERT_EQ(transport_open(pty_.slave_path.c_str(), 115200, 0), 1);
  }

  // Queues bytes for the host to receive.
  void Feed(const std::vector<uint8_t>& bytes) {
    uint32_t done = 0;
    ASSERT_TRUE(plat::Write(pty_.master, bytes.data(), static_cast<uint32_t>(bytes.size()), &done));
    ASSERT_EQ(done, bytes.size());
  }

  // Everything the host has sent since the last call. Waits a little
  // (virtual) time for the last bytes, so call it after timing checks.
  std::vector<uint8_t> Sent() {
    plat::SerialTimeouts timeouts;
    timeouts.read_interval = plat::kTimeoutAllBits;
    timeouts.read_multiplier = plat::kTimeoutAllBits;
    timeouts.read_constant = 20;
    EXPECT_TRUE(plat::SetSerialTimeouts(pty_.master, timeouts));
    std::vector<uint8_t> sent;
    uint8_t buffer[512];
    uint32_t done = 0;
    while (plat::Read(pty_.master, buffer, sizeof(buffer), &done) && done > 0) {
      sent.insert(sent.end(), buffer, buffer + done);
    }
    return sent;
  }

 private:
  plat::PseudoTerminal pty_;
};
