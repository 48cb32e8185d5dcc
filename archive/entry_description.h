// The pieces of an entry's description: its name as the caller may use it, its Windows
// attributes and its times.
#pragma once

#include <cstdint>

#include "archive/archive_reader.h"

// Moves past drive prefixes ("C:"), leading separators and everything up to the last parent
// step that has a separator on both sides ("\..\", "/../", mixed). Answers a pointer into name.
// A leading "../" has no separator in front and stays: file extraction refuses such names.
const char16_t* SanitiseEntryName(const char16_t* name);

// Host 0 (FAT), 7 (Macintosh), 11 (NTFS) and 14 (VFAT) store DOS attribute bits in the low byte;
// every other host is read as Unix: directory bit 0x40000000, owner-write bit 0x00800000.
std::uint32_t DeriveAttributes(std::uint32_t versionMadeBy, std::uint32_t externalAttributes);

// The DOS date and time as a local FILETIME; zero when they are no calendar date and time.
FileTime DosDateTimeToFileTime(std::uint32_t date, std::uint32_t time);
FileTime UnixTimeToFileTime(std::int32_t seconds);

// Whether text is well-formed UTF-8: no stray or missing continuation bytes, no overlong form, no
// surrogate, nothing beyond U+10FFFF. Exactly the names that convert without a replacement
// character.
bool IsWellFormedUtf8(const unsigned char* text, std::uint32_t length);

// The UTF-8 name that the first Info-ZIP Unicode Path field of extra gives for storedName, or null
// when there is none or it is of another version or stale (its CRC-32 is not that of storedName,
// as when a tool renamed the entry and kept the field). Reads only within the field and extra.
const unsigned char* FindUnicodePathName(const unsigned char* extra, std::uint32_t length,
                                         const unsigned char* storedName, std::uint32_t storedLength,
                                         std::uint32_t* nameLength);

// storedName with every byte outside printable ASCII, and the backslash, as "\xHH": how a name
// that is no UTF-8 is shown ("Caf\x82.dll"). Cut to the capacity, never inside an escape.
void EscapeStoredName(const unsigned char* storedName, std::uint32_t length, char16_t (&name)[kEntryNameCapacity]);

// Replaces the times that the first "UT" sub-field of a local extra field holds. Times are read
// only within both the sub-field and the extra field.
void ApplyExtendedTimestamp(const unsigned char* extra, std::uint32_t length, ArchiveEntryInfo* info);
