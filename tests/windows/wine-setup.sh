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

# Both settings in one start of Wine, from a file beside the CD-ROM folder
# (Wine's Z: is the root of the file system).
settings=$(cd "$cdrom" && pwd).reg
cat >"$settings" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]
"d:"="cdrom"

[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\$win98]
"Version"="win98"
REG

# reg tells why it failed on its standard output: kept in a file (the Wine server
# that reg starts holds on to its output for seconds after reg has ended) and
# shown then. A Wine started while the prefix's server is still shutting down may
# fail: wait for that server to end, and try once more.
said=$cdrom.log
for attempt in 1 2; do
  "$wine_run" --settle
  status=0
  "$wine_run" reg import "Z:$settings" >"$said" 2>&1 || status=$?
  [ $status = 0 ] && break
  echo "wine-setup: reg import failed (exit $status, attempt $attempt):" >&2
  cat "$said" >&2
  [ $attempt = 2 ] && exit 1
done
rm -f "$settings" "$said"
# Wine reads its drives when its server starts: the tests' programs start a new
# one once this one, which started before D: was a CD-ROM drive, has ended.
"$wine_run" --settle
echo "wine prefix $prefix: D: is a CD-ROM drive on $cdrom; $win98 runs as Windows 98"
