// Test doubles for serial ports, found by the tty path a port is opened on.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <vector>

#include "serial_internal.h"

namespace plat {

namespace {

struct DoubleRegistry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<testing::SerialPortDouble>> by_path;
  std::multimap<const testing::SerialPortDouble*, int> waiters;
};

DoubleRegistry& Registry() {
  static DoubleRegistry* registry = new DoubleRegistry;  // outlives static destructors
  return *registry;
}

std::string Canonical(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string resolved(real);
  std::free(real);
  return resolved;
}

}  // namespace

namespace detail {

std::shared_ptr<testing::SerialPortDouble> FindSerialDouble(const std::string& tty_path) {
  DoubleRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (registry.by_path.empty()) return nullptr;
  auto it = registry.by_path.find(Canonical(tty_path));
  return it == registry.by_path.end() ? nullptr : it->second;
}

void AddModemWaiter(const testing::SerialPortDouble* port_double, int event_fd) {
  DoubleRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.waiters.emplace(port_double, event_fd);
}

void RemoveModemWaiter(const testing::SerialPortDouble* port_double, int event_fd) {
  DoubleRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto [first, last] = registry.waiters.equal_range(port_double);
  for (auto it = first; it != last; ++it) {
    if (it->second == event_fd) {
      registry.waiters.erase(it);
      return;
    }
  }
}

}  // namespace detail

namespace testing {

void SerialPortDouble::SetModemStatus(uint32_t status) {
  modem_status.store(status);
  change_count.fetch_add(1);
  DoubleRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto [first, last] = registry.waiters.equal_range(this);
  for (auto it = first; it != last; ++it) {
    uint64_t one = 1;
    while (::write(it->second, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
}

uint32_t SerialPortDouble::ModemStatus() const { return modem_status.load(); }

std::shared_ptr<SerialPortDouble> AttachSerialDouble(const std::string& tty_path) {
  auto port_double = std::make_shared<SerialPortDouble>();
  DoubleRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.by_path[Canonical(tty_path)] = port_double;
  return port_double;
}

void DetachSerialDouble(const std::string& tty_path) {
  DoubleRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.by_path.erase(Canonical(tty_path));
}

}  // namespace testing

}  // namespace plat
