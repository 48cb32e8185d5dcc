#include "deploy/folder_switch.h"

#include <utility>

#include "deploy/entry_names.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace {

constexpr char kJournalHeader[] = "quorvane switch 1\n";
constexpr char kSwitching[] = "switching\n";
constexpr char kCommitted[] = "committed\n";
// A journal lists one line per file; far beyond any archive's 65,535 entries is no journal of ours.
constexpr std::uint32_t kLongestJournal = 32u << 20;

std::u16string PathOf(const char16_t* folder, const std::u16string& name, const char16_t* suffix = u"") {
  std::u16string path(folder);
  if (!path.empty() && !IsPathSeparator(path.back())) path += u'\\';
  return path + name + suffix;
}

bool Exists(const std::u16string& path) { return GetPathAttributes(path.c_str()) != kInvalidAttributes; }

// What a journal holds: the switch's files, the folders it created, and kept-aside files that are
// still to be deleted (an earlier switch could not delete them while they were in use).
struct Journal {
  bool committed = false;
  SwitchPlan plan;
  std::vector<std::u16string> keptAside;
};

std::string Utf8Line(char kind, const std::u16string& name) {
  const int size = Utf16ToUtf8(name.c_str(), static_cast<int>(name.size()), nullptr, 0);
  std::string line(1, kind);
  line += ' ';
  const std::size_t at = line.size();
  line.resize(at + static_cast<std::size_t>(size));
  if (size > 0) Utf16ToUtf8(name.c_str(), static_cast<int>(name.size()), &line[at], size);
  return line + '\n';
}

std::string JournalText(const Journal& journal) {
  std::string text = std::string(kJournalHeader) + (journal.committed ? kCommitted : kSwitching);
  for (const StagedFile& file : journal.plan.files) text += Utf8Line(file.hadOld ? 'O' : 'N', file.name);
  for (const std::u16string& created : journal.plan.createdFolders) text += Utf8Line('D', created);
  for (const std::u16string& kept : journal.keptAside) text += Utf8Line('K', kept);
  return text;
}

// Written whole beside the journal, on the disk, then moved over it: the journal is always one
// complete version.
bool WriteJournal(const char16_t* folder, const Journal& journal) {
  const std::u16string path = PathOf(folder, kUnzipJournalName);
  const std::u16string temporary = path + kUnzipTemporarySuffix;
  DeletePlainFile(temporary.c_str());
  const std::string text = JournalText(journal);
  ScopedPlatformFile file(CreateNewFile(temporary.c_str(), kAttributeNormal));
  const bool written = file.IsValid() &&
                       WriteToFile(file.Get(), text.data(), static_cast<std::uint32_t>(text.size())) &&
                       FlushFile(file.Get());
  file.Reset();
  if (written && MoveFileOver(temporary.c_str(), path.c_str())) return true;
  DeletePlainFile(temporary.c_str());
  return false;
}

// A name from a journal is used only as an entry's name would be: inside the folder, no reserved
// or forbidden name, within the path limit.
bool JournalNameIsUsable(const char16_t* folder, const std::u16string& name) {
  ArchiveEntryInfo info;
  if (name.empty() || name.size() >= kEntryNameCapacity) return false;
  name.copy(info.name, name.size());
  info.name[name.size()] = 0;
  EntryNames unused;
  return JudgeEntryName(unused, ArchiveResult::Ok, info) == nullptr &&
         PathOf(folder, name).size() + kUnzipLongestSuffix < kEntryPathCapacity;
}

