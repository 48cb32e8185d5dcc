// UTF-8 and UTF-16 conversion with MultiByteToWideChar / WideCharToMultiByte (CP_UTF8, no flags)
// semantics: a length of -1 means zero-terminated (the terminator is then converted and counted
// too); a capacity of 0 asks for the needed size; an output that does not fit gives 0.
// Malformed UTF-8 becomes U+FFFD, an unpaired surrogate likewise.
#pragma once

int Utf8ToUtf16(const char* text, int length, char16_t* output, int capacity);
int Utf16ToUtf8(const char16_t* text, int length, char* output, int capacity);

// Upper-cases text in place as Windows does when it compares file names (its file-system table,
// one character for one, no locale): names equal after this are one file on Windows. Other hosts
// use the Windows build's mapping of every UTF-16 unit, kept as data (platform/upcase_table.h).
void UpcaseAsFileNames(char16_t* text, int length);
