// FsFindFirst below the plug-in root: a device folder's directory, or the German message that
// tells the user why the device could not be reached.
#pragma once

#include <memory>
#include <string>

#include "plugin/uFindData.h"

// Continues FsFindFirst for a path that is not the plug-in root: the context with the device
// folder's entries, or null with the thread's last error set for FsFindFirst's failure.
std::unique_ptr<TFindContext> FindFirstDevice(std::unique_ptr<TFindContext> Context);

// The message shown when no device could be had for RootDisplay, given the last connect error.
std::string ConnectionFailureText(const std::string& RootDisplay, const std::string& ConnectError);
