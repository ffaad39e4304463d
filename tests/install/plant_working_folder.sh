#!/bin/sh
# What another user of the temporary-files folder could have left there
# before the updater starts. Run by tests/wine/run-in-prefix through
# TAGMIND_PREFIX_SETUP, with WINEPREFIX set; Windows code cannot make Unix
# links, and Wine follows them where Windows would not.
#
#   plant_working_folder.sh CASE
#
# Every case also makes C:\victims: files that links point to, which the run
# must neither write nor delete.
set -eu
[ $# -eq 1 ] || { echo "usage: plant_working_folder.sh CASE" >&2; exit 2; }
temp="$WINEPREFIX/drive_c/users/root/Temp"
victims="$WINEPREFIX/drive_c/victims"
[ -d "$temp" ] || { echo "plant_working_folder.sh: no $temp" >&2; exit 2; }

mkdir -p "$victims/folder"
for name in compressed expanded backup; do printf 'victim %s\n' "$name" > "$victims/$name"; done
printf 'victim keep\n' > "$victims/folder/keep.txt"
printf 'victim expanded in folder\n' > "$victims/folder/TagmindEngineMMLib.dll"
printf 'victim compressed in folder\n' > "$victims/folder/TagmindEngineMMLib.dll.tmp"

case "$1" in
  folder)
    # A leftover or planted folder with files under the working names.
    mkdir "$temp/Norlek.tmp"
    printf 'planted note\n' > "$temp/Norlek.tmp/note.txt"
    printf 'planted expanded\n' > "$temp/Norlek.tmp/TagmindEngineMMLib.dll"
    printf 'planted compressed\n' > "$temp/Norlek.tmp/TagmindEngineMMLib.dll.tmp"
    ;;
  file)
    printf 'planted file\n' > "$temp/Norlek.tmp"
    ;;
  links)
    # Each working file name (and the replacement's backup) a link out.
    mkdir "$temp/Norlek.tmp"
    ln -s "$victims/compressed" "$temp/Norlek.tmp/TagmindEngineMMLib.dll.tmp"
    ln -s "$victims/expanded" "$temp/Norlek.tmp/TagmindEngineMMLib.dll"
    ln -s "$victims/backup" "$temp/Norlek.tmp/TagmindEngineMMLib.dll.old"
    ;;
  folder-link)
    ln -s "$victims/folder" "$temp/Norlek.tmp"
    ;;
  dangling-link)
    ln -s "$victims/nowhere" "$temp/Norlek.tmp"
    ;;
  victim-link)
    ln -s "$victims/expanded" "$temp/link-to-victim"
    ;;
  *)
    echo "plant_working_folder.sh: unknown case $1" >&2
    exit 2
    ;;
esac
