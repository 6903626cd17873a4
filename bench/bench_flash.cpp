// Flashing throughput: a whole scanner upgrade (link detection, driver
// download, board check, erase, write, version read-back, driver removal)
// through the simulated engine on a pseudo-terminal, on the real clock.
//
//  - BM_FlashAtLineRate: the engine paces every byte at the line rate. The
//    counter wire_ratio is the wall time over the wire-time bound (every byte
//    that crosses the line, either way, at 10 bits per byte); the goal is
//    at most 1.05, i.e. the host adds no more than 5 % to the line time.
//  - BM_FlashUnpaced: no pacing; cpu_ms_per_MiB is the host thread's CPU time
//    per MiB of image flashed (sim_cpu_ms_per_MiB the simulated engine's).
//    It first checks the byte count behind wire_ratio against a transcript of
//    what the engine saw on the line.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine_protocol.h"
#include "platform.h"
#include "sample_firmware.h"
#include "simulator.h"
#include "trace_log.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kDriverBytes = 4096;
constexpr uint32_t kSimFlashBytes = 1024 * 1024;
constexpr uint32_t kSettle_ms = 200;

// A throw-away device root for the trace log, the results record and the files.
class BenchRoot {
 public:
  BenchRoot() {
    std::string tmpl = (fs::temp_directory_path() / "fwbench-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
    fs::create_directories(path_ + "/My Documents");
    setenv("FLASHWRIGHT_ROOT", path_.c_str(), 1);
  }
  ~BenchRoot() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

BenchRoot* g_root = nullptr;

double CpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Bytes on the "H>" and "E>" lines of an engine transcript.
uint64_t TranscriptBytes(const std::string& path) {
  std::ifstream in(path);
  uint64_t bytes = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("H>", 0) != 0 && line.rfind("E>", 0) != 0) continue;
    std::istringstream hex(line.substr(2));
    for (std::string token; hex >> token;) ++bytes;
  }
  return bytes;
}

// Bytes that cross the line, in both directions, in one scanner-only upgrade
// whose link detection succeeds at the first attempt.
uint64_t WireBytes(uint64_t driver_bytes, uint64_t image_bytes, const sim::EngineConfig& engine) {
  const uint64_t driver_blocks = driver_bytes / FLASH_BLOCK_SIZE;
  const uint64_t image_blocks = (image_bytes + FLASH_BLOCK_SIZE - 1) / FLASH_BLOCK_SIZE;
  auto acked = [](uint64_t n) { return 2 * n; };  // each received byte answered with ACK
  const uint64_t command = CMD_FRAME_SIZE + 4 + 1;  // frame, its checksum, RSP_ACK
  const uint64_t detect = 1 + 1;                    // AUTODETECT_BYTE and the answer
  // START_DWNLD, DWNLD_RSP, block count; per block BLOCK_REQ and number, data,
  // CHK_REQ, checksum; DWNLD_DONE.
  const uint64_t download = 3 + driver_blocks * (2 + FLASH_BLOCK_SIZE + 1 + 4) + 1;
  const uint64_t ack_mode = command + 1 + 1;  // RSP_DONE, ACK
  const uint64_t flash_init = command + 1 + acked(4) + acked(engine.driver_version.size() + 1);
  const uint64_t version = command + 1 + acked(8) + acked(engine.firmware_version.size() + 1);
  const uint64_t erase = command + 1 + 1 + 1;   // ACK, RSP_DONE, ACK
  const uint64_t write = image_blocks * (command + 1 + FLASH_BLOCK_SIZE + 4 + 1 + 1);
  const uint64_t remove = command + 1 + 1 + 1;  // ACK, RSP_DONE, ACK
  // The version is read twice: for the board check and after the write.
  return detect + download + ack_mode + flash_init + 2 * version + erase + write + remove;
}

struct FlashRun {
  bool ok = false;
  std::string error;
  double wall_s = 0;
  double cpu_s = 0;     // the host's thread (the one running the upgrade)
  double sim_cpu_s = 0;  // the rest of the process: the simulated engine
};

// Flashes a .bin file with an image of image_bytes through a fresh engine.
// settle_ms: time the engine gets to take the host's last ACK before it stops.
FlashRun FlashOnce(const sim::EngineConfig& config, uint32_t baud, const std::string& driver,
                   const std::string& firmware, const std::vector<uint8_t>& image, uint32_t settle_ms = 0) {
  FlashRun run;
  sim::SimEngine engine(config);
  if (!engine.Start()) {
    run.error = "cannot start the simulated engine";
    return run;
  }
  char version[256] = {};
  int32_t version_len = sizeof(version);
  const auto wall0 = std::chrono::steady_clock::now();
  const double cpu0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  const double process0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  int result = engine_upgrade(engine.slave_path().c_str(), baud, "QA71", driver.c_str(), nullptr, nullptr,
                              firmware.c_str(), nullptr, version, nullptr, &version_len, nullptr, plat::kNoHandle);
  run.cpu_s = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
  run.sim_cpu_s = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0 - run.cpu_s;
  run.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  if (settle_ms != 0) plat::SleepMs(settle_ms);
  engine.Stop();
  std::vector<uint8_t> flash = engine.Flash();
  if (result != PROTO_SUCCESS) {
    run.error = "engine_upgrade returned " + std::to_string(result);
  } else if (flash.size() < image.size() || !std::equal(image.begin(), image.end(), flash.begin())) {
    run.error = "the flash does not hold the image";
  } else if (!engine.Violations().empty()) {
    run.error = "protocol violation: " + engine.Violations().front().what;
  } else {
    run.ok = true;
  }
  return run;
}

