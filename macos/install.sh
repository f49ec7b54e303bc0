#!/bin/bash
# Installs hestled and hestle on this Mac from a build directory and starts
# the daemon through launchd; over an existing install it upgrades in place.
set -euo pipefail

label=org.hestle.hestled
plist=/Library/LaunchDaemons/$label.plist
data_dir="/Library/Application Support/Hestle"
stderr_log=/Library/Logs/hestled.log
me=$(basename "$0")

usage() {
  echo "Usage: sudo $me [BUILD_DIR]"
  echo "Installs from BUILD_DIR (default: build/default) and starts hestled."
}

die() {
  echo "$me: $*" >&2
  exit 1
}

# Waits until launchd no longer knows the job: bootout has returned, but the
# old daemon may still be finishing its clean shutdown.
wait_until_gone() {
  local tries=0
  while launchctl print "system/$label" >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -le 40 ] || die "the old hestled did not stop; nothing was replaced"
    sleep 1
  done
}

# A daemon that runs as root must not sit where another user could replace it:
# every existing directory above it must be root's and writable by root alone.
check_root_owned() {
  local path=$1 owner_mode
  while [ -n "$path" ] && [ "$path" != / ]; do
    if [ ! -e "$path" ]; then
      path=$(dirname "$path")
      continue
    fi
    owner_mode=$(stat -f '%u %Lp' "$path")
    case "$owner_mode" in
      "0 "*[2367]?|"0 "*[2367]) die "$path can be changed by users other than root (mode ${owner_mode#0 }); fix it first" ;;
      "0 "*) ;;
      *) die "$path is not owned by root; fix it first" ;;
    esac
    path=$(dirname "$path")
  done
}

case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  -*) usage >&2; exit 2 ;;
esac
[ $# -le 1 ] || { usage >&2; exit 2; }
build=${1:-build/default}

[ "$(uname -s)" = Darwin ] || die "this installs hestled on macOS only"
[ "$(id -u)" -eq 0 ] || die "run it as root: sudo $0 $*"
[ -f "$build/cmake_install.cmake" ] || die "no build in $build; build first (see README)"

daemon=$(plutil -extract ProgramArguments.0 raw -o - "$build/macos/$label.plist")
case "$daemon" in
  /*/libexec/hestled) ;;
  *) die "the build names an unexpected program path: $daemon" ;;
esac
prefix=${daemon%/libexec/hestled}
check_root_owned "$(dirname "$daemon")"

if launchctl print "system/$label" >/dev/null 2>&1; then
  echo "Stopping the installed hestled (it hands charging and the adapter back)..."
  launchctl bootout "system/$label" || die "launchctl could not stop the installed hestled"
  wait_until_gone
fi

cmake --install "$build"
chown root:wheel "$plist"
chmod 0644 "$plist"
check_root_owned "$daemon"

# The status of an earlier run must not pass for the new daemon's.
rm -f "$data_dir/status.json"
launchctl enable "system/$label"
launchctl bootstrap system "$plist" || die "launchctl could not start hestled (see $stderr_log)"

tries=0
until [ -f "$data_dir/status.json" ] && [ ! -L "$data_dir/status.json" ] &&
      grep -q '"daemonRunning":true' "$data_dir/status.json"; do
  tries=$((tries + 1))
  if [ "$tries" -gt 20 ]; then
    echo "$me: hestled was installed but has not reported in; its last words:" >&2
    tail -n 5 "$stderr_log" >&2 || true
    exit 1
  fi
  sleep 0.5
done
echo "hestled is installed and running."
if [ -x "$prefix/bin/hestle" ]; then
  "$prefix/bin/hestle" status || true
fi
