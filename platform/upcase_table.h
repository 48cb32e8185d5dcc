// Windows' upper case of file names as data, for the builds that cannot ask Windows: the pairs
// that tools/regen-upcase-table.sh takes from the Windows build's own comparison
// (platform/upcase_table.inc), so that every build judges two names alike.
#pragma once

#include <algorithm>
#include <iterator>

struct UpcasePair {
  char16_t lower;
  char16_t upper;
};

inline constexpr UpcasePair kFileNameUpcase[] =
#include "platform/upcase_table.inc"
    ;

// The unit's upper case as Windows compares file names; one unit for one, no locale.
inline char16_t UpcaseFileNameUnit(char16_t unit) {
  const UpcasePair* end = std::end(kFileNameUpcase);
  const UpcasePair* found = std::lower_bound(std::begin(kFileNameUpcase), end, unit,
                                             [](const UpcasePair& pair, char16_t key) { return pair.lower < key; });
  return found != end && found->lower == unit ? found->upper : unit;
}
