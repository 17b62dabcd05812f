// Names and formats printed by the command-line host.
#include "HostFormat.h"

#include <cstdio>

namespace wfxhost {

std::string FileResultName(int result) {
  static const char* const kNames[] = {"FS_FILE_OK",           "FS_FILE_EXISTS",
                                       "FS_FILE_NOTFOUND",     "FS_FILE_READERROR",
                                       "FS_FILE_WRITEERROR",   "FS_FILE_USERABORT",
                                       "FS_FILE_NOTSUPPORTED", "FS_FILE_EXISTSRESUMEALLOWED"};
  if (result >= 0 && result < static_cast<int>(sizeof(kNames) / sizeof(kNames[0]))) {
    return kNames[result];
  }
  return std::to_string(result) + " (unknown result)";
}

std::string ExecResultName(int result) {
  switch (result) {
    case 0:
      return "FS_EXEC_OK";
    case 1:
      return "FS_EXEC_ERROR";
    case -1:
      return "FS_EXEC_YOURSELF";
    case -2:
      return "FS_EXEC_SYMLINK";
    default:
      return std::to_string(result) + " (unknown result)";
  }
}

std::string BackgroundFlagsName(int flags) {
  static const struct {
    int Flag;
    const char* Name;
  } kFlags[] = {{1, "BG_DOWNLOAD"}, {2, "BG_UPLOAD"}, {4, "BG_ASK_USER"}};
  std::string names;
  int rest = flags;
  for (const auto& flag : kFlags) {
    if ((flags & flag.Flag) == 0) continue;
    if (!names.empty()) names += '|';
    names += flag.Name;
    rest &= ~flag.Flag;
  }
  if (rest != 0) {
    if (!names.empty()) names += '|';
    names += std::to_string(rest);
  }
  return names.empty() ? std::to_string(flags) : std::to_string(flags) + " (" + names + ")";
}

std::string BoolResultName(int32_t result) {
  if (result == 0) return "FALSE";
  if (result == 1) return "TRUE";
  return "TRUE (" + std::to_string(result) + ")";
}

std::string LogTypeName(int msgType) {
  static const char* const kNames[] = {"?",
                                       "CONNECT",
                                       "DISCONNECT",
                                       "DETAILS",
                                       "TRANSFERCOMPLETE",
                                       "CONNECTCOMPLETE",
                                       "IMPORTANTERROR",
                                       "OPERATIONCOMPLETE"};
  if (msgType >= 1 && msgType <= 7) return kNames[msgType];
  return "?";
}

std::string RequestTypeName(int requestType) {
  static const char* const kNames[] = {
      "Other",     "UserName", "Password", "Account",  "UserNameFirewall", "PasswordFirewall",
      "TargetDir", "URL",      "MsgOK",    "MsgYesNo", "MsgOKCancel"};
  if (requestType >= 0 && requestType <= 10) return kNames[requestType];
  return "?";
}

bool IsInputRequest(int requestType) {
  return requestType >= 0 && requestType <= 7;
}

std::string LastErrorName(uint32_t code) {
  switch (code) {
    case 0:
      return "ERROR_SUCCESS";
    case 2:
      return "ERROR_FILE_NOT_FOUND";
    case 3:
      return "ERROR_PATH_NOT_FOUND";
    case 5:
      return "ERROR_ACCESS_DENIED";
    case 18:
      return "ERROR_NO_MORE_FILES";
    case 21:
      return "ERROR_NOT_READY";
    case 259:
      return "ERROR_NO_MORE_ITEMS";
    default:
      return "";
  }
}

uint64_t CombineSize(uint32_t low, uint32_t high) {
  return (uint64_t{high} << 32) | low;
}

std::string FormatFileTime(uint32_t low, uint32_t high) {
  const uint64_t ticks = CombineSize(low, high);
  if (ticks == 0 || (high == 0xFFFFFFFFu && low == 0xFFFFFFFEu)) return "-";
  // Seconds since 1601, then days and time of day; the civil date follows H. Hinnant's
  // days-to-date algorithm on days counted from 1970-01-01 (11644473600 s after 1601).
  const int64_t seconds = static_cast<int64_t>(ticks / 10000000u) - 11644473600LL;
  int64_t days = seconds / 86400;
  int64_t secondOfDay = seconds % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[128];
  std::snprintf(text, sizeof(text), "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(secondOfDay / 3600),
                static_cast<long long>(secondOfDay / 60 % 60),
                static_cast<long long>(secondOfDay % 60));
  return text;
}

std::string Printable(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      result += "\\r";
    } else if (c == '\n') {
      result += "\\n";
    } else if (c == '\t') {
      result += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
      result += escaped;
    } else {
      result += c;
    }
  }
  return result;
}

std::string Printable(const char* text) {
  return text == nullptr ? std::string("(null)") : Printable(std::string(text));
}

std::string QuoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t") == std::string::npos) return argument;
  return "\"" + argument + "\"";
}

}  // namespace wfxhost
