// The enumeration context behind a FsFindFirst(W) handle, and the filling of the host's find data
// (ANSI or wide) from a root entry or a device directory entry.
#pragma once

#include <cstdint>
#include <string>

#include "devices/uDeviceTypes.h"
#include "platform/wfxplugin.h"
#include "registry/uDeviceRegistry.h"

struct TFindContext {
  uint8_t Level = 0;  // 0: plug-in root (Roots), 1: device directory (Entries)
  TShellFileEntries Entries;
  TRootEntries Roots;
  int32_t Index = 0;  // next entry FsFindNext hands out
  std::string Path;
};

// Both fill all three times of an entry without a time (every root folder; every device entry, as
// no device lists times) with the host's "no time" (HostNoTime). Names are cut to 259 characters,
// in the host's code page or in UTF-16 (uHostText.h).
void FillFindDataFromRoot(const TRootEntry& Entry, WIN32_FIND_DATAA& FindData);
void FillFindDataFromRoot(const TRootEntry& Entry, WIN32_FIND_DATAW& FindData);
void FillFindDataFromEntry(const TShellFileEntry& Entry, WIN32_FIND_DATAA& FindData);
void FillFindDataFromEntry(const TShellFileEntry& Entry, WIN32_FIND_DATAW& FindData);
// Fills FindData from the context's entry at Index and moves Index on; false, with FindData
// untouched, when no entry is left (or the level is unknown).
bool FillNextFindData(TFindContext& Context, WIN32_FIND_DATAA& FindData);
bool FillNextFindData(TFindContext& Context, WIN32_FIND_DATAW& FindData);

// Live contexts: the handle given to the host is the context's address; a handle that is not in
// this set (stale or made up) is refused instead of being dereferenced.
HANDLE RegisterFindContext(TFindContext* Context);
TFindContext* LookupFindContext(HANDLE Handle);
// Removes the context from the set and returns it for destruction (null if unknown).
TFindContext* ReleaseFindContext(HANDLE Handle);
void ReleaseAllFindContexts();
