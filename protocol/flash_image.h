// Helpers shared by the firmware file reader, the flash writer and the upgrade
// sequence. Private to protocol/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine_protocol.h"
#include "platform.h"

// Opens a firmware or image file read-only, others may read it too. The name
// is narrow: "/..." is a host path, "\\..." a device path. The handle is not
// valid when the file cannot be opened.
plat::UniqueHandle OpenImageFile(const char* name);

// Reads up to `size` bytes from the current position; returns how many
// arrived (fewer only at the end of the file or on a read error).
uint32_t ReadImageBytes(plat::Handle file, uint8_t* buffer, uint32_t size);

// write_block for a caller whose buffer holds `available` bytes: a byte count
// beyond that is refused with an error report before anything is sent.
int write_block_checked(uint16_t n, uint32_t address, const uint8_t* data, size_t available);

// Composes a text into buffer (capacity cap, cap >= 1), cut to at most cap - 1
// bytes without splitting a multi-byte character. Returns the length of the
// text actually stored.
size_t ComposeText(char* buffer, size_t cap, const char* format, ...) __attribute__((format(printf, 3, 4)));
