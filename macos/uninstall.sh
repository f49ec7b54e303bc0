#!/bin/bash
# Removes hestled and hestle from this Mac. The daemon is stopped through
# launchd first, so that its clean shutdown hands charging and the adapter
# back; the user's settings stay unless --purge is given.
set -euo pipefail

label=org.hestle.hestled
plist=/Library/LaunchDaemons/$label.plist
data_dir="/Library/Application Support/Hestle"
stderr_log=/Library/Logs/hestled.log
me=$(basename "$0")

usage() {
  echo "Usage: sudo $me [--purge]"
  echo "Stops and removes hestled and hestle. --purge also removes the settings"
  echo "and logs in $data_dir and $stderr_log."
}

die() {
  echo "$me: $*" >&2
  exit 1
}

purge=no
for arg in "$@"; do
  case "$arg" in
    --purge) purge=yes ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done

[ "$(uname -s)" = Darwin ] || die "this removes hestled from macOS only"
[ "$(id -u)" -eq 0 ] || die "run it as root: sudo $0 $*"

# The job names the daemon; the rest of the install sits beside it.
daemon=/usr/local/libexec/hestled
if [ -f "$plist" ]; then
  daemon=$(plutil -extract ProgramArguments.0 raw -o - "$plist" 2>/dev/null) || daemon=/usr/local/libexec/hestled
fi
case "$daemon" in
  /*/libexec/hestled) ;;
  *) die "$plist names an unexpected program ($daemon); remove it by hand" ;;
esac
prefix=${daemon%/libexec/hestled}

if launchctl print "system/$label" >/dev/null 2>&1; then
  echo "Stopping hestled (it hands charging and the adapter back)..."
  launchctl bootout "system/$label" || die "launchctl could not stop hestled; nothing was removed"
  tries=0
  while launchctl print "system/$label" >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -le 40 ] || die "hestled did not stop; nothing was removed"
    sleep 1
  done
  status="$data_dir/status.json"
  if [ -f "$status" ] && [ ! -L "$status" ] && grep -q '"daemonRunning":false' "$status"; then
    echo "hestled shut down cleanly: charging and the adapter are back to normal."
  else
    echo "$me: warning: hestled did not confirm its clean shutdown; check that the Mac charges." >&2
  fi
fi

rm -f "$plist" "$daemon" "$prefix/bin/hestle"
rm -rf "$prefix/share/hestle"
if [ "$purge" = yes ]; then
  rm -rf "$data_dir"
  rm -f "$stderr_log"
  echo "hestled, hestle, the settings and the logs are removed."
else
  echo "hestled and hestle are removed. The settings stay in $data_dir;"
  echo "remove that directory to delete them too."
fi
