#include "plugin/uExecute.h"

#include "platform/Platform.h"
#include "platform/wfxplugin.h"
#include "plugin/uHostLog.h"
#include "plugin/uPluginPath.h"
#include "plugin/uSettings.h"
#include "registry/uDeviceCache.h"
#include "util/uDebugLog.h"
#include "util/uStrUtils.h"

#ifndef QUARNEL_VERSION
#define QUARNEL_VERSION "unknown"
#endif

namespace {

const char kCrLf[] = "\r\n";
const char kTitle[] = "Quarnel";

std::string KindText(const TRootEntry& Entry) {
  switch (Entry.Kind) {
    case dkPortapack:
      return "PortaPack with the Mayhem firmware";
    case dkFlipper:
      return "Flipper Zero";
    case dkHackRF:
      return "HackRF One without a PortaPack (no serial shell)";
    default:
      return Entry.FriendlyName;
  }
}

// The root entry of the device folder RootDisplay: from the last root listing, else from a fresh
// one (a folder the host remembers from an earlier run).
bool FindRootEntry(const std::string& RootDisplay, TRootEntry& Entry) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    for (const TRootEntry& entry : attempt == 0 ? RootEntries() : ListRoot()) {
      if (entry.Display != RootDisplay) continue;
      Entry = entry;
      return true;
    }
  }
  return false;
}

int ShowDeviceProperties(const std::string& RootDisplay) {
  TRootEntry entry;
  if (!FindRootEntry(RootDisplay, entry)) {
    HostLog(MSGTYPE_IMPORTANTERROR, "Properties: no device folder " + RootDisplay);
    return FS_EXEC_ERROR;
  }
  std::vector<std::string> lines;
  std::string problem;
  if (entry.HasShell) {
    // A short look, like a listing: it may take its turn between two blocks of a copy.
    TDeviceUse device = GetDevice(RootDisplay, TDeviceTask::Browse);
    if (!device)
      problem =
          !device.Problem().empty() ? device.Problem() : "Cannot connect: " + LastConnectError();
    else if (!device->Describe(lines))
      problem = device->LastError;
  }
  if (!problem.empty()) DebugLog("Properties: " + RootDisplay + ": " + problem);
  HostMessage(RT_MsgOK, kTitle, DevicePropertiesText(entry, lines, problem));
  return FS_EXEC_OK;
}

bool IsPluginRoot(const std::string& RemoteName) {
  return RemoteName.empty() || RemoteName == "\\" || RemoteName == "/";
}

}  // namespace

std::string PluginPropertiesText() {
  std::string text = std::string("Quarnel ") + QUARNEL_VERSION + kCrLf;
  text +=
      std::string("PortaPack (Mayhem), HackRF One and Flipper Zero on USB serial ports") + kCrLf;
  text += kCrLf;
  text += "Debug log: " + DebugLogPath() + kCrLf;
  const std::string ini = IniFileName();
  text += "Settings: [Quarnel] in " + (ini.empty() ? std::string("(no file named)") : ini);
  return text;
}

std::string DevicePropertiesText(const TRootEntry& Entry, const std::vector<std::string>& Lines,
                                 const std::string& Problem) {
  std::string text = Entry.Display + kCrLf + kCrLf;
  text += "Kind: " + KindText(Entry) + kCrLf;
  text += "Port: " + Entry.Port + kCrLf;
  if (!Problem.empty()) return text + kCrLf + "The device did not answer: " + Problem;
  if (!Lines.empty()) text += kCrLf;
  for (const std::string& line : Lines) text += line + kCrLf;
  return text;
}

int ExecuteFileOperation(const std::string& RemoteName, const std::string& Verb) {
  const std::string verb = UpperAscii(TrimWS(Verb));
  DebugLog("FsExecuteFile: [" + RemoteName + "] verb [" + Verb + "]");
  // The host copies the file to a temporary folder and opens it with the user's program for it.
  if (verb == "OPEN") return FS_EXEC_YOURSELF;
  if (verb != "PROPERTIES") return FS_EXEC_ERROR;
  MarkActivity();
  // Double Commander asks for the root's properties from its settings, also before FsInit: with
  // nowhere to show a box, there is nothing to do.
  if (!HostCanShowMessages()) return FS_EXEC_OK;
  if (IsPluginRoot(RemoteName)) {
    HostMessage(RT_MsgOK, kTitle, PluginPropertiesText());
    return FS_EXEC_OK;
  }
  std::string rootDisplay, remote;
  if (!SplitPluginPath(RemoteName, rootDisplay, remote)) return FS_EXEC_ERROR;
  // A file or a folder below the device's own folder has no properties of its own here.
  if (TShellDevice::NormalizeRemotePath(remote) != "/") return FS_EXEC_ERROR;
  return ShowDeviceProperties(rootDisplay);
}
