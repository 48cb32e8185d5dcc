// ziptool: a developer's and vendor's command over the release tool's own ZIP reader and folder
// extraction; `ziptool help` says what each command does and what its exit status means.
// Arguments arrive as UTF-16 on Windows (wmain) and as UTF-8 elsewhere; the password is passed
// to the reader as UTF-8 bytes.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/text_encoding.h"
#include "tools/ziptool_commands.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

constexpr int kUsageStatus = 2;

const char kHelp[] =
    "ziptool: the release tool's own ZIP reader and folder extraction, to see an archive as the\n"
    "release sees it before it is shipped.\n"
    "\n"
    "  ziptool list ARCHIVE [PASSWORD]\n"
    "      One line per entry under a header: its number, attributes, modification time (local),\n"
    "      compressed and full size, the name the release installs it under, and remarks: 'stored as\n"
    "      \"C:/x.exe\"' where the reader cleaned the stored name, 'refused: EVENT: why' where the\n"
    "      release would not install the entry for its name, or the event of an entry that cannot\n"
    "      be read at all.\n"
    "  ziptool extract ARCHIVE FOLDER [PASSWORD]\n"
    "      Unpacks every entry below FOLDER exactly as the release does: every file, or none when one\n"
    "      cannot be written (entries refused for their name are only skipped). One line per entry not\n"
    "      written, 'N<TAB>name<TAB>not written: EVENT[: why]', and per file installed only after\n"
    "      another program held it for a moment, 'N<TAB>name<TAB>installed after a hold'; what\n"
    "      concerns the whole folder (a cancelled update, an interrupted one taken back) goes to\n"
    "      standard error, with the count of entries not written. Over an earlier version, a file\n"
    "      already right is left as it is, and a file that version installed and ARCHIVE lacks is\n"
    "      removed while it still holds what was installed: '-<TAB>name<TAB>removed: ...'. The last\n"
    "      line counts the entries left untouched, replaced and added, and the files removed.\n"
    "  ziptool test ARCHIVE [PASSWORD]\n"
    "      Reads every entry whole, keeping nothing: 'N<TAB>name<TAB>not read: EVENT[: why]'.\n"
    "  ziptool cat ARCHIVE INDEX [PASSWORD]\n"
    "      Writes entry INDEX (its number in list) to standard output.\n"
    "  ziptool help    (also --help, -h)\n"
    "      This text.\n"
    "\n"
    "EVENT is the word the release's log uses for the fault:\n"
    "  Refused Name       a parent step, a drive or stream colon, a trailing dot or space, a device\n"
    "                     name (CON, LPT1.txt), a name reserved for the release's own files (x.qvtmp,\n"
    "                     x.qvold, Quorvane.qvjournal), a name cut at 260 bytes; the reason follows\n"
    "  Duplicate Name     Windows takes it for an earlier entry's file; that entry follows\n"
    "  Name Not UTF-8     the name is in a code page; make the archive with UTF-8 names\n"
    "  Unreadable Entry   its records are broken, or it uses what the reader does not read\n"
    "  Data Corrupt       its data does not match its size or CRC-32\n"
    "  Password Mismatch  encrypted with another password (the release has none)\n"
    "  Read Failed        its data cannot be read or decompressed\n"
    "  Path Too Long      its path below FOLDER is beyond Windows' limit\n"
    "  Create Failed, Write Failed, Move Failed, Folder Failed, Link Refused\n"
    "                     the file, its folder or the disk refused it\n"
    "\n"
    "Exit status:\n"
    "  0  done: every entry listed, written or read whole (a file installed after a hold counts)\n"
    "  1  the archive cannot be opened (no such file, unreadable, no ZIP archive the reader reads),\n"
    "     or an entry was not described (list), not written (extract) or not read whole (test, cat)\n"
    "  2  the command line is wrong: unknown command, missing or extra arguments\n";

int Help() {
  std::fputs(kHelp, stdout);
  return 0;
}

int Usage(const char* problem) {
  std::fprintf(stderr,
               "ziptool: %s\n"
               "usage: ziptool list ARCHIVE [PASSWORD]\n"
               "       ziptool extract ARCHIVE FOLDER [PASSWORD]\n"
               "       ziptool test ARCHIVE [PASSWORD]\n"
               "       ziptool cat ARCHIVE INDEX [PASSWORD]\n"
               "run 'ziptool help' for what each command does and its exit status\n",
               problem);
  return kUsageStatus;
}

bool ParseIndex(const std::string& text, std::int32_t* index) {
  if (text.empty() || text.size() > 6) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  *index = std::atoi(text.c_str());
  return true;
}

std::string ToUtf8(const std::u16string& text) {
  std::string utf8(text.size() * 3 + 1, '\0');
  const int n = Utf16ToUtf8(text.c_str(), -1, &utf8[0], static_cast<int>(utf8.size()));
  utf8.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
  return utf8;
}

int Run(const std::vector<std::u16string>& args) {
  if (args.empty()) return Usage("missing command");
  const std::string command = ToUtf8(args[0]);
  if (command == "help" || command == "--help" || command == "-h") return Help();
  if (command != "list" && command != "extract" && command != "cat" && command != "test") {
    return Usage(("unknown command '" + command + "'").c_str());
  }
  if (args.size() < 2) return Usage("missing ARCHIVE");
  const std::u16string& archive = args[1];
  const auto passwordAt = [&args](std::size_t position, std::string* password) {
    if (args.size() <= position) return static_cast<const char*>(nullptr);
    *password = ToUtf8(args[position]);
    return password->c_str();
  };
  std::string password;
  if (command == "extract") {
    if (args.size() < 3 || args.size() > 4) return Usage("extract needs ARCHIVE and FOLDER");
    return RunExtract(archive.c_str(), args[2].c_str(), passwordAt(3, &password));
  }
  if (command == "cat") {
    std::int32_t index = 0;
    if (args.size() < 3 || args.size() > 4) return Usage("cat needs ARCHIVE and INDEX");
    if (!ParseIndex(ToUtf8(args[2]), &index)) return Usage("INDEX must be an entry number");
    return RunCat(archive.c_str(), index, passwordAt(3, &password));
  }
  if (args.size() > 3) return Usage("too many arguments");
  if (command == "test") return RunTest(archive.c_str(), passwordAt(2, &password));
  return RunList(archive.c_str(), passwordAt(2, &password));
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // entry bytes and listings pass unchanged
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
  return Run(args);
}
#else
int main(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) {
    std::u16string arg(std::char_traits<char>::length(argv[i]) + 1, u'\0');
    const int n = Utf8ToUtf16(argv[i], -1, &arg[0], static_cast<int>(arg.size()));
    arg.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    args.push_back(arg);
  }
  return Run(args);
}
#endif
