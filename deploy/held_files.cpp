#include "deploy/held_files.h"

PlatformFile CreateHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* path) {
  PlatformFile file = InvalidPlatformFile();
  Attempt(reports, index, name, path, [&] {
    file = CreateNewFile(path, kAttributeNormal);
    return IsValidPlatformFile(file);
  });
  return file;
}

bool MoveHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* from,
                  const char16_t* to) {
  return Attempt(reports, index, name, from, [&] { return MoveFileOver(from, to); });
}

bool DeleteHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* path) {
  return Attempt(reports, index, name, path, [&] { return DeletePlainFile(path); });
}
