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
