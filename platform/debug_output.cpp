// Debugger output: where every trace line also goes. A test installs a sink
// to capture it; otherwise it is dropped, or written to stderr when
// FLASHWRIGHT_DEBUG_OUTPUT=1. No call allocates.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <shared_mutex>

#include "platform_internal.h"

namespace plat {

namespace {

// Wide characters narrowed per chunk; UTF-8 needs at most 4 bytes for each.
constexpr size_t kChunkChars = 256;
constexpr size_t kChunkBytes = kChunkChars * 4;

void StderrSink(void*, const wchar_t* text) {
  size_t left = std::wcslen(text);
  while (left > 0) {
    size_t take = left < kChunkChars ? left : kChunkChars;
    // Keep a UTF-16 surrogate pair in one chunk.
    if (take < left && take > 1 && text[take - 1] >= 0xD800 && text[take - 1] <= 0xDBFF) --take;
    char bytes[kChunkBytes];
    int n = WideToNarrow(text, static_cast<int>(take), bytes, sizeof bytes);
    for (int off = 0; off < n;) {
      ssize_t w = ::write(STDERR_FILENO, bytes + off, static_cast<size_t>(n - off));
      if (w <= 0) return;  // nowhere to report a failing stderr
      off += static_cast<int>(w);
    }
    text += take;
    left -= take;
  }
}

bool StderrWanted() {
  static const bool wanted = [] {
    const char* value = std::getenv("FLASHWRIGHT_DEBUG_OUTPUT");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return wanted;
}

// Calls hold the lock shared while the sink runs, so once SetDebugSink has
// returned no call is still inside the sink it replaced. A sink must not call
// SetDebugSink.
struct SinkSlot {
  std::shared_mutex mutex;
  DebugSink sink = nullptr;
  void* context = nullptr;
};

SinkSlot& Slot() {
  static SinkSlot* slot = new SinkSlot;  // outlives static destructors that trace
  return *slot;
}

}  // namespace

void DebugOutput(const wchar_t* text) {
  if (text == nullptr) return;
  SinkSlot& slot = Slot();
  std::shared_lock<std::shared_mutex> lock(slot.mutex);
  if (slot.sink != nullptr) {
    slot.sink(slot.context, text);
  } else if (StderrWanted()) {
    StderrSink(nullptr, text);
  }
}

void SetDebugSink(DebugSink sink, void* context, DebugSink* previous, void** previous_context) {
  SinkSlot& slot = Slot();
  std::unique_lock<std::shared_mutex> lock(slot.mutex);
  if (previous != nullptr) *previous = slot.sink;
  if (previous_context != nullptr) *previous_context = slot.context;
  slot.sink = sink;
  slot.context = sink != nullptr ? context : nullptr;
}

}  // namespace plat
