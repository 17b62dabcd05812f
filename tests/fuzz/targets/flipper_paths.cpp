// Paths on the way to the Flipper Zero's command line. Input: two remote paths separated by
// "\xFF\xFF". A path the driver accepts must reach the storage command as typed: every byte one
// the line editor takes, and the simulator's argument reader (a path in double quotes up to the
// next quote, else up to the first blank, the rest after it) must give back the very path, for
// one path and for the two of a rename.
#include <string>
#include <vector>

#include "FlipperShell.h"
#include "FuzzCheck.h"
#include "devices/uDeviceBase.h"
#include "devices/uFlipperParse.h"

namespace {

void CheckTypeable(const std::string& Line) {
  for (unsigned char c : Line)
    FUZZ_CHECK(c >= 0x20 && c < 0x7F, "a byte the command line drops: " + fuzz::Shown(Line));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::vector<std::string> pieces = fuzz::SplitInput(Data, Size, "\xFF\xFF");
  const std::string a = TShellDevice::NormalizeRemotePath(fuzz::Piece(pieces, 0));
  const std::string b = TShellDevice::NormalizeRemotePath(fuzz::Piece(pieces, 1));
  const bool okA = flipper::PathProblem(a).empty();
  const bool okB = flipper::PathProblem(b).empty();
  std::string path, rest;
  if (okA) {
    const std::string args = flipper::QuotePath(a);
    CheckTypeable("storage remove " + args);
    FUZZ_CHECK(devsim::TFlipperShell::ReadPath(args, path, rest) && path == a && rest.empty(),
               "the device would read " + fuzz::Shown(path) + " for " + fuzz::Shown(a));
  }
  if (okA && okB) {
    const std::string args = flipper::QuotePath(a) + " " + flipper::QuotePath(b);
    CheckTypeable("storage rename " + args);
    std::string second, after;
    FUZZ_CHECK(devsim::TFlipperShell::ReadPath(args, path, rest) && path == a &&
                   devsim::TFlipperShell::ReadPath(rest, second, after) && second == b &&
                   after.empty(),
               "a rename would read other paths for " + fuzz::Shown(a) + " and " + fuzz::Shown(b));
  }
  return 0;
}
