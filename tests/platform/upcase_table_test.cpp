// The table that the other builds compare names with against the Windows build's own comparison:
// every UTF-16 unit, so the two cannot drift apart (tools/regen-upcase-table.sh rewrites the table).
#include "platform/upcase_table.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text_encoding.h"

namespace {

// Whole names too: a letter beyond U+FFFF is two units that keep their case.
TEST(UpcaseTable, EveryUnitAndNameMapsAsTheWindowsBuildMapsIt) {
  std::u16string units;
  for (unsigned unit = 1; unit <= 0xFFFF; ++unit) units.push_back(static_cast<char16_t>(unit));
  for (std::u16string name : {units, std::u16string(u"\u0395\u03BB\u03AC \U00010428\U0001E922\u0131\u0483")}) {
    std::u16string table = name;
    for (char16_t& unit : table) unit = UpcaseFileNameUnit(unit);
    UpcaseAsFileNames(&name[0], static_cast<int>(name.size()));
    for (std::size_t i = 0; i < name.size(); ++i) ASSERT_EQ(name[i], table[i]) << "unit " << i << " of the name";
  }
}

}  // namespace
