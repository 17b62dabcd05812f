// Plug-in paths: "\" + root display name [+ "\" + remote path], as the host hands them back.
#pragma once

#include <string>

// Cuts the root display name (the device folder) and the remote part out of Path. Remote keeps
// the host's separators and is "/" for the device folder itself. False for the plug-in root and
// for paths whose root display name would be empty. On Linux the host's separator is "/", which
// is accepted as well as "\".
bool SplitPluginPath(const std::string& Path, std::string& RootDisplay, std::string& Remote);
