#!/usr/bin/env bash
# regen-upcase-table.sh   rewrites platform/upcase_table.inc, the upper-case table that the host
# builds compare file names with, from the Windows build's own comparison (LCMapStringEx), run
# under Wine in the windows build tree's prefix. Takes the shared Wine lock while Wine runs.
# The test upcase_table_tests (tests/platform) fails when the table and the Windows build differ.
set -eu
source=$(cd "$(dirname "$0")/.." && pwd)
build=$source/build/windows
cd "$source"
[ -f "$build/CMakeCache.txt" ] || cmake --preset windows
cmake --build --preset windows --target upcase_table_gen
table=$source/platform/upcase_table.inc
flock /tmp/quorvane-wine.lock sh -c '
  "$1/cmake/wine-run.sh" "$2" "$2/tools/upcase_table_gen.exe" >"$3.new"; status=$?
  WINEPREFIX="$2/wineprefix" wineserver -k 2>/dev/null
  exit $status' regen "$source" "$build" "$table"
tr -d '\r' <"$table.new" >"$table.lf" && rm -f "$table.new"
# A run that printed no pairs (Wine failed to start the program) must not replace the table.
if ! grep -q '{0x0061, 0x0041}' "$table.lf"; then
  echo "regen-upcase-table: the generator gave no table (see above); platform/upcase_table.inc is unchanged" >&2
  rm -f "$table.lf"
  exit 1
fi
mv "$table.lf" "$table"
echo "regen-upcase-table: $(grep -o '{0x' "$table" | wc -l) code units change; written to $table"
