// Writer of the transcript file. Every record is flushed at once, so that a test can read the
// file while the simulator still runs.
#include "Transcript.h"

namespace devsim {

TTranscript::~TTranscript() {
  if (File_ != nullptr) std::fclose(File_);
}

bool TTranscript::Open(const std::string& Path) {
  File_ = std::fopen(Path.c_str(), "w");
  return File_ != nullptr;
}

std::string TTranscript::Escape(const char* Data, size_t Count) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string Text;
  Text.reserve(Count + Count / 4);
  for (size_t I = 0; I < Count; ++I) {
    unsigned char C = static_cast<unsigned char>(Data[I]);
    if (C == '\\') {
      Text += "\\\\";
    } else if (C == '\r') {
      Text += "\\r";
    } else if (C == '\n') {
      Text += "\\n";
    } else if (C == '\t') {
      Text += "\\t";
    } else if (C >= 0x20 && C < 0x7F) {
      Text += static_cast<char>(C);
    } else {
      Text += "\\x";
      Text += Hex[C >> 4];
      Text += Hex[C & 15];
    }
  }
  return Text;
}

void TTranscript::Record(char Direction, const char* Data, size_t Count) {
  if (File_ == nullptr || Count == 0) return;
  std::string Line(1, Direction);
  Line += ' ';
  Line += Escape(Data, Count);
  Line += '\n';
  std::lock_guard<std::mutex> Guard(Lock_);
  std::fwrite(Line.data(), 1, Line.size(), File_);
  std::fflush(File_);
}

void TTranscript::Note(std::string_view Text) {
  if (File_ == nullptr) return;
  std::string Line = "# " + std::string(Text) + "\n";
  std::lock_guard<std::mutex> Guard(Lock_);
  std::fwrite(Line.data(), 1, Line.size(), File_);
  std::fflush(File_);
}

}  // namespace devsim
