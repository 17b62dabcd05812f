// FsExecuteFile's verbs: "open" leaves the file to the host (it copies the file and opens it with
// the program the user has for it), "properties" shows what the plug-in or a device says about
// itself in a message box, and every other verb fails.
#pragma once

#include <string>
#include <vector>

#include "registry/uDeviceRegistry.h"

// The host's result (FS_EXEC_*) for Verb on the plug-in path RemoteName. Verbs compare without
// regard to letter case.
int ExecuteFileOperation(const std::string& RemoteName, const std::string& Verb);

// The properties box of the plug-in's root: its name and version, the devices it serves, and where
// its log and settings are.
std::string PluginPropertiesText();
// The properties box of a device folder: its name, kind and port, then what the device said about
// itself (Lines), or why it could not be asked (Problem).
std::string DevicePropertiesText(const TRootEntry& Entry, const std::vector<std::string>& Lines,
                                 const std::string& Problem);
