// fwflash: flashes new firmware into a scan engine on the bench. The engine is
// already in download mode and wired to a serial port; no handheld is around
// it, so the tool runs the protocol's upgrade sequence directly.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine_protocol.h"
#include "fwflash_options.h"
#include "fwflash_progress.h"
#include "platform.h"
#include "trace_log.h"

namespace {

constexpr int kVersionBufferSize = 256;
constexpr const wchar_t kLogFolder[] = L"\\My Documents";
constexpr const wchar_t kTracePath[] = L"\\My Documents\\flwright.log";
constexpr const wchar_t kResultsPath[] = L"\\My Documents\\KPXResults.xml";

// The trace log and the results record live in "\My Documents"; without that
// folder the run would leave no trace, so it is created.
bool EnsureLogFolder() {
  if (plat::DirectoryExists(kLogFolder)) return true;
  std::string host = plat::HostPath(kLogFolder);
  if (!plat::CreateDirectories(kLogFolder)) {
    std::fprintf(stderr, "fwflash: cannot create %s (error %u); the run leaves no trace log\n", host.c_str(),
                 plat::LastError());
    return false;
  }
  std::printf("Created %s for the trace log and the results record.\n", host.c_str());
  return true;
}

// What each result of the upgrade sequence means to the technician.
struct ResultText {
  int result;
  int exit_status;
  const char* summary;  // also recorded as "ErrStr"
  const char* advice;
};

constexpr ResultText kResultTexts[] = {
    {PROTO_SUCCESS, fwflash::kExitSuccess, "success", ""},
    {PROTO_BOARD_NOT_SUPPORTED, fwflash::kExitBoardNotSupported, "board not supported",
     "the engine's board (scanner type and board id) is not in the image's board table; nothing was erased"},
    {PROTO_ARGUMENT_MISSING, fwflash::kExitArgumentMissing, "argument missing",
     "the protocol found a required argument missing"},
    {PROTO_LINK_FAILED, fwflash::kExitLinkFailed, "link detection failed",
     "no answer, or one the catalogue does not accept for this engine: is the engine in download mode, "
     "and is it this engine?"},
};
constexpr ResultText kOtherFailure = {PROTO_FAILURE, fwflash::kExitFailure, "upgrade failed",
                                      "see the errors below and the trace log"};

const ResultText& TextFor(int result) {
  for (const ResultText& t : kResultTexts) {
    if (t.result == result) return t;
  }
  return kOtherFailure;
}

// The "ErrStr" values of the results record, so the technician sees why a
// run failed without opening the file.
std::vector<std::string> RecordedErrors(const std::string& results_host_path) {
  static constexpr char kOpen[] = "<ErrStr>";
  static constexpr char kClose[] = "</ErrStr>";
  std::ifstream in(results_host_path, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> errors;
  for (size_t at = all.find(kOpen); at != std::string::npos; at = all.find(kOpen, at)) {
    at += sizeof(kOpen) - 1;
    size_t end = all.find(kClose, at);
    if (end == std::string::npos) break;
    std::string value = all.substr(at, end - at);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    errors.push_back(value);
    at = end;
  }
  return errors;
}

struct UpgradeOutcome {
  int result = PROTO_FAILURE;
  bool psoc_requested = false;
  bool psoc_version_returned = false;
  std::string psoc_version;
  std::string scanner_version;
  uint64_t elapsed_ms = 0;
};

UpgradeOutcome RunUpgrade(const fwflash::Options& o) {
  UpgradeOutcome out;
  out.psoc_requested = !o.psoc_image.empty();
  // The co-processor buffer is one byte larger than any text the protocol
  // hands back, so a changed length shows that the co-processor phase got as
  // far as its version read-back.
  char psoc_version[kVersionBufferSize + 1] = {};
  char scanner_version[kVersionBufferSize] = {};
  int32_t psoc_len = kVersionBufferSize + 1;
  int32_t scanner_len = kVersionBufferSize;
  auto optional = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };

  TraceMsg(true, ZONE_INFO, "fwflash - start. port: %s, baud: %u, engine: %s, driver: %s, image: %s\r\n",
           o.port.c_str(), o.baud, o.engine.c_str(), o.driver.c_str(), o.image.c_str());
  if (out.psoc_requested) {
    TraceMsg(true, ZONE_INFO, "fwflash - co-processor driver: %s, image: %s\r\n", o.psoc_driver.c_str(),
             o.psoc_image.c_str());
  }
  const uint64_t start_ms = plat::NowMs();
  out.result = engine_upgrade(o.port.c_str(), o.baud, o.engine.c_str(), o.driver.c_str(), optional(o.psoc_driver),
                              optional(o.psoc_image), o.image.c_str(), psoc_version, scanner_version, &psoc_len,
                              &scanner_len, &fwflash::Progress::StatusCallback, plat::kNoHandle);
  out.elapsed_ms = plat::NowMs() - start_ms;
  out.scanner_version = scanner_version;
  out.psoc_version = psoc_version;
  out.psoc_version_returned = psoc_len != kVersionBufferSize + 1 && psoc_version[0] != '\0';

  const auto elapsed_ms = static_cast<unsigned long long>(out.elapsed_ms);
  if (out.result == PROTO_SUCCESS) {
    TraceMsg(true, ZONE_SUCCESS, "fwflash - upgrade successful. time: %llu ms\r\n", elapsed_ms);
  } else {
    TraceMsg(true, ZONE_ERROR, "fwflash - ERROR: upgrade result: %d (%s), time: %llu ms\r\n", out.result,
             TextFor(out.result).summary, elapsed_ms);
    // A board mismatch or a wrong autodetect answer records nothing on its
    // own; the record must still show that the run failed.
    LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "fwflash - upgrade failed, result %d: %s", out.result,
              TextFor(out.result).summary);
  }
  if (out.result == PROTO_SUCCESS && out.psoc_requested && !out.psoc_version_returned) {
    // The sequence reports the scanner phase's result; a failed co-processor
    // phase before it would otherwise pass for success.
    TraceMsg(true, ZONE_ERROR, "fwflash - ERROR: co-processor phase did not complete\r\n");
    LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "fwflash - co-processor phase did not complete");
  }
  return out;
}

