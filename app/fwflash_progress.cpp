#include "fwflash_progress.h"

#include <algorithm>

#include "engine_protocol.h"
#include "platform.h"

namespace fwflash {

namespace {

constexpr int kBarWidth = 30;
constexpr uint32_t kTickerPeriod_ms = 150;
constexpr const char kWritingBlock[] = "Writing block ";
constexpr const char kWritingDone[] = "Writing blocks complete";
constexpr const char kPsocVersion[] = "PSOC version after load";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A status text as one line: its line breaks become blanks, trailing blanks go.
std::string OneLine(const char* text) {
  std::string line;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\r') continue;
    line += (*p == '\n') ? ' ' : *p;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

int Percent(int32_t done, int32_t total) {
  if (total <= 0) return 0;
  return static_cast<int>(std::clamp<int64_t>(int64_t{done} * 100 / total, 0, 100));
}

}  // namespace

std::atomic<Progress*> Progress::current_{nullptr};

Progress::Progress(FILE* out, bool terminal) : out_(out), terminal_(terminal) {
  current_.store(this);
  if (terminal_) ticker_ = std::thread(&Progress::TickerLoop, this);
}

Progress::~Progress() {
  stop_.store(true);
  if (ticker_.joinable()) ticker_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  EndBarLocked();
  current_.store(nullptr);
}

int Progress::StatusCallback(const char* text, uint32_t /*length*/, uint32_t /*length2*/) {
  Progress* p = current_.load();
  if (p != nullptr && text != nullptr) p->OnStatus(OneLine(text));
  return 0;
}

void Progress::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  PrintLocked(text);
}

void Progress::OnStatus(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t current = KpxGetCurrentBlock();
  const int32_t total = KpxGetTotalBlocks();
  if (StartsWith(text, kWritingBlock)) {
    if (!writing_) {
      writing_ = true;
      write_start_ms_ = plat::NowMs();
      write_start_block_ = current;
      last_decile_ = -1;
    }
    if (terminal_) {
      DrawBarLocked(current);
      return;
    }
    // A log gets one line per tenth of the image, not one per status.
    int decile = Percent(current, total) / 10;
    if (decile == last_decile_) return;
    last_decile_ = decile;
    PrintLocked(text + "  (" + std::to_string(Percent(current, total)) + "%, " + RateText(current) + ")");
    return;
  }
  if (StartsWith(text, kWritingDone) && writing_) {
    writing_ = false;
    if (terminal_) {
      // The text comes whether the writing succeeded or not; the bar's last
      // frame waits until the outcome is known.
      pending_done_text_ = text;
    } else {
      PrintLocked(text + "  (" + RateText(current + 1) + ")");
    }
    return;
  }
  // Only a co-processor image that was written whole is followed by its version.
  if (!pending_done_text_.empty()) CompleteBarLocked(StartsWith(text, kPsocVersion));
  PrintLocked(text);
}

void Progress::Finish(bool written) {
  std::lock_guard<std::mutex> lock(mutex_);
  writing_ = false;
  if (!pending_done_text_.empty()) CompleteBarLocked(written);
}

void Progress::CompleteBarLocked(bool written) {
  if (written) DrawBarLocked(KpxGetTotalBlocks());
  std::string text;
  text.swap(pending_done_text_);
  PrintLocked(text);
}

std::string Progress::RateText(int32_t done_blocks) const {
  uint64_t elapsed_ms = plat::NowMs() - write_start_ms_;
  int64_t bytes = int64_t{done_blocks - write_start_block_} * FLASH_BLOCK_SIZE;
  if (elapsed_ms == 0 || bytes <= 0) return "-- B/s";
  return std::to_string(static_cast<uint64_t>(bytes * 1000 / static_cast<int64_t>(elapsed_ms))) + " B/s";
}

void Progress::DrawBarLocked(int32_t done_blocks) {
  const int32_t total = KpxGetTotalBlocks();
  done_blocks = std::clamp(done_blocks, 0, std::max(total, 0));
  const int percent = Percent(done_blocks, total);
  const int filled = percent * kBarWidth / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '.');
  std::fprintf(out_, "\r[%s] %3d%%  block %d/%d  %s\033[K", bar.c_str(), percent, done_blocks, total,
               RateText(done_blocks).c_str());
  std::fflush(out_);
  bar_shown_ = true;
}

void Progress::EndBarLocked() {
  if (!bar_shown_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  bar_shown_ = false;
}

void Progress::PrintLocked(const std::string& text) {
  EndBarLocked();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void Progress::TickerLoop() {
  while (!stop_.load()) {
    plat::SleepMs(kTickerPeriod_ms);
    std::lock_guard<std::mutex> lock(mutex_);
    if (writing_) DrawBarLocked(KpxGetCurrentBlock());
  }
}

}  // namespace fwflash
