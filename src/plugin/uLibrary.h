// Library start-up and shut-down, called from the loader entry (DllMain on Windows, constructor
// and destructor functions elsewhere).
#pragma once

void LibraryStartup();
void LibraryShutdown();
