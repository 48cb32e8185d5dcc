// Reads the built release tool back from its file: the PE header fields that make it a 32-bit GUI
// program, and every resource it carries, with nothing missing and nothing extra.
#include <windows.h>

#include <winver.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/win_test_support.h"

namespace {

constexpr WORD kChineseSimplified = 2052;
constexpr WORD kEnglishUs = 1033;

std::wstring ToolPath() { return BuildArtifact(L"app/QuorvaneReleaseTool.exe"); }

uint32_t Read16(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
}
uint32_t Read32(const std::string& bytes, size_t at) { return Read16(bytes, at) | Read16(bytes, at + 2) << 16; }

// The tool's file mapped for its resources only: no code runs, no imports are resolved.
class ToolResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(ToolPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << "cannot map " << Narrow(ToolPath()) << ", error " << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  // The bytes of one resource in one language; empty when it is missing.
  std::string Bytes(const wchar_t* type, const wchar_t* name, WORD language) const {
    HRSRC found = FindResourceExW(module_, type, name, language);
    if (found == nullptr) return "";
    const void* data = LockResource(LoadResource(module_, found));
    return data ? std::string(static_cast<const char*>(data), SizeofResource(module_, found)) : "";
  }

  HMODULE module_ = nullptr;
};

// "type/name/language" for every resource, types and names as numbers or text.
std::wstring Part(LPCWSTR value) {
  return IS_INTRESOURCE(value) ? L"#" + std::to_wstring(reinterpret_cast<uintptr_t>(value)) : std::wstring(value);
}

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR found) {
  reinterpret_cast<std::set<std::wstring>*>(found)->insert(Part(type) + L"/" + Part(name) + L"/" +
                                                           std::to_wstring(language));
  return TRUE;
}
BOOL CALLBACK AddName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR found) {
  return EnumResourceLanguagesW(module, type, name, AddLanguage, found) || TRUE;
}
BOOL CALLBACK AddType(HMODULE module, LPWSTR type, LONG_PTR found) {
  return EnumResourceNamesW(module, type, AddName, found) || TRUE;
}

struct IconImage {
  unsigned width, height, bitCount, bytes, id;
};

// An icon group's directory: a 6-byte header, then 14 bytes per image.
std::vector<IconImage> IconGroup(const std::string& group) {
  std::vector<IconImage> images;
  if (group.size() < 6 || Read16(group, 0) != 0 || Read16(group, 2) != 1) return images;
  const uint32_t count = Read16(group, 4);
  if (group.size() < 6 + 14 * size_t{count}) return images;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = 6 + 14 * size_t{i};
    images.push_back({static_cast<unsigned char>(group[at]), static_cast<unsigned char>(group[at + 1]),
                      Read16(group, at + 6), Read32(group, at + 8), Read16(group, at + 12)});
  }
  return images;
}

TEST(ToolExecutable, IsA32BitGuiProgram) {
  std::string file;
  ASSERT_TRUE(ReadFileBytes(ToolPath(), file));
  ASSERT_GT(file.size(), 0x200u);
  ASSERT_EQ(file.substr(0, 2), "MZ");
  const size_t pe = Read32(file, 0x3C);
  ASSERT_LT(pe + 24 + 70, file.size());
  EXPECT_EQ(file.substr(pe, 4), std::string("PE\0\0", 4));
  EXPECT_EQ(Read16(file, pe + 4), 0x14Cu) << "machine";
  const size_t optional = pe + 24;
  EXPECT_EQ(Read16(file, optional), 0x10Bu) << "optional header magic";
  EXPECT_EQ(Read16(file, optional + 68), 2u) << "subsystem";
}

TEST_F(ToolResources, HoldExactlyTheExpectedResources) {
  std::set<std::wstring> found;
  ASSERT_TRUE(EnumResourceTypesW(module_, AddType, reinterpret_cast<LONG_PTR>(&found)));

  std::set<std::wstring> expected = {
      L"ZIP/#137/2052", L"ZIP/#138/2052", L"ZIP/#144/2052", L"#6/#7/2052",  L"#14/#107/2052",
      L"#14/#108/2052", L"#4/#109/2052",  L"#16/#1/2052",   L"#24/#1/1033",
  };
  // The images' own ids are the resource compiler's choice: they are whatever the groups name.
  for (int group : {107, 108})
    for (const IconImage& image : IconGroup(Bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(group), kChineseSimplified)))
      expected.insert(L"#3/#" + std::to_wstring(image.id) + L"/2052");
  EXPECT_EQ(expected.size(), 12u) << "three distinct icon images";

  std::vector<std::wstring> missing, extra;
  std::set_difference(expected.begin(), expected.end(), found.begin(), found.end(), std::back_inserter(missing));
  std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(), std::back_inserter(extra));
  for (const std::wstring& entry : missing) ADD_FAILURE() << "missing resource " << Narrow(entry);
  for (const std::wstring& entry : extra) ADD_FAILURE() << "unexpected resource " << Narrow(entry);
}

