// Conversions between the ANSI code page and UTF-16. Each returns a new zero-terminated array that
// the caller may keep for the rest of the run (the process ends moments later); null in, null out.
#pragma once

wchar_t* ToWide(const char* text);
// Never best-fits ("Ł" to "L" would name another file or user): a character that the code page
// cannot hold becomes its default character ("?"), and exact, when given, says whether the text
// came through unchanged.
char* ToNarrow(const wchar_t* text, bool* exact = nullptr);
