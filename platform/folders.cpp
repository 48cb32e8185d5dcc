// Folder trees over the seam's one-level calls: the same on every host.
#include "platform/file_system.h"

bool CreateMissingFolders(char16_t* path, std::uint32_t from, std::uint32_t end) {
  const char16_t saved = path[end];
  path[end] = 0;
  std::uint32_t attributes = end == 0 ? kAttributeDirectory : GetPathAttributes(path);
  if (attributes == kInvalidAttributes) {  // usually the folder is there and nothing more is asked
    for (std::uint32_t i = from; i <= end; ++i) {
      if (i < end && !IsPathSeparator(path[i])) continue;
      if (i == 0 || IsPathSeparator(path[i - 1])) continue;  // empty component: "a//b"
      const char16_t separator = path[i];
      path[i] = 0;
      CreateOneFolder(path);  // fails harmlessly when the folder is there already
      path[i] = separator;
    }
    attributes = GetPathAttributes(path);
  }
  path[end] = saved;
  return attributes != kInvalidAttributes && (attributes & kAttributeDirectory) != 0;
}

FolderHold HoldFolders(char16_t* path, std::uint32_t from, std::uint32_t end, bool createMissing, HeldFolders& held) {
  FolderHold result = FolderHold::Held;
  for (std::uint32_t i = from; i <= end && result == FolderHold::Held; ++i) {
    if (i < end && !IsPathSeparator(path[i])) continue;
    if (i == 0 || IsPathSeparator(path[i - 1])) continue;  // empty component: "a//b"
    const char16_t separator = path[i];
    path[i] = 0;
    std::uint32_t attributes = GetPathAttributes(path);
    if (attributes == kInvalidAttributes && createMissing) {
      CreateOneFolder(path);
      attributes = GetPathAttributes(path);
    }
    if (attributes == kInvalidAttributes) {
      result = FolderHold::Missing;
    } else if ((attributes & kAttributeReparsePoint) != 0) {
      result = FolderHold::Link;
    } else if (held.count == kMaxHeldFolders) {
      result = FolderHold::Failed;
    } else {
      // The handle settles it: the name may have become a link since the look above.
      held.folders[held.count].Reset(OpenPlainFolder(path));
      if (held.folders[held.count].IsValid())
        ++held.count;
      else
        result = (GetPathAttributes(path) & kAttributeReparsePoint) != 0 ? FolderHold::Link : FolderHold::Failed;
    }
    path[i] = separator;
  }
  return result;
}