bool ParseJournal(const char16_t* folder, const std::string& text, Journal* journal) {
  const std::string head = std::string(kJournalHeader);
  if (text.compare(0, head.size(), head) != 0) return false;
  std::size_t at = head.size();
  const auto nextLine = [&text, &at](std::string* line) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    *line = text.substr(at, end - at);
    at = end + 1;
    return true;
  };
  std::string line;
  if (!nextLine(&line) || (line + '\n' != kSwitching && line + '\n' != kCommitted)) return false;
  journal->committed = line + '\n' == kCommitted;
  while (nextLine(&line)) {
    if (line.size() < 3 || line[1] != ' ') return false;
    const int units = Utf8ToUtf16(line.data() + 2, static_cast<int>(line.size() - 2), nullptr, 0);
    std::u16string name(static_cast<std::size_t>(units > 0 ? units : 0), u'\0');
    if (units <= 0 || Utf8ToUtf16(line.data() + 2, static_cast<int>(line.size() - 2), &name[0], units) != units ||
        !JournalNameIsUsable(folder, name)) {
      return false;
    }
    if (line[0] == 'O' || line[0] == 'N') {
      journal->plan.files.push_back(StagedFile{name, line[0] == 'O'});
    } else if (line[0] == 'D') {
      journal->plan.createdFolders.push_back(name);
    } else if (line[0] == 'K') {
      journal->keptAside.push_back(name);
    } else {
      return false;
    }
  }
  return at == text.size();
}

// The journal in folder: true with *found false when there is none.
bool ReadJournal(const char16_t* folder, Journal* journal, bool* found) {
  const std::u16string path = PathOf(folder, kUnzipJournalName);
  *found = Exists(path);
  if (!*found) return true;
  ScopedPlatformFile file(OpenFileForReading(path.c_str()));
  std::uint64_t size = 0;
  if (!file.IsValid() || !SeekFile(file.Get(), 0, SeekOrigin::End, &size) || size > kLongestJournal ||
      !SeekFile(file.Get(), 0, SeekOrigin::Start, nullptr)) {
    return false;
  }
  std::string text(static_cast<std::size_t>(size), '\0');
  std::uint32_t read = 0;
  if (size > 0 && (!ReadFromFile(file.Get(), &text[0], static_cast<std::uint32_t>(size), &read) || read != size)) {
    return false;
  }
  return ParseJournal(folder, text, journal);
}

// Holds the folders between folder and path's file, so that no rename or delete below them can be
// sent through a link that replaced one meanwhile. False when one is missing or a link.
struct ParentHold {
  HeldFolders held;
  std::u16string folders;  // what is held, relative
};

bool HoldParents(ParentHold& hold, const char16_t* folder, const std::u16string& name) {
  const std::size_t cut = name.find_last_of(u"\\/");
  const std::u16string parents = cut == std::u16string::npos ? std::u16string() : name.substr(0, cut);
  if (parents == hold.folders && (parents.empty() || hold.held.count > 0)) return true;
  hold.held.Clear();
  hold.folders = parents;
  if (parents.empty()) return true;
  std::u16string path = PathOf(folder, parents);
  const auto from = static_cast<std::uint32_t>(path.size() - parents.size());
  if (HoldFolders(&path[0], from, static_cast<std::uint32_t>(path.size()), false, hold.held) == FolderHold::Held) {
    return true;
  }
  hold.held.Clear();
  hold.folders.clear();
  return false;
}

void RemoveCreatedFolders(const char16_t* folder, const SwitchPlan& plan) {
  for (auto created = plan.createdFolders.rbegin(); created != plan.createdFolders.rend(); ++created) {
    RemoveEmptyFolder(PathOf(folder, *created).c_str());  // one the user filled meanwhile stays
  }
}

// Every file of plan back as it was before the switch: a kept-aside file returns over whatever
// stands at its target, a file that is new with this switch goes, and every staged file goes.
// True when all of that succeeded.
bool UndoSwitch(const char16_t* folder, const SwitchPlan& plan) {
  bool whole = true;
  ParentHold hold;
  for (auto file = plan.files.rbegin(); file != plan.files.rend(); ++file) {
    if (!HoldParents(hold, folder, file->name)) {
      whole = whole && !Exists(PathOf(folder, file->name, kUnzipKeptAsideSuffix));
      continue;
    }
    const std::u16string target = PathOf(folder, file->name);
    const std::u16string kept = target + kUnzipKeptAsideSuffix;
    const std::u16string staged = target + kUnzipTemporarySuffix;
    if (Exists(kept)) {
      whole = MoveFileOver(kept.c_str(), target.c_str()) && whole;
    } else if (!file->hadOld && Exists(target)) {
      whole = DeletePlainFile(target.c_str()) && whole;
    }
    if (Exists(staged)) whole = DeletePlainFile(staged.c_str()) && whole;
  }
  hold.held.Clear();
  RemoveCreatedFolders(folder, plan);
  return whole;
}

