// The plug-in's settings: whole numbers under keys of the [Quarnel] section of the ini file that
// the host names in FsSetDefaultParams (Total Commander: a file next to wincmd.ini shared by its
// file-system plug-ins; Double Commander: wfx.ini in its configuration folder). The file is read
// when the host names it; without a name, or without the file, the section or a key, every
// setting has its default. The plug-in hands the device settings to each device it borrows.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "devices/uDeviceBase.h"

// The section's values: keys in lower case (ini keys ignore letter case), values trimmed.
using TIniValues = std::map<std::string, std::string>;

// The values of Section in the text of an ini file. Section names and keys compare without regard
// to ASCII letter case; lines end in LF or CR LF; blank lines, lines starting with ";" or "#" and
// lines without "=" are skipped; the first value of a key counts; a UTF-8 byte-order mark at the
// start is ignored.
TIniValues ParseIniSection(const std::string& Text, const std::string& Section);

// The whole number under Key (any letter case): Default when the key is missing; Default and a
// reason in Problem when its value is not a whole number within Min..Max.
int64_t IniInteger(const TIniValues& Values, const std::string& Key, int64_t Default, int64_t Min,
                   int64_t Max, std::string& Problem);

// Reads the [Quarnel] section of the file IniFileName now and keeps it for SettingInteger; works
// out DeviceSettings from it and writes the values, and any value it cannot use, to the debug log.
// A file that is missing or cannot be read leaves every setting at its default.
void LoadSettings(const std::string& IniFileName);
// A setting of the loaded section, as IniInteger reads it (its default before any LoadSettings).
int64_t SettingInteger(const std::string& Key, int64_t Default, int64_t Min, int64_t Max);
// The settings the devices act on, as the last LoadSettings worked them out (else the defaults).
TDeviceSettings DeviceSettings();
// FsGetBackgroundFlags' answer under the setting BackgroundCopies: 1 (the default) downloads and
// uploads in the background if the user asks (Total Commander's copy dialog offers it), 2 every
// copy in the background (Double Commander 1.0.10 offers no choice, and runs a copy modally
// otherwise), 0 none.
int BackgroundFlags();
// Hands DeviceSettings to a device the plug-in has borrowed for one operation.
void ApplySettings(TShellDevice& Device);
// Unload: releases the kept values.
void ReleaseSettings();