std::string Seconds(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f s", static_cast<double>(ms) / 1000.0);
  return text;
}

int Report(const UpgradeOutcome& out, fwflash::Progress* progress) {
  if (out.psoc_version_returned) progress->Line("Co-processor version: " + out.psoc_version);
  const ResultText& text = TextFor(out.result);
  const int status = text.exit_status;
  if (status != fwflash::kExitSuccess) {
    progress->Line("Upgrade FAILED (result " + std::to_string(out.result) + ", " + text.summary + ", " +
                   Seconds(out.elapsed_ms) + "): " + text.advice + ".");
    return status;
  }
  progress->Line("Firmware version: " + out.scanner_version);
  if (out.psoc_requested && !out.psoc_version_returned) {
    progress->Line("Upgrade FAILED: the co-processor phase did not complete (the scanner phase succeeded).");
    return fwflash::kExitFailure;
  }
  progress->Line("Download successful (" + Seconds(out.elapsed_ms) + ").");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  plat::InitProcess();

  fwflash::Options options;
  std::string error;
  if (!fwflash::ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "fwflash: %s\nTry 'fwflash --help'.\n", error.c_str());
    return fwflash::kExitUsage;
  }
  if (options.help) {
    std::fputs(fwflash::UsageText().c_str(), stdout);
    return fwflash::kExitSuccess;
  }

  const bool terminal = isatty(fileno(stdout)) == 1;
  const char* from_catalogue = options.port_defaulted && options.baud_defaulted ? " (port and rate from the catalogue)"
                               : options.port_defaulted                         ? " (port from the catalogue)"
                               : options.baud_defaulted                         ? " (rate from the catalogue)"
                                                                                : "";
  std::printf("Engine %s on %s at %u baud%s\n", options.engine.c_str(), options.port.c_str(), options.baud,
              from_catalogue);
  std::printf("Driver %s\nImage  %s\n", options.driver.c_str(), options.image.c_str());
  if (!options.psoc_image.empty()) {
    std::printf("Co-processor driver %s\nCo-processor image  %s\n", options.psoc_driver.c_str(),
                options.psoc_image.c_str());
  }
  std::fflush(stdout);
  EnsureLogFolder();

  int status = fwflash::kExitFailure;
  {
    fwflash::Progress progress(stdout, terminal);
    UpgradeOutcome outcome = RunUpgrade(options);
    progress.Finish(outcome.result == PROTO_SUCCESS);
    status = Report(outcome, &progress);
  }
  CloseTraceLog();

  const std::string results = plat::HostPath(kResultsPath);
  if (status != fwflash::kExitSuccess) {
    // The protocol's own error texts; fwflash's verdict is printed already.
    std::vector<std::string> errors;
    for (std::string& e : RecordedErrors(results)) {
      if (e.rfind("fwflash - ", 0) != 0) errors.push_back(std::move(e));
    }
    if (!errors.empty()) std::fprintf(stderr, "Errors in the results record:\n");
    for (const std::string& e : errors) std::fprintf(stderr, "  %s\n", e.c_str());
  }
  std::printf("Trace log:      %s\nResults record: %s\n", plat::HostPath(kTracePath).c_str(), results.c_str());
  return status;
}
