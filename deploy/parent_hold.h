// Holds the folders between folder and a name's file, so that no rename or delete below them can
// be sent through a link that replaced one meanwhile.
#pragma once

#include <string>

#include "platform/file_system.h"

struct ParentHold {
  HeldFolders held;
  std::u16string folders;  // what is held, relative
};

// Missing: a folder on the way is not there, so neither is the file. A run of names in one folder
// holds it once.
FolderHold HoldParents(ParentHold& hold, const char16_t* folder, const std::u16string& name);
