// ziptool: a developer's command over the release tool's own ZIP reader.
//   ziptool list ARCHIVE [PASSWORD]
//   ziptool extract ARCHIVE FOLDER [PASSWORD]
//   ziptool cat ARCHIVE INDEX [PASSWORD]
//   ziptool test ARCHIVE [PASSWORD]
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

int Usage(const char* problem) {
  std::fprintf(stderr,
               "ziptool: %s\n"
               "usage: ziptool list ARCHIVE [PASSWORD]\n"
               "       ziptool extract ARCHIVE FOLDER [PASSWORD]\n"
               "       ziptool cat ARCHIVE INDEX [PASSWORD]\n"
               "       ziptool test ARCHIVE [PASSWORD]\n",
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
