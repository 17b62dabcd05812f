// Paths on the way to the PortaPack's shell. Input: two remote paths as the host hands them over,
// separated by "\xFF\xFF". A path the driver accepts (the checks of every operation, in their
// order) must reach the shell as typed: a model of the shell (a 63-character line, words split at
// blanks and tabs, at most six arguments joined by single blanks) must give back the very path.
// Also the path normalisation, parent and base names, and the card's name comparison.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "devices/uDeviceBase.h"
#include "devices/uPortapackParse.h"
#include "util/uStrUtils.h"

namespace {

void CheckNormalized(const std::string& Path) {
  const std::string normal = TShellDevice::NormalizeRemotePath(Path);
  FUZZ_CHECK(!normal.empty() && normal[0] == '/', "a normalised path without its root");
  FUZZ_CHECK(normal.find('\\') == std::string::npos, "a backslash left in a normalised path");
  FUZZ_CHECK(normal.find("//") == std::string::npos, "a run of slashes left");
  FUZZ_CHECK(normal == "/" || normal.back() != '/', "a trailing slash left");
  FUZZ_CHECK(TShellDevice::NormalizeRemotePath(normal) == normal, "normalising twice differs");
}

// The path the shell acts on when Line is typed, as the Mayhem shell reads it.
bool ShellPath(const std::string& Line, std::string& Path) {
  std::string typed = Line.substr(0, portapack::kMaxLineLength);
  std::vector<std::string> words;
  size_t i = 0;
  while (i < typed.size()) {
    while (i < typed.size() && (typed[i] == ' ' || typed[i] == '\t')) ++i;
    size_t end = i;
    while (end < typed.size() && typed[end] != ' ' && typed[end] != '\t') ++end;
    if (end > i) words.push_back(typed.substr(i, end - i));
    i = end;
  }
  if (words.size() < 2 || words.size() > portapack::kMaxArguments + 1) return false;
  Path.clear();
  for (size_t w = 1; w < words.size(); ++w) Path += (w > 1 ? " " : "") + words[w];
  return true;
}

void CheckCommandLine(const std::string& Path) {
  // What the driver's path check does before any command with a path is sent.
  std::string problem = TShellDevice::UnsafePathReason(Path);
  if (problem.empty()) problem = portapack::CardNameProblem(Path);
  if (problem.empty()) problem = portapack::CommandLineProblem("filesize " + Path);
  if (!problem.empty()) return;
  for (const char* command : {"filesize", "ls", "fopen", "unlink", "mkdir"}) {
    const std::string line = std::string(command) + " " + Path;
    FUZZ_CHECK(portapack::CommandLineProblem(line).empty(), "a shorter command refused");
    std::string acted;
    FUZZ_CHECK(ShellPath(line, acted) && acted == Path,
               "the shell would act on " + fuzz::Shown(acted) + ", not " + fuzz::Shown(Path));
  }
  for (const char c : std::string("\"*:<>?|\\"))
    FUZZ_CHECK(Path.find(c) == std::string::npos, "a name the card cannot hold was accepted");
}

void CheckNames(const std::string& Normal) {
  if (Normal == "/") return;
  const std::string parent = portapack::ParentPath(Normal);
  const std::string base = portapack::BaseName(Normal);
  FUZZ_CHECK((parent == "/" ? "" : parent) + "/" + base == Normal,
             "parent and base name do not give the path back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::vector<std::string> pieces = fuzz::SplitInput(Data, Size, "\xFF\xFF");
  const std::string& first = fuzz::Piece(pieces, 0);
  const std::string& second = fuzz::Piece(pieces, 1);
  for (const std::string* path : {&first, &second}) {
    CheckNormalized(*path);
    const std::string normal = TShellDevice::NormalizeRemotePath(*path);
    CheckCommandLine(normal);
    CheckNames(normal);
    FUZZ_CHECK(portapack::SameNameOnCard(normal, normal), "a path differs from itself");
    FUZZ_CHECK(portapack::SameNameOnCard(normal, UpperAscii(normal)),
               "letter case makes another name on the card");
  }
  const std::string a = TShellDevice::NormalizeRemotePath(first);
  const std::string b = TShellDevice::NormalizeRemotePath(second);
  FUZZ_CHECK(portapack::SameNameOnCard(a, b) == portapack::SameNameOnCard(b, a),
             "the card's name comparison is not symmetric");
  return 0;
}