// Deletes kept-aside files; those that cannot go yet (a program still runs from one) stay listed.
std::vector<std::u16string> DeleteKeptAside(const char16_t* folder, const std::vector<std::u16string>& names) {
  std::vector<std::u16string> left;
  ParentHold hold;
  for (const std::u16string& name : names) {
    const std::u16string kept = PathOf(folder, name, kUnzipKeptAsideSuffix);
    if (!Exists(kept)) continue;
    if (!HoldParents(hold, folder, name) || !DeletePlainFile(kept.c_str())) left.push_back(name);
  }
  return left;
}

// After a switch (or its undo): the journal goes once no kept-aside file is left to delete.
bool FinishJournal(const char16_t* folder, std::vector<std::u16string> keptAside) {
  if (keptAside.empty()) return DeletePlainFile(PathOf(folder, kUnzipJournalName).c_str());
  Journal rest;
  rest.committed = true;
  rest.keptAside = std::move(keptAside);
  return WriteJournal(folder, rest);
}

// A switch that cannot finish is taken back at once; what cannot be taken back yet stays in the
// journal for the next run.
bool FailSwitch(const char16_t* folder, const SwitchPlan& plan, const std::vector<std::u16string>& keptAside,
                const UnzipReporter* reporter, std::int32_t index, const char* event, const char16_t* name) {
  ReportTo(reporter, index, event, name);
  if (UndoSwitch(folder, plan)) {
    FinishJournal(folder, keptAside);
  } else {
    ReportTo(reporter, -1, kUnzipSwitchNotRepaired, folder);
  }
  return false;
}

// Every staged file on the disk before the first rename, so that a power cut cannot leave a
// target name on missing bytes: one flush of the whole file system where the platform has it,
// else file by file.
bool FlushStaged(const char16_t* folder, const SwitchPlan& plan) {
  if (FlushFileSystemOf(folder)) return true;
  for (const StagedFile& file : plan.files) {
    if (!FlushFileAtPath(PathOf(folder, file.name, kUnzipTemporarySuffix).c_str())) return false;
  }
  return true;
}

}  // namespace

