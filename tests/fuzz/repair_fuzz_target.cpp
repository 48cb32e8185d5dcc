// Fuzz target over the repair of what an earlier run left: the input describes a small folder
// (files, folders, links that lead out of it, folders that cannot be opened now) and the journal
// in it, RepairInterruptedSwitch runs over them, then FolderSwitchUnfinished. Afterwards
//   1. no file, folder or link outside the reserved names (any part ending ".qvtmp", ".qvold",
//      ".qvjournal" or ".qvrecord", or a top-level name beginning "Quorvane.qvjournal") is gone,
//      changed or new, unless a line that passes the strict reading below names it: "O", "N", "A"
//      or "X" its path, "D" its folder. Strict: a whole line of a journal with a sound head and state (" mixed" or
//      not), the kind, a space and a name of printable ASCII without <>:"|?*, not absolute, with no "." or ".." part
//      and no reserved part. A line whose name holds a NUL or a control character justifies nothing;
//   2. nothing outside the folder changed: the tree the links lead to is byte for byte as it was,
//      and nothing was made beside the folder;
//   3. the folder is whole, or the repair answers false and FolderSwitchUnfinished true. For a
//      switching journal, its strict targets that were reached by plain folders and started as a
//      switch leaves them (old file in place or set aside, new one staged or moved in) count, each
//      by its first line: whole is each holding its old file ("N": no file), or each its new one;
//   4. a repair that reports the journal set aside has moved it: its bytes stand in a file at the
//      top whose name begins "Quorvane.qvjournal.".
// Also no crash and no sanitizer report; the sizes are small, so an input takes milliseconds. Run
// as root, the target first gives up overriding permissions, so that a locked folder cannot be
// opened there either.
//
// Input: byte 0 flags, byte 1 the number of folder items (up to 8), four bytes per item (a name of
// kNames, then the Kind at the name, at "<name>.qvtmp" and at "<name>.qvold"; an earlier item's
// name wins), then the journal. The journal is the rest of the input as it is, or, with flag bit
// 0, rendered from a state byte and (kind, name) byte pairs, so that the fuzzer reaches deep
// states with sound and damaged names alike (LineName). Flags: bit 1 no journal is written; in a
// rendered one bit 2 cuts the last line's end, bit 3 adds a run of zeros, bit 4 marks the state
// " mixed" (the folder may mix two versions). An input that begins as a ZIP archive does ("PK",
// as the shared seed corpus) is passed over: it describes no folder.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "deploy/folder_switch.h"
#include "fuzz_check.h"
#include "fuzz_scratch.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxInput = 4096;
constexpr std::size_t kMaxItems = 8;
constexpr std::size_t kMaxLines = 24;
const char* const kNames[] = {"a.dll",
                              "sub\\b.dll",
                              "QuorvaneSoftware.exe",
                              "settings.ini",
                              "sub",
                              "plugins",
                              "plugins\\core.dll",
                              "sub\\deep\\c.dll",
                              "sub\\deep",
                              "Quorvane.qvjournal",
                              "Quorvane.qvjournal.unusable"};
constexpr std::size_t kNameCount = sizeof kNames / sizeof kNames[0];
const char* const kSlotSuffixes[] = {"", ".qvtmp", ".qvold"};
// What an item puts at a name (its byte modulo 8). Locked: a folder of mode 000, which cannot be
// opened or listed now, as a folder another program holds on Windows.
enum Kind { kAbsent, kOld, kNew, kUser, kFolder, kLinkToFolder, kLinkToFile, kLocked };
const char* const kContents[] = {"", "old", "new", "user"};
constexpr char kJournalName[] = "Quorvane.qvjournal";

struct Model {
  fs::path folder, outside;
  std::map<std::string, int> made;  // what the input put where, by path below the folder ("/")
  std::vector<fs::path> locked;
  std::string journal;  // the journal's bytes, when it was written as a file
  bool journalIsFile = false;
};