// Writes the driver and a firmware file of image_kib; returns the image.
std::vector<uint8_t> PrepareFiles(int64_t image_kib, std::string* driver, std::string* firmware) {
  std::vector<uint8_t> image = sample::ImageBytes(static_cast<size_t>(image_kib) * 1024);
  *driver = g_root->File("bench.drv");
  *firmware = g_root->File("bench-" + std::to_string(image_kib) + "k.bin");
  sample::WriteBytes(*driver, sample::DriverBytes(kDriverBytes));
  sample::WriteBytes(*firmware, sample::BinFile({{sample::kSimScannerType, sample::kSimBoardId}}, image));
  return image;
}

// Checks the wire byte count against what the engine saw on the line once.
bool CheckWireBytes(const sim::EngineConfig& base, const std::string& driver, const std::string& firmware,
                    const std::vector<uint8_t>& image, benchmark::State& state) {
  sim::EngineConfig config = base;
  config.pace_baud = 0;
  config.transcript_path = g_root->File("transcript.txt");
  FlashRun run = FlashOnce(config, 115200, driver, firmware, image, kSettle_ms);
  const uint64_t seen = TranscriptBytes(config.transcript_path);
  const uint64_t computed = WireBytes(kDriverBytes, image.size(), config);
  if (!run.ok || seen != computed) {
    std::string error = run.ok ? "wire bytes: computed " + std::to_string(computed) + ", transcript " +
                                     std::to_string(seen)
                               : run.error;
    state.SkipWithError(error.c_str());
    return false;
  }
  state.counters["transcript_bytes"] = static_cast<double>(seen);
  return true;
}

void RunFlashBenchmark(benchmark::State& state, int64_t image_kib, uint32_t pace_baud) {
  std::string driver;
  std::string firmware;
  const std::vector<uint8_t> image = PrepareFiles(image_kib, &driver, &firmware);
  sim::EngineConfig config;
  config.flash_size = kSimFlashBytes;
  config.pace_baud = pace_baud;
  if (pace_baud == 0 && !CheckWireBytes(config, driver, firmware, image, state)) return;
  const uint32_t baud = pace_baud != 0 ? pace_baud : 115200;
  FlashRun total;
  for (auto _ : state) {
    FlashRun run = FlashOnce(config, baud, driver, firmware, image);
    if (!run.ok) {
      state.SkipWithError(run.error.c_str());
      return;
    }
    state.SetIterationTime(run.wall_s);
    total.wall_s += run.wall_s;
    total.cpu_s += run.cpu_s;
    total.sim_cpu_s += run.sim_cpu_s;
  }
  const double iterations = static_cast<double>(state.iterations());
  const double mib = static_cast<double>(image.size()) / (1024.0 * 1024.0);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
  state.counters["cpu_ms_per_MiB"] = total.cpu_s / iterations / mib * 1000.0;
  state.counters["sim_cpu_ms_per_MiB"] = total.sim_cpu_s / iterations / mib * 1000.0;
  if (pace_baud != 0) {
    const uint64_t wire_bytes = WireBytes(kDriverBytes, image.size(), config);
    const double wire_s = static_cast<double>(wire_bytes) * 10.0 / static_cast<double>(pace_baud);
    state.counters["wire_bytes"] = static_cast<double>(wire_bytes);
    state.counters["wire_s"] = wire_s;
    state.counters["wire_ratio"] = total.wall_s / iterations / wire_s;
  }
}

// Arguments: image size in KiB, line rate.
void BM_FlashAtLineRate(benchmark::State& state) {
  RunFlashBenchmark(state, state.range(0), static_cast<uint32_t>(state.range(1)));
}
BENCHMARK(BM_FlashAtLineRate)
    ->Args({64, 115200})
    ->Args({256, 460800})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Argument: image size in KiB.
void BM_FlashUnpaced(benchmark::State& state) { RunFlashBenchmark(state, state.range(0), 0); }
BENCHMARK(BM_FlashUnpaced)->Arg(256)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  plat::InitProcess();
  BenchRoot root;
  g_root = &root;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  CloseTraceLog();
  g_root = nullptr;
  return 0;
}
