// What ziptool says about an entry's name beyond the release's event: why the release refuses
// it, and which earlier entry a Duplicate Name repeats. The release decides (JudgeEntryName);
// these only explain its decision, so that a vendor can fix every name in one go.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "archive/archive_reader.h"
#include "deploy/entry_names.h"

std::string Utf8(const char16_t* text);

// Why the release refuses the entry for its name (event Refused Name): the part of the name that
// breaks a rule, and which rule. described is GetArchiveEntry's answer for the entry.
std::string RefusalReason(ArchiveResult described, const char16_t* name);

// The entries the release accepted, in entry order, and for each name as Windows compares it the
// first entry that took it as a file or as a folder.
struct NameOwners {
  EntryNames judged;
  std::unordered_map<std::u16string, std::int32_t> files;
  std::unordered_map<std::u16string, std::int32_t> folders;
};
// JudgeEntryName's answer for the entry, which is remembered when the release accepts it.
const char* JudgeAndRemember(NameOwners& owners, std::int32_t index, ArchiveResult described,
                             const ArchiveEntryInfo& info);
// What a Duplicate Name repeats, e.g. 'the same file on Windows as entry 1 "Qv.dll"'; handle
// describes the earlier entry.
std::string DuplicateReason(ArchiveHandle handle, const NameOwners& owners, std::int32_t index,
                            const ArchiveEntryInfo& info);
