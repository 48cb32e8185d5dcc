// The table that the other builds compare names with against the Windows build's own comparison:
// every UTF-16 unit, so the two cannot drift apart (tools/regen-upcase-table.sh rewrites the table).
#include "platform/upcase_table.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text_encoding.h"

namespace {

TEST(UpcaseTable, EveryUnitMapsAsTheWindowsBuildMapsIt) {
  int differing = 0;
  for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
    char16_t upper = static_cast<char16_t>(unit);
    UpcaseAsFileNames(&upper, 1);
    if (upper != UpcaseFileNameUnit(static_cast<char16_t>(unit)) && ++differing <= 10) {
      ADD_FAILURE() << std::hex << "U+" << unit << ": Windows build U+" << unsigned{upper} << ", table U+"
                    << unsigned{UpcaseFileNameUnit(static_cast<char16_t>(unit))};
    }
  }
  EXPECT_EQ(differing, 0) << "run tools/regen-upcase-table.sh";
}

// Names are mapped whole, and a letter beyond U+FFFF is two units that the table leaves alone.
TEST(UpcaseTable, WholeNamesMapUnitByUnit) {
  for (std::u16string name :
       {u"\u0395\u03BB\u03BB\u03AC\u03B4\u03B1.txt", u"\u0219tiin\u021Be", u"\U00010428x", u"\U0001E922\u0131\u0483"}) {
    std::u16string table = name;
    for (char16_t& unit : table) unit = UpcaseFileNameUnit(unit);
    UpcaseAsFileNames(&name[0], static_cast<int>(name.size()));
    EXPECT_EQ(name, table);
  }
}

}  // namespace
