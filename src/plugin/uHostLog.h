// The host's values given to FsInit and the two routines that pass text to the host's log window.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/wfxplugin.h"

// Written by FsInit, read from any thread; atomic, so never destroyed by the runtime (the lifetime
// rule in plugin/uLibrary.h).
extern std::atomic<int32_t> PluginNr;
extern std::atomic<tProgressProc> ProgressProc;
extern std::atomic<tLogProc> LogProc;
extern std::atomic<tRequestProc> RequestProc;

// The settings file the host named in FsSetDefaultParams (read by LoadSettings, uSettings.h).
std::string IniFileName();
void SetIniFileName(const std::string& Name);
void ReleaseIniFileName();

// The host's callbacks take writable strings: a private, NUL-terminated copy of Text.
std::vector<char> HostBuffer(const std::string& Text);
// Passes Text to the host's log window with the given message type (nothing if no LogProc).
void HostLog(int32_t MsgType, const std::string& Text);
// Writes Text to the debug log and, as a details message, to the host's log window.
void DetailLog(const std::string& Text);
