// The paths of the switch's names: a name relative to the folder, with a suffix of the tool's.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_system.h"

inline std::u16string PathOf(const char16_t* folder, const std::u16string& name, const char16_t* suffix = u"") {
  std::u16string path(folder);
  if (!path.empty() && !IsPathSeparator(path.back())) path += u'\\';
  return path + name + suffix;
}

inline bool Exists(const std::u16string& path) { return GetPathAttributes(path.c_str()) != kInvalidAttributes; }

inline bool IsFolder(const std::u16string& path) {
  const std::uint32_t attributes = GetPathAttributes(path.c_str());
  return attributes != kInvalidAttributes && (attributes & kAttributeDirectory) != 0;
}