TEST_F(ToolResources, PayloadArchivesAreTheBuiltOnes) {
  const std::pair<int, const wchar_t*> archives[] = {
      {137, L"ImgRes.zip"}, {138, L"Drivers.zip"}, {144, L"SoftQuorvane.zip"}};
  for (const auto& [id, name] : archives) {
    SCOPED_TRACE(Narrow(name));
    std::string built;
    ASSERT_TRUE(ReadFileBytes(BuildArtifact(std::wstring(L"payload/") + name), built));
    ASSERT_GT(built.size(), 22u);
    const std::string embedded = Bytes(L"ZIP", MAKEINTRESOURCEW(id), kChineseSimplified);
    EXPECT_TRUE(embedded == built) << "embedded " << embedded.size() << " bytes, built " << built.size();
  }
  // The type is a name: the same id under a numeric type must not exist.
  EXPECT_EQ(FindResourceW(module_, MAKEINTRESOURCEW(137), RT_RCDATA), nullptr);
}

TEST_F(ToolResources, StringTableHoldsTitleAndClassName) {
  // Block 7 holds ids 96 to 111: each a 16-bit length and that many UTF-16 units.
  const std::string block = Bytes(RT_STRING, MAKEINTRESOURCEW(7), kChineseSimplified);
  std::vector<std::wstring> strings;
  for (size_t at = 0; strings.size() < 16 && at + 2 <= block.size();) {
    const size_t length = Read16(block, at);
    ASSERT_LE(at + 2 + 2 * length, block.size());
    strings.emplace_back(reinterpret_cast<const wchar_t*>(block.data() + at + 2), length);
    at += 2 + 2 * length;
  }
  ASSERT_EQ(strings.size(), 16u);
  for (int id = 96; id < 112; ++id) {
    const wchar_t* expected = id == 101 ? L"QuorvaneReleaseTool" : id == 109 ? L"QUORVANERELEASETOOL" : L"";
    EXPECT_EQ(strings[id - 96], expected) << "string " << id;
  }
}

TEST_F(ToolResources, IconGroupsHoldTheirImages) {
  struct Expected {
    int group;
    std::vector<std::pair<unsigned, unsigned>> sizeAndBits;
  };
  const Expected groups[] = {{107, {{64, 32}}}, {108, {{32, 4}, {32, 8}}}};
  for (const Expected& group : groups) {
    SCOPED_TRACE("icon group " + std::to_string(group.group));
    const std::vector<IconImage> images =
        IconGroup(Bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(group.group), kChineseSimplified));
    ASSERT_EQ(images.size(), group.sizeAndBits.size());
    for (size_t i = 0; i < images.size(); ++i) {
      const IconImage& image = images[i];
      EXPECT_EQ(image.width, group.sizeAndBits[i].first);
      EXPECT_EQ(image.height, group.sizeAndBits[i].first);
      EXPECT_EQ(image.bitCount, group.sizeAndBits[i].second);
      // The image itself agrees with its directory entry, and Windows can make an icon of it.
      std::string bits = Bytes(RT_ICON, MAKEINTRESOURCEW(image.id), kChineseSimplified);
      ASSERT_EQ(bits.size(), image.bytes);
      ASSERT_GE(bits.size(), sizeof(BITMAPINFOHEADER));
      EXPECT_EQ(Read32(bits, 4), image.width);
      EXPECT_EQ(Read32(bits, 8), 2 * image.height) << "colour image and mask";
      EXPECT_EQ(Read16(bits, 14), image.bitCount);
      HICON icon = CreateIconFromResourceEx(reinterpret_cast<BYTE*>(&bits[0]), static_cast<DWORD>(bits.size()), TRUE,
                                            0x00030000, image.width, image.height, LR_DEFAULTCOLOR);
      EXPECT_NE(icon, nullptr);
      if (icon != nullptr) DestroyIcon(icon);
    }
  }
}

TEST_F(ToolResources, MenuLoads) {
  const std::string menu = Bytes(RT_MENU, MAKEINTRESOURCEW(109), kChineseSimplified);
  ASSERT_FALSE(menu.empty());
  HMENU loaded = LoadMenuIndirectW(menu.data());
  ASSERT_NE(loaded, nullptr);
  EXPECT_GT(GetMenuItemCount(loaded), 0);
  DestroyMenu(loaded);
}

// One node of a version block: 16-bit total length, value length, type, then a UTF-16 key,
// padded to 32 bits, the value, padded again, and the children.
struct VersionNode {
  std::wstring key;
  std::wstring text;  // a string value up to its terminator
  std::vector<VersionNode> children;
};

size_t Align4(size_t at) { return (at + 3) & ~size_t{3}; }

