#include "plugin/uLibrary.h"

void LibraryStartup() {}
void LibraryShutdown() {}
