// Shared conventions of the protocol operations. Private to protocol/.
#pragma once

#include <cstdint>

#include "engine_protocol.h"

// Longest error text recorded and traced by an error report.
constexpr int PROTO_ERROR_TEXT_MAX = 255;
// Size of the module-level status buffer shared by erase_all and write_flash_ex.
constexpr int PROTO_STATUS_BUFFER_SIZE = 256;

// An error report: composes the text (cut to PROTO_ERROR_TEXT_MAX characters),
// records it in "ErrStr" with LogResult, then traces prefix + text + "\r\n"
// in the error zone. prefix is "" , "-> " (a send failed) or "<- " (a reply
// from the engine was missing or wrong).
void proto_error_report(const char* prefix, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The pause after a failed engine reply: lets the engine's watchdog run out.
void proto_pause();

// The module-level status buffer: composes a text into it and posts it.
void proto_post_composed_status(StatusCallback callback, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The first row of EngineLinkTable that pairs this engine name (narrow text,
// case ignored) with this autodetect answer, or nullptr.
const EngineLinkEntry* FindAutodetectRow(const char* engine, uint8_t response);
