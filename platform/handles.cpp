// The handle table shared by files, serial ports and registry keys, and the
// generic Read/Write/CloseHandle that dispatch on it.
#include <map>
#include <mutex>

#include "platform_internal.h"

namespace plat {
namespace detail {

namespace {

constexpr Handle kFirstHandle = 0x40;
constexpr Handle kHandleStep = 4;
// The last value a handle may take: a multiple of 4 below kInvalidHandle.
constexpr Handle kLastHandle = kInvalidHandle - (kInvalidHandle % kHandleStep) - kHandleStep;

struct HandleTable {
  std::mutex mutex;
  std::map<Handle, std::shared_ptr<HandleObject>> objects;
  Handle next = kFirstHandle;
};

HandleTable& Table() {
  // Never destroyed: handles may still be closed from static destructors.
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

Handle RegisterHandle(std::shared_ptr<HandleObject> object) {
  if (!object) {
    SetLastErrorCode(kErrInvalidParameter);
    return kInvalidHandle;
  }
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  // Values are handed out in order and skip any still in use after a wrap.
  for (;;) {
    Handle h = table.next;
    table.next = (h >= kLastHandle) ? kFirstHandle : h + kHandleStep;
    if (table.objects.find(h) == table.objects.end()) {
      table.objects.emplace(h, std::move(object));
      return h;
    }
  }
}

std::shared_ptr<HandleObject> LookupHandle(Handle h) {
  HandleTable& table = Table();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(h);
    if (it != table.objects.end()) return it->second;
  }
  SetLastErrorCode(kErrInvalidHandle);
  return nullptr;
}

std::shared_ptr<HandleObject> LookupHandle(Handle h, HandleKind kind) {
  std::shared_ptr<HandleObject> object = LookupHandle(h);
  if (object && object->kind() != kind) {
    SetLastErrorCode(kErrInvalidHandle);
    return nullptr;
  }
  return object;
}

}  // namespace detail

bool CloseHandle(Handle h) {
  std::shared_ptr<detail::HandleObject> object;
  {
    detail::HandleTable& table = detail::Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(h);
    if (it != table.objects.end()) {
      object = std::move(it->second);
      table.objects.erase(it);
    }
  }
  if (!object) {
    SetLastErrorCode(kErrInvalidHandle);
    return false;
  }
  // Outside the lock: closing a port may wait for another thread's wait to end.
  return object->Close();
}

namespace {

// Read and Write share their checks; `op` is the object's member to call.
template <class Buffer, class Op>
bool Transfer(Handle h, Buffer buffer, uint32_t size, uint32_t* done, Op op) {
  uint32_t ignored = 0;
  if (!done) done = &ignored;  // the count is optional
  *done = 0;
  std::shared_ptr<detail::HandleObject> object = detail::LookupHandle(h);
  if (!object) return false;
  if (!buffer && size > 0) {
    SetLastErrorCode(kErrInvalidParameter);
    return false;
  }
  return ((*object).*op)(buffer, size, done);
}

}  // namespace

bool Read(Handle h, void* buffer, uint32_t size, uint32_t* done) {
  return Transfer(h, buffer, size, done, &detail::HandleObject::Read);
}

bool Write(Handle h, const void* buffer, uint32_t size, uint32_t* done) {
  return Transfer(h, buffer, size, done, &detail::HandleObject::Write);
}

}  // namespace plat
