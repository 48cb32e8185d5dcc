// Names the folder extraction writes into its own files (the journal, the install record) and reads
// back: a name read back is used only as an entry's name would be, and only when it is exactly
// what was written.
#pragma once

#include <cstddef>
#include <string>

// "<kind> <name>\n", the name in UTF-8.
std::string Utf8Line(char kind, const std::u16string& name);
// The name of bytes[0, size), inside folder: printable UTF-8 that decodes to a name which encodes
// back to exactly these bytes, passes the entry-name judge and fits the path limit with a suffix.
// A NUL or other control byte (zeros a power cut left, a planted line) would otherwise cut the
// name short, and the file calls would act on another file than the one checked.
bool DecodeStoredName(const char16_t* folder, const char* bytes, std::size_t size, std::u16string* name);
