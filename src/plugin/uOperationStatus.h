// What the host says it is doing on each of its threads (FsStatusInfo). Total Commander runs an
// operation that the user sent to the background on a thread of its own and announces it there
// with FS_STATUS_OP_GET_MULTI_THREAD or PUT_MULTI_THREAD; both hosts wrap the listing of a panel in
// FS_STATUS_OP_LIST. A listing on a thread that is inside another operation is a step of that
// operation (a folder copy walking the tree), not a panel that a user is looking at.
#pragma once

#include <string>

// Records the start (InfoStartEnd FS_STATUS_START) or the end of operation InfoOperation on the
// calling thread, and writes it to the debug log. Starts may nest (Double Commander makes folders
// inside an upload); an end without its start is ignored.
void NoteOperationStatus(const std::string& RemoteDir, int InfoStartEnd, int InfoOperation);
// Whether the calling thread is inside an operation of the host other than a panel's listing.
bool InsideHostOperation();
// The name of an FS_STATUS_OP_ value as the host's header spells it ("GET_MULTI_THREAD"), or its
// number.
std::string StatusOperationName(int InfoOperation);
// Unload: forgets every thread's operations.
void ReleaseOperationStatus();
