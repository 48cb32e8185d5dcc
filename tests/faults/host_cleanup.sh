#!/usr/bin/env bash
# host_cleanup.sh BUILD_DIR: lifts what a fault test may have left on the host side of the build
# tree's Wine prefix (a crashed test cannot undo its own faults): immutable flags and a mounted
# tmpfs on the install folders or on APPDATA. Harmless when nothing is left.
set -u
shopt -s nullglob
for roaming in "$1"/wineprefix/drive_c/users/*/AppData/Roaming; do
  quorvane=$roaming/Quorvane
  for folder in "$quorvane/Software" "$quorvane" "$roaming"; do
    [ "$(findmnt -n -o SOURCE --mountpoint "$folder" 2>/dev/null)" = quorvane-tiny ] && umount -l "$folder"
  done
  [ -d "$quorvane" ] && chattr -R -i "$quorvane" 2>/dev/null
done
exit 0
