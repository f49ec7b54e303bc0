#!/bin/bash
# Installs hestled and hestle on this Mac from a build directory and starts
# the daemon through launchd; over an existing install it upgrades in place.
# Nothing here reads or writes the data directory, which every local user can
# write: whether the daemon runs is asked of launchd, and hestle, which reads
# the directory safely, runs as nobody.
set -euo pipefail

label=org.hestle.hestled
plist=/Library/LaunchDaemons/$label.plist
newsyslog_rule=/etc/newsyslog.d/$label.conf
me=$(basename "$0")

usage() {
  echo "Usage: sudo $me [BUILD_DIR]"
  echo "Installs from BUILD_DIR (default: build/default) and starts hestled."
}

die() {
  echo "$me: $*" >&2
  exit 1
}

# One field of the job as launchd reports it ("state", "pid", "last exit
# code"); empty when launchd does not know the job or the field.
job_field() {
  launchctl print "system/$label" 2>/dev/null | sed -n "s/^[[:space:]]*$1 = //p" | head -n 1 || true
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

# Runs a command for at most $1 seconds (macOS has no timeout command).
run_limited() {
  local seconds=$1 pid watchdog status=0
  shift
  "$@" &
  pid=$!
  (sleep "$seconds"; kill -9 "$pid" 2>/dev/null) &
  watchdog=$!
  wait "$pid" || status=$?
  kill "$watchdog" 2>/dev/null || true
  return "$status"
}

# A program that runs as root must not sit where another user could replace
# it: it and every existing directory above it must be root's and writable by
# root alone.
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
hestle=$prefix/bin/hestle
check_root_owned "$(dirname "$daemon")"
check_root_owned "$(dirname "$hestle")"

# Once the old daemon has been stopped, whatever ends this script early starts
# the installed job again: an upgrade never leaves the Mac without its daemon.
stopped=no
restart_if_stopped() {
  local status=$?
  if [ "$stopped" = yes ] && [ "$status" -ne 0 ] && [ -f "$plist" ] &&
     ! launchctl print "system/$label" >/dev/null 2>&1; then
    echo "$me: starting the installed hestled again" >&2
    launchctl bootstrap system "$plist" ||
      echo "$me: that failed too; start it with: sudo launchctl bootstrap system $plist" >&2
  fi
}
trap restart_if_stopped EXIT

if launchctl print "system/$label" >/dev/null 2>&1; then
  echo "Stopping the installed hestled (it hands charging and the adapter back)..."
  launchctl bootout "system/$label" || die "launchctl could not stop the installed hestled"
  stopped=yes
  wait_until_gone
fi

cmake --install "$build"
chown root:wheel "$plist" "$newsyslog_rule"
chmod 0644 "$plist" "$newsyslog_rule"
check_root_owned "$daemon"
check_root_owned "$hestle"

launchctl enable "system/$label"
launchctl bootstrap system "$plist" || die "launchctl could not start hestled"

# Start-up takes milliseconds, and a daemon that cannot run on this Mac exits
# at once (launchd does not start it again): it runs when launchd still shows
# the same process two seconds after it appeared.
pid=
steady=0
tries=0
while [ "$steady" -lt 4 ]; do
  tries=$((tries + 1))
  state=$(job_field state)
  now=$(job_field pid)
  code=$(job_field 'last exit code')
  if [ "$state" = running ] && [ -n "$now" ]; then
    if [ "$now" = "$pid" ]; then steady=$((steady + 1)); else pid=$now; steady=0; fi
  elif [ -n "$pid" ] || [ "${code:-(never exited)}" != "(never exited)" ] || [ "$tries" -gt 20 ]; then
    echo "$me: hestled was installed but does not run (launchd: state ${state:-unknown}," \
         "last exit code ${code:-none}); its last lines:" >&2
    run_limited 5 sudo -u nobody "$hestle" log -n 5 >&2 || true
    exit 1
  fi
  sleep 0.5
done
echo "hestled is installed and running (process $pid)."
run_limited 5 sudo -u nobody "$hestle" status || true
