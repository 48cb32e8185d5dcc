#include "deploy/parent_hold.h"

#include "deploy/entry_names.h"
#include "deploy/switch_paths.h"

FolderHold HoldParents(ParentHold& hold, const char16_t* folder, const std::u16string& name) {
  const std::size_t cut = name.find_last_of(u"\\/");
  const std::u16string parents = cut == std::u16string::npos ? std::u16string() : name.substr(0, cut);
  if (parents == hold.folders && (parents.empty() || hold.held.count > 0)) return FolderHold::Held;
  hold.held.Clear();
  hold.folders = parents;
  if (parents.empty()) return FolderHold::Held;
  std::u16string path = PathOf(folder, parents);
  const auto from = static_cast<std::uint32_t>(path.size() - parents.size());
  const FolderHold result = HoldFolders(&path[0], from, static_cast<std::uint32_t>(path.size()), false, hold.held);
  if (result != FolderHold::Held) {
    hold.held.Clear();
    hold.folders.clear();
  }
  return result;
}
