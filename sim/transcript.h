// The engine's transcript: the bytes on the line, one line of text per
// direction change ("H> 00", "E> 72"), and notes. Written as it goes. Used by
// the engine's serving thread only. Private to sim/.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

class Transcript {
 public:
  Transcript() = default;
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  // Creates the file (host path); an empty path keeps the transcript off.
  bool Open(const std::string& path);
  void Close();

  // Bytes sent by the host ('H') or the engine ('E').
  void Bytes(char direction, const uint8_t* data, size_t n);
  // A line of its own ("!! ...", "-- ..."), ending any line in progress.
  void Line(const std::string& text);
  // Pushes out what has been written (the engine calls it before it waits).
  void Flush();

 private:
  void EndLine();
  std::FILE* file_ = nullptr;
  char direction_ = 0;  // direction of the line in progress, 0 if none
};

}  // namespace sim