std::string Slashed(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

void WriteFile(const fs::path& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<fs::path> Children(const fs::path& folder) {
  std::vector<fs::path> children;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    children.push_back(it->path());
  return children;
}

// Where the links lead: every name the folder's items have, below a folder and beside a file.
void MakeOutside(const fs::path& outside) {
  std::error_code error;
  fs::create_directories(outside / "dir" / "deep", error);
  WriteFile(outside / "dir" / "sentinel", "outside");
  WriteFile(outside / "file", "outside");
  for (const char* level : {"", "deep/"}) {
    for (const char* name : {"b.dll", "core.dll", "c.dll"}) {
      for (const char* suffix : kSlotSuffixes)
        WriteFile(outside / "dir" / (level + std::string(name) + suffix), "outside");
    }
  }
}

// The folders above relative are made as needed; nothing is made where a file or link stands in
// the way (never through a link).
void MakeSlot(Model& model, const std::string& relative, int kind) {
  const fs::path path = model.folder / relative;
  std::error_code error;
  if (kind == kAbsent || fs::exists(fs::symlink_status(path, error))) return;
  for (std::size_t cut = relative.find('/'); cut != std::string::npos; cut = relative.find('/', cut + 1)) {
    const fs::file_status status = fs::symlink_status(model.folder / relative.substr(0, cut), error);
    if (fs::exists(status) && !fs::is_directory(status)) return;
    if (fs::create_directory(model.folder / relative.substr(0, cut), error))
      model.made.emplace(relative.substr(0, cut), kFolder);
  }
  if (kind <= kUser) {
    WriteFile(path, kContents[kind]);
  } else if (kind == kLinkToFolder) {
    fs::create_directory_symlink(model.outside / "dir", path, error);
  } else if (kind == kLinkToFile) {
    fs::create_symlink(model.outside / "file", path, error);
  } else {
    fs::create_directory(path, error);
  }
  if (kind == kLocked) model.locked.push_back(path);
  model.made.emplace(relative, kind);
}

// A line's name from one byte: one of kNames, sound (byte / kNameCount below 12) or, from 12 on,
// as a power cut, a planted line or another spelling can leave it: "@" stands for the name, "/"
// for the name with "/" between levels.
std::string LineName(std::uint8_t byte) {
  using namespace std::string_literals;
  static const std::string kDamaged[] = {"@\0x"s,   "@\0"s, "@\r", "/",   "..\\@", "sub\\..\\@",
                                         "@.qvold", "",     "\\@", "C:@", "@\xff", "\x01@"};
  const std::string name = kNames[byte % kNameCount];
  if (byte / kNameCount < 12) return name;
  std::string line = kDamaged[byte / kNameCount - 12];
  if (line == "/") return Slashed(name);
  const std::size_t at = line.find('@');
  return at == std::string::npos ? line : line.replace(at, 1, name);
}

std::string RenderJournal(std::uint8_t flags, const std::uint8_t* data, std::size_t size) {
  static const char* const kStates[] = {"staging", "switching", "committed"};
  std::string text = std::string("quorvane switch 1\n") + kStates[size > 0 ? data[0] % 3 : 0] +
                     ((flags & 16) != 0 ? " mixed\n" : "\n");
  for (std::size_t i = 1; i + 1 < size && i < 2 * kMaxLines; i += 2)
    text += std::string(1, "ONSTDKAX"[data[i] % 8]) + ' ' + LineName(data[i + 1]) + '\n';
  if ((flags & 4) != 0) text.pop_back();
  if ((flags & 8) != 0) text.append(16, '\0');
  return text;
}

bool IsReserved(const std::string& relative) {
  const std::string lower = Lower(relative) + '/';
  if (lower.compare(0, 18, "quorvane.qvjournal") == 0) return true;
  for (const char* suffix : {".qvtmp/", ".qvold/", ".qvjournal/", ".qvrecord/"}) {
    if (lower.find(suffix) != std::string::npos) return true;
  }
  return false;
}

// The path a name lands on below the folder (empty parts vanish, as on both hosts), or "" when the
// strict reading refuses the name.
std::string StrictLanding(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/') return "";
  std::string landing, part;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    const char c = i < name.size() ? name[i] : '/';
    if (c < 0x20 || c > 0x7e || std::strchr("<>:\"|?*", c) != nullptr) return "";
    if (c != '/' && c != '\\') {
      part += c;
      continue;
    }
    if (part == "." || part == "..") return "";
    if (!part.empty()) landing += (landing.empty() ? "" : "/") + part;
    part.clear();
  }
  return IsReserved(landing) ? "" : landing;
}

// The journal's "O", "N", "A", "X" and "D" lines that pass the strict reading, and its state ("" when its
// head is not one of ours, so that no line counts).
struct StrictJournal {
  std::string state;
  std::vector<std::pair<char, std::string>> lines;
};

StrictJournal ReadStrictly(const std::string& text) {
  StrictJournal journal;
  const std::string head = "quorvane switch 1\n";
  const std::size_t stateEnd = text.find('\n', head.size());
  if (text.compare(0, head.size(), head) != 0 || stateEnd == std::string::npos) return journal;
  std::string state = text.substr(head.size(), stateEnd - head.size());
  if (state.size() > 6 && state.compare(state.size() - 6, 6, " mixed") == 0) state.resize(state.size() - 6);
  if (state != "staging" && state != "switching" && state != "committed") return journal;
  journal.state = state;
  for (std::size_t at = stateEnd + 1, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    if (line.size() < 3 || std::strchr("ONDAX", line[0]) == nullptr || line[1] != ' ') continue;
    const std::string landing = StrictLanding(line.substr(2));
    if (!landing.empty()) journal.lines.emplace_back(line[0], landing);
  }
  return journal;
}

// Every file, folder and link below root, by path, with what it is and holds; links not followed.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    const fs::file_status status = it->symlink_status(error);
    entries[it->path().lexically_relative(root).generic_string()] =
        fs::is_symlink(status)     ? "link to " + fs::read_symlink(it->path(), error).string()
        : fs::is_directory(status) ? "folder"
                                   : "file " + Contents(it->path());
  }
  FUZZ_CHECK(!error);
  return entries;
}

