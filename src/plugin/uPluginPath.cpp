#include "plugin/uPluginPath.h"

#include "platform/Platform.h"

namespace {
bool IsSeparator(char c) {
  return c == '\\' || (c == '/' && platform::PathSeparator() == '/');
}
}  // namespace

bool SplitPluginPath(const std::string& Path, std::string& RootDisplay, std::string& Remote) {
  RootDisplay.clear();
  Remote.clear();
  if (Path.empty() || (Path.size() == 1 && IsSeparator(Path[0]))) return false;
  size_t start = IsSeparator(Path[0]) ? 1 : 0;
  size_t separator = start;
  while (separator < Path.size() && !IsSeparator(Path[separator])) ++separator;
  RootDisplay = Path.substr(start, separator - start);
  Remote = separator < Path.size() ? Path.substr(separator) : std::string("/");
  return !RootDisplay.empty();
}
