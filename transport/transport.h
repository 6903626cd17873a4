// Flashwright serial transport: the one serial port of the process and the
// byte-level and acknowledged send and receive operations on it.
// Every operation returns 1 for success and 0 for failure.
#pragma once

#include <cstdint>

#include "platform.h"

// The terminal's answer to every byte an acknowledged receive accepts.
constexpr uint8_t ACK = 0x06;

// Timeouts applied when the transport opens a port itself.
constexpr uint32_t TRANSPORT_READ_TIMEOUT_MS = 5000;
constexpr uint32_t TRANSPORT_WRITE_TIMEOUT_MS = 1000;
// Pause after a failed acknowledged receive, so the engine's watchdog runs out.
constexpr uint32_t TRANSPORT_ACK_FAILURE_PAUSE_MS = 3000;
// Size of transport_rx_string's internal buffer: the largest iSize accepted.
constexpr int TRANSPORT_RX_STRING_MAX = 256;

int transport_open(const char* sPort, uint32_t baud, plat::Handle hPort);
int transport_close();
plat::Handle transport_get_handle();

int transport_tx_byte(uint8_t byte);
int transport_tx_bytes(const uint8_t* data, uint32_t count);
int transport_tx_word(uint16_t word);
int transport_tx_long(uint32_t value);

int transport_rx_byte(uint8_t* byte);
int transport_rx_bytes(uint8_t* buffer, uint32_t* count);
int transport_rx_byte_ack(uint8_t* byte);
int transport_rx_word_ack(uint16_t* word);
int transport_rx_long_ack(uint32_t* value);
int transport_rx_word(uint16_t* word);
int transport_rx_long(uint32_t* value);
int transport_rx_expect(uint8_t expected, uint8_t* received);
int transport_rx_string(char* buffer, int iSize);

int transport_set_read_timeout(uint32_t ms);
int transport_set_write_timeout(uint32_t ms);
int transport_purge_rx();
int transport_purge_tx();
int transport_set_baud(uint32_t baud);
