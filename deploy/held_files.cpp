#include "deploy/held_files.h"

#include "deploy/entry_names.h"

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

WholeRead ReadWholeFile(HeldFileReports& reports, const char16_t* name, const char16_t* path, std::uint64_t longest,
                        std::string* text) {
  const std::uint32_t attributes = GetPathAttributes(path);
  if (attributes == kInvalidAttributes) return WholeRead::None;
  // Only a plain file of the folder's own is read: a link could lead to any other folder's file.
  if ((attributes & (kAttributeDirectory | kAttributeReparsePoint)) != 0) return WholeRead::NotOurs;
  ScopedPlatformFile file;
  if (!Attempt(reports, -1, name, path, [&] {
        file.Reset(OpenFileForReading(path));
        return file.IsValid();
      })) {
    return WholeRead::Held;
  }
  std::uint64_t size = 0;
  if (!SeekFile(file.Get(), 0, SeekOrigin::End, &size) || !SeekFile(file.Get(), 0, SeekOrigin::Start, nullptr))
    return WholeRead::Held;
  if (size > longest) return WholeRead::NotOurs;  // no such file the tool writes is longer
  text->assign(static_cast<std::size_t>(size), '\0');
  std::uint32_t read = 0;
  if (size > 0 && (!ReadFromFile(file.Get(), &(*text)[0], static_cast<std::uint32_t>(size), &read) || read != size))
    return WholeRead::Held;
  return WholeRead::Read;
}

bool ReplaceWholeFile(HeldFileReports& reports, const char16_t* name, const char16_t* path, const std::string& text) {
  const std::u16string temporary = std::u16string(path) + kUnzipTemporarySuffix;
  DeleteHeldFile(reports, -1, name, temporary.c_str());
  ScopedPlatformFile file(CreateHeldFile(reports, -1, name, temporary.c_str()));
  const bool written = file.IsValid() &&
                       WriteToFile(file.Get(), text.data(), static_cast<std::uint32_t>(text.size())) &&
                       FlushFile(file.Get());
  file.Reset();
  if (written && MoveHeldFile(reports, -1, name, temporary.c_str(), path)) return true;
  DeleteHeldFile(reports, -1, name, temporary.c_str());
  return false;
}
