// Conversions between the ANSI code page and UTF-16. Each returns a new zero-terminated array that
// the caller may keep for the rest of the run (the process ends moments later); null in, null out.
#pragma once

wchar_t* ToWide(const char* text);
char* ToNarrow(const wchar_t* text);
