#!/usr/bin/env bash
# host_cleanup.sh BUILD_DIR: lifts what a fault test may have left on the host side of the build
# tree's Wine prefix (a crashed test cannot undo its own faults): immutable flags and a mounted
# tmpfs on the install folders. Harmless when nothing is left.
set -u
shopt -s nullglob
for quorvane in "$1"/wineprefix/drive_c/users/*/AppData/Roaming/Quorvane; do
  for folder in "$quorvane/Software" "$quorvane"; do
    mountpoint -q "$folder" && umount -l "$folder"
  done
  chattr -R -i "$quorvane" 2>/dev/null
done
exit 0