bool ParseVersionNode(const std::string& block, size_t at, size_t end, VersionNode& node) {
  if (at + 6 > end) return false;
  const size_t length = Read16(block, at), valueLength = Read16(block, at + 2), type = Read16(block, at + 4);
  if (length < 6 || at + length > end) return false;
  end = at + length;
  size_t cursor = at + 6;
  for (; cursor + 2 <= end && Read16(block, cursor) != 0; cursor += 2) node.key += wchar_t(Read16(block, cursor));
  cursor = Align4(cursor + 2);
  const size_t valueBytes = type == 1 ? 2 * valueLength : valueLength;  // text values count UTF-16 units
  if (cursor + valueBytes > end) return false;
  if (type == 1)
    for (size_t i = cursor; i + 2 <= cursor + valueBytes && Read16(block, i) != 0; i += 2)
      node.text += wchar_t(Read16(block, i));
  for (cursor = Align4(cursor + valueBytes); cursor + 6 <= end; cursor = Align4(cursor + Read16(block, cursor))) {
    node.children.emplace_back();
    if (!ParseVersionNode(block, cursor, end, node.children.back())) return false;
  }
  return true;
}

TEST_F(ToolResources, VersionBlockHoldsExactlyTheProductStrings) {
  const std::string block = Bytes(RT_VERSION, MAKEINTRESOURCEW(1), kChineseSimplified);
  VersionNode root;
  ASSERT_TRUE(ParseVersionNode(block, 0, block.size(), root));
  EXPECT_EQ(root.key, L"VS_VERSION_INFO");
  ASSERT_EQ(root.children.size(), 2u);
  const VersionNode& stringInfo = root.children[0];
  EXPECT_EQ(stringInfo.key, L"StringFileInfo");
  ASSERT_EQ(stringInfo.children.size(), 1u) << "one string table";
  EXPECT_EQ(stringInfo.children[0].key, L"080404b0");
  EXPECT_EQ(root.children[1].key, L"VarFileInfo");

  const std::vector<std::pair<std::wstring, std::wstring>> expected = {
      {L"CompanyName", L"QuorvaneSoft"}, {L"FileDescription", L"QuorvaneSoftClient"},
      {L"FileVersion", L"2.4.5.12"},     {L"InternalName", L"QuorvaneSoft"},
      {L"LegalCopyright", L""},          {L"OriginalFilename", L""},
      {L"ProductName", L"QuorvaneSoft"}, {L"ProductVersion", L"2.4.5.12"}};
  std::vector<std::pair<std::wstring, std::wstring>> strings;
  for (const VersionNode& value : stringInfo.children[0].children) strings.emplace_back(value.key, value.text);
  EXPECT_EQ(strings, expected);
}

TEST(ToolVersion, SystemReadsTheVersionBlock) {
  const std::wstring path = ToolPath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof *fixed);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00020004u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x0005000Cu);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00020004u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x0005000Cu);
  EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
  EXPECT_EQ(fixed->dwFileFlags, 0u);
  EXPECT_EQ(fixed->dwFileOS, 0x40004u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  WORD* translation = nullptr;
  ASSERT_TRUE(
      VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u) << "one language and code page pair";
  EXPECT_EQ(translation[0], 0x0804);
  EXPECT_EQ(translation[1], 0x04B0);

  const std::pair<const wchar_t*, const wchar_t*> strings[] = {{L"CompanyName", L"QuorvaneSoft"},
                                                               {L"FileDescription", L"QuorvaneSoftClient"},
                                                               {L"FileVersion", L"2.4.5.12"},
                                                               {L"ProductVersion", L"2.4.5.12"}};
  for (const auto& [key, value] : strings) {
    wchar_t* text = nullptr;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + key;
    ASSERT_TRUE(VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &length)) << Narrow(key);
    EXPECT_EQ(std::wstring(text), value);
  }
}

TEST_F(ToolResources, ManifestOnlyAsksForTheHighestAvailableLevel) {
  const std::string manifest = Bytes(RT_MANIFEST, MAKEINTRESOURCEW(1), kEnglishUs);
  ASSERT_FALSE(manifest.empty());
  EXPECT_NE(manifest.find("<requestedExecutionLevel level='highestAvailable' uiAccess='false' />"), std::string::npos)
      << manifest;
  // The trust information is the only content: no dependencies, no compatibility section.
  for (const char* element : {"<dependency", "<compatibility", "<application", "<file", "<assemblyIdentity"})
    EXPECT_EQ(manifest.find(element), std::string::npos) << element;
  size_t elements = 0;
  for (size_t at = manifest.find('<'); at != std::string::npos; at = manifest.find('<', at + 1))
    elements += manifest[at + 1] != '/' && manifest[at + 1] != '?';
  EXPECT_EQ(elements, 5u) << "assembly, trustInfo, security, requestedPrivileges, requestedExecutionLevel";
}

}  // namespace
