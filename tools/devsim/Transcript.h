// The --transcript file: every byte that crosses the line, in order, one record per read or
// write. A record is one text line: ">" for host-to-device bytes or "<" for device-to-host bytes,
// a blank, then the bytes with C escapes (\r, \n, \t, \\, \xHH for anything not printable
// ASCII). Lines starting with "#" note line events (port opened, closed, dropped).
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace devsim {

class TTranscript {
 public:
  TTranscript() = default;
  ~TTranscript();
  TTranscript(const TTranscript&) = delete;
  TTranscript& operator=(const TTranscript&) = delete;

  bool Open(const std::string& Path);
  bool IsOpen() const { return File_ != nullptr; }
  // Direction: '>' for bytes from the host, '<' for bytes to the host.
  void Record(char Direction, const char* Data, size_t Count);
  void Note(std::string_view Text);

  static std::string Escape(const char* Data, size_t Count);

 private:
  std::mutex Lock_;
  std::FILE* File_ = nullptr;
};

}  // namespace devsim