// Inner folders first: once its parent is locked, a folder cannot be reached.
void Lock(Model& model) {
  std::error_code error;
  std::sort(model.locked.rbegin(), model.locked.rend());
  for (const fs::path& path : model.locked) fs::permissions(path, fs::perms::none, error);
}

// Every real folder below path readable again, wherever the repair may have moved it.
void Unlock(const fs::path& path) {
  std::error_code error;
  if (!fs::is_directory(fs::symlink_status(path, error))) return;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
  for (const fs::path& child : Children(path)) Unlock(child);
}

// As root, permissions stop nothing: without the override capabilities a locked folder is one
// that cannot be opened now, as for any other user.
bool DropPermissionOverride() {
  if (geteuid() != 0) return true;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct caps[2] = {};
  if (syscall(SYS_capget, &header, caps) != 0) return false;
  caps[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
  return syscall(SYS_capset, &header, caps) == 0;
}

// Notes whether the journal was reported set aside.
void Collect(void* context, std::int32_t, const char* event, const char16_t* name) {
  FUZZ_CHECK(event != nullptr && name != nullptr);
  if (std::strcmp(event, kUnzipJournalSetAside) == 0) *static_cast<bool*>(context) = true;
}

std::string Described(const std::map<std::string, std::string>& entries, const std::string& path) {
  const auto found = entries.find(path);
  return found == entries.end() ? "absent" : found->second;
}

void CheckUserFiles(const StrictJournal& journal, const std::map<std::string, std::string>& before,
                    const std::map<std::string, std::string>& after) {
  std::set<std::string> paths;
  for (const auto& entry : before) paths.insert(entry.first);
  for (const auto& entry : after) paths.insert(entry.first);
  for (const std::string& path : paths) {
    const std::string was = Described(before, path), is = Described(after, path);
    const bool named = std::any_of(journal.lines.begin(), journal.lines.end(),
                                   [&path](const std::pair<char, std::string>& line) { return line.second == path; });
    if (was == is || named || IsReserved(path)) continue;
    std::fprintf(stderr, "%s changed (was %s, is %s), named by no sound line\n", path.c_str(), was.c_str(), is.c_str());
    FUZZ_CHECK(false);
  }
}

int MadeKind(const Model& model, const std::string& path) {
  const auto found = model.made.find(path);
  return found == model.made.end() ? kAbsent : found->second;
}

// Whether the target started as a switch leaves it, below plain folders: the kinds at its name,
// its staged name and its kept-aside name are one of a switch's states ("old, new, absent": the old
// file in place, the new one staged).
bool StartedAsSwitch(const Model& model, char kind, const std::string& path) {
  for (std::size_t cut = path.find('/'); cut != std::string::npos; cut = path.find('/', cut + 1)) {
    const int parent = MadeKind(model, path.substr(0, cut));
    if (parent != kAbsent && parent != kFolder && parent != kLocked) return false;
  }
  const std::string state = {' ', static_cast<char>('0' + MadeKind(model, path)),
                             static_cast<char>('0' + MadeKind(model, path + ".qvtmp")),
                             static_cast<char>('0' + MadeKind(model, path + ".qvold")), ' '};
  return std::strstr(kind == 'O' ? " 120 021 201 100 " : " 020 200 000 ", state.c_str()) != nullptr;
}

// The version each counted target of a switching journal holds now: "old", "new" or "neither".
std::set<std::string> VersionsHeld(const Model& model, const StrictJournal& journal,
                                   const std::map<std::string, std::string>& after) {
  std::set<std::string> versions;
  std::set<std::string> seen;
  for (const auto& line : journal.lines) {
    // Added and dropped files are judged by the first check alone.
    if ((line.first != 'O' && line.first != 'N') || !seen.insert(line.second).second ||
        !StartedAsSwitch(model, line.first, line.second))
      continue;
    const std::string is = Described(after, line.second);
    const bool old = is == "file old" || (is == "absent" && line.first == 'N');
    versions.insert(old ? "old" : is == "file new" ? "new" : "neither");
  }
  return versions;
}

bool JournalMovedAside(const Model& model, const std::map<std::string, std::string>& after) {
  return std::any_of(after.begin(), after.end(), [&model](const std::pair<const std::string, std::string>& entry) {
    return entry.first.find('/') == std::string::npos && entry.second == "file " + model.journal &&
           Lower(entry.first).compare(0, 19, "quorvane.qvjournal.") == 0;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool unprivileged = DropPermissionOverride();  // failing, locked folders still open
  (void)unprivileged;
  if (size < 2 || size > kMaxInput || (data[0] == 'P' && data[1] == 'K')) return 0;
  const fs::path sandbox = fs::path(ScratchRoot()) / "sandbox";
  Model model;
  model.folder = sandbox / "out";
  model.outside = sandbox / "outside";
  Unlock(sandbox);
  RemoveTreeAt(sandbox.string());
  std::error_code error;
  fs::create_directories(model.folder, error);
  MakeOutside(model.outside);

  const std::size_t items = std::min<std::size_t>(data[1] % (kMaxItems + 1), (size - 2) / 4);
  for (std::size_t i = 0; i < items; ++i) {
    const std::uint8_t* item = data + 2 + 4 * i;
    for (int slot = 0; slot < 3; ++slot)
      MakeSlot(model, Slashed(kNames[item[0] % kNameCount]) + kSlotSuffixes[slot], item[1 + slot] % 8);
  }
  const std::uint8_t* rest = data + 2 + 4 * items;
  const std::size_t restSize = size - 2 - 4 * items;
  if ((data[0] & 2) == 0 && MadeKind(model, kJournalName) == kAbsent) {
    model.journal = (data[0] & 1) != 0 ? RenderJournal(data[0], rest, restSize)
                                       : std::string(reinterpret_cast<const char*>(rest), restSize);
    WriteFile(model.folder / kJournalName, model.journal);
    model.journalIsFile = true;
  }
  const auto before = Snapshot(model.folder);
  const auto outsideBefore = Snapshot(model.outside);
  Lock(model);

  bool setAside = false;
  const UnzipReporter reporter{Collect, &setAside};
  const std::u16string folder = ToUtf16(model.folder.string());
  const bool repaired = RepairInterruptedSwitch(folder.c_str(), &reporter);
  const bool unfinished = FolderSwitchUnfinished(folder.c_str());
  Unlock(sandbox);

  const StrictJournal journal = model.journalIsFile ? ReadStrictly(model.journal) : StrictJournal();
  const auto after = Snapshot(model.folder);
  CheckUserFiles(journal, before, after);
  FUZZ_CHECK(Snapshot(model.outside) == outsideBefore);
  FUZZ_CHECK(Children(sandbox).size() == 2 && Children(ScratchRoot()).size() == 1);
  if (journal.state == "switching") {
    const std::set<std::string> versions = VersionsHeld(model, journal, after);
    const bool whole = versions.size() <= 1 && versions.count("neither") == 0;
    const bool answeredWhole = repaired || !unfinished;
    if (!whole && answeredWhole) std::fprintf(stderr, "mixed after the repair, answered whole\n");
    FUZZ_CHECK(whole || !answeredWhole);
  }
  if (setAside && model.journalIsFile) FUZZ_CHECK(JournalMovedAside(model, after));
  RemoveTreeAt(sandbox.string());
  return 0;
}
