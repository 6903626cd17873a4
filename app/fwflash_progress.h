// fwflash's progress display: the protocol's status texts and its block
// counters, as a redrawn bar on a terminal or as plain lines in a log.
// Private to app/.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace fwflash {

class Progress {
 public:
  // terminal: redraw one line with "\r" (and a ticker that keeps it moving);
  // otherwise every line ends with "\n" and nothing is redrawn.
  Progress(FILE* out, bool terminal);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // The StatusCallback handed to the protocol; reaches the Progress that is
  // alive (one per process). Returns 0.
  static int StatusCallback(const char* text, uint32_t length, uint32_t length2);

  // The upgrade has returned; written tells whether the last image was
  // written whole. Completes a bar still on screen.
  void Finish(bool written);

  // Prints a line of the tool's own, ending a bar that is on screen.
  void Line(const std::string& text);

 private:
  void OnStatus(const std::string& text);
  void DrawBarLocked(int32_t done_blocks);
  void EndBarLocked();
  void CompleteBarLocked(bool written);
  void PrintLocked(const std::string& text);
  void TickerLoop();
  std::string RateText(int32_t done_blocks) const;

  static std::atomic<Progress*> current_;

  FILE* out_;
  const bool terminal_;
  std::mutex mutex_;
  bool writing_ = false;     // between "Writing block 0" and "Writing blocks complete"
  bool bar_shown_ = false;   // a bar line is on screen without its line end
  uint64_t write_start_ms_ = 0;
  int32_t write_start_block_ = 0;
  int last_decile_ = -1;     // plain lines: the last tenth of the image reported
  std::string pending_done_text_;  // terminal: "Writing blocks complete", held until the outcome is known
  std::atomic<bool> stop_{false};
  std::thread ticker_;
};

}  // namespace fwflash
