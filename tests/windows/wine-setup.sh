#!/bin/sh
# Prepares the Wine prefix of the Windows tests:
# - drive D: is a plain folder that Wine lists as a CD-ROM drive;
# - the program named third runs as a Windows 98 program (a platform before NT).
# Usage: wine-setup.sh WINE_RUN CDROM_FOLDER WIN98_PROGRAM
set -eu
wine_run=$1
cdrom=$2
win98=$3

prefix=$("$wine_run" --prefix)
mkdir -p "$cdrom"
ln -sfn "$cdrom" "$prefix/dosdevices/d:"
"$wine_run" reg add 'HKLM\Software\Wine\Drives' /v 'd:' /d cdrom /f >/dev/null
"$wine_run" reg add "HKCU\\Software\\Wine\\AppDefaults\\$win98" /v Version /d win98 /f >/dev/null
echo "wine prefix $prefix: D: is a CD-ROM drive on $cdrom; $win98 runs as Windows 98"
