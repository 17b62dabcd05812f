// The host's values given to FsInit and FsInitW, and the routines that pass text to the host
// through its callbacks: the log window, the progress display and message boxes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/wfxplugin.h"

// Written by FsInit and FsInitW, read from any thread; atomic, so never destroyed by the runtime
// (the lifetime rule in plugin/uLibrary.h).
extern std::atomic<int32_t> PluginNr;
extern std::atomic<tProgressProc> ProgressProc;
extern std::atomic<tLogProc> LogProc;
extern std::atomic<tRequestProc> RequestProc;
extern std::atomic<tProgressProcW> ProgressProcW;
extern std::atomic<tLogProcW> LogProcW;
extern std::atomic<tRequestProcW> RequestProcW;
// Set by FsInitW: from then on every text goes to the host through the wide callbacks, even when
// the host also called FsInit (Double Commander calls both).
extern std::atomic<bool> WideCallbacks;

// The settings file the host named in FsSetDefaultParams (read by LoadSettings, uSettings.h).
std::string IniFileName();
void SetIniFileName(const std::string& Name);
void ReleaseIniFileName();

// Every text below is UTF-8; it reaches the host in the form of the callbacks in use.
// Passes Text to the host's log window with the given message type (nothing if no LogProc).
void HostLog(int32_t MsgType, const std::string& Text);
// Writes Text to the debug log and, as a details message, to the host's log window.
void DetailLog(const std::string& Text);
// Shows the host's progress for a transfer from Source to Target; returns the host's answer (not
// zero: the user wants to abort), 0 without a progress callback.
int32_t HostProgress(const std::string& Source, const std::string& Target, int32_t Percent);
// Asks the host to show Text in a message box of the given request type (nothing without a
// request callback); the answer is not used.
void HostMessage(int32_t RequestType, const std::string& Title, const std::string& Text);