bool SwitchStagedFiles(const char16_t* folder, SwitchPlan& plan, const UnzipReporter* reporter) {
  Journal journal;
  bool found = false;
  // What an earlier switch could not delete is carried on; an unfinished one was repaired first.
  if (!ReadJournal(folder, &journal, &found) || (found && !journal.committed)) {
    ReportTo(reporter, -1, kUnzipSwitchNotRepaired, folder);
    DiscardStagedFiles(folder, plan);
    return false;
  }
  // A kept-aside file of one of the plan's names is an earlier switch's waste: it goes first, so
  // that during this switch every kept-aside file of the plan is this switch's own. A folder at a
  // file's name cannot be set aside and replaced like a file: the switch would fail at it.
  for (StagedFile& file : plan.files) {
    const std::u16string target = PathOf(folder, file.name);
    const std::u16string kept = target + kUnzipKeptAsideSuffix;
    const std::uint32_t attributes = GetPathAttributes(target.c_str());
    file.hadOld = attributes != kInvalidAttributes;
    if ((file.hadOld && (attributes & kAttributeDirectory) != 0) || (Exists(kept) && !DeletePlainFile(kept.c_str()))) {
      ReportTo(reporter, file.index, kUnzipMoveFailed, file.name.c_str());
      DiscardStagedFiles(folder, plan);
      return false;
    }
  }
  std::vector<std::u16string> carried;
  for (const std::u16string& name : journal.keptAside) {
    if (Exists(PathOf(folder, name, kUnzipKeptAsideSuffix))) carried.push_back(name);
  }
  journal.keptAside = carried;
  journal.committed = false;
  journal.plan = plan;
  if (!WriteJournal(folder, journal)) {
    ReportTo(reporter, -1, kUnzipWriteFailed, folder);
    DiscardStagedFiles(folder, plan);
    return false;
  }
  if (!FlushStaged(folder, plan)) {
    ReportTo(reporter, -1, kUnzipWriteFailed, folder);
    DiscardStagedFiles(folder, plan);
    FinishJournal(folder, carried);
    return false;
  }
  ParentHold hold;
  for (const StagedFile& file : plan.files) {
    const std::u16string target = PathOf(folder, file.name);
    const std::u16string kept = target + kUnzipKeptAsideSuffix;
    if (!HoldParents(hold, folder, file.name) || (file.hadOld && !MoveFileOver(target.c_str(), kept.c_str()))) {
      return FailSwitch(folder, plan, carried, reporter, file.index, kUnzipMoveFailed, file.name.c_str());
    }
  }
  for (const StagedFile& file : plan.files) {
    const std::u16string target = PathOf(folder, file.name);
    const std::u16string staged = target + kUnzipTemporarySuffix;
    if (!HoldParents(hold, folder, file.name) || !MoveFileOver(staged.c_str(), target.c_str())) {
      return FailSwitch(folder, plan, carried, reporter, file.index, kUnzipMoveFailed, file.name.c_str());
    }
  }
  hold.held.Clear();
  // The new version is whole: from here on the old one is only waste to delete.
  Journal committed;
  committed.committed = true;
  committed.keptAside = carried;
  for (const StagedFile& file : plan.files) {
    if (file.hadOld) committed.keptAside.push_back(file.name);
  }
  if (!WriteJournal(folder, committed)) {
    // Not recorded as done, so a crash now would take it back; take it back now instead.
    return FailSwitch(folder, plan, carried, reporter, -1, kUnzipWriteFailed, folder);
  }
  FinishJournal(folder, DeleteKeptAside(folder, committed.keptAside));
  return true;
}

void DiscardStagedFiles(const char16_t* folder, const SwitchPlan& plan) {
  ParentHold hold;
  for (const StagedFile& file : plan.files) {
    if (HoldParents(hold, folder, file.name)) DeletePlainFile(PathOf(folder, file.name, kUnzipTemporarySuffix).c_str());
  }
  hold.held.Clear();
  RemoveCreatedFolders(folder, plan);
}

bool RepairInterruptedSwitch(const char16_t* folder, const UnzipReporter* reporter) {
  Journal journal;
  bool found = false;
  if (!ReadJournal(folder, &journal, &found)) {
    // Not a journal this tool wrote whole (it is only ever replaced whole): nothing in it can be
    // trusted to act on, and kept, it would stop every later update.
    ReportTo(reporter, -1, kUnzipSwitchNotRepaired, folder);
    DeletePlainFile(PathOf(folder, kUnzipJournalName).c_str());
    return false;
  }
  if (!found) return true;
  if (!journal.committed && !journal.plan.files.empty()) {
    if (!UndoSwitch(folder, journal.plan)) return ReportTo(reporter, -1, kUnzipSwitchNotRepaired, folder);
    ReportTo(reporter, -1, kUnzipSwitchUndone, folder);
  }
  return FinishJournal(folder, DeleteKeptAside(folder, journal.keptAside)) &&
         !Exists(PathOf(folder, kUnzipJournalName));
}

bool FolderSwitchUnfinished(const char16_t* folder) {
  Journal journal;
  bool found = false;
  const bool read = ReadJournal(folder, &journal, &found);
  return found && (!read || !journal.committed);
}
