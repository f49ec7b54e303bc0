#!/bin/bash
# Installs hestled and hestle on this Mac from a build directory and starts
# the daemon through launchd; over an existing install it upgrades in place.
# Nothing here reads or writes the data directory, which every local user can
# write: whether the daemon runs is asked of launchd, and hestle, which reads
# the directory safely, runs as nobody. Written for the /bin/bash of macOS
# (3.2): no "$@" without a check of $#, no bash 4 features.
set -euo pipefail
# The system's own tools, whatever the caller's PATH holds (sudo keeps an
# admin's, with Homebrew's GNU stat first), and files only root can change.
PATH=/usr/bin:/bin:/usr/sbin:/sbin
export PATH
umask 022

label=org.hestle.hestled
plist=/Library/LaunchDaemons/$label.plist
old_newsyslog_rule=/etc/newsyslog.d/$label.conf
me=$(basename "$0")

usage() {
  echo "Usage: sudo $me [--prefix DIR] [BUILD_DIR]"
  echo "Installs from BUILD_DIR (default: build/mac in the source tree) and starts"
  echo "hestled. The programs go to DIR/libexec and DIR/bin (default: the build's"
  echo "install prefix, normally /usr/local)."
}

die() {
  echo "$me: $1" >&2
  exit 1
}

# The job as launchd lists it: `launchctl list LABEL` fails when launchd does
# not know the job, and otherwise prints its "PID" (while it runs) and
# "LastExitStatus"; `field NAME LISTING` picks one out.
job_known() { launchctl list "$label" >/dev/null 2>&1; }
field() {
  printf '%s\n' "$2" | sed -n "s/^[[:space:]]*\"$1\" = \\(-\\{0,1\\}[0-9]*\\);\$/\\1/p" | head -n 1
}

# Waits up to 40 seconds until launchd no longer knows the job: bootout goes
# on after launchctl has returned while the old daemon finishes its clean
# shutdown.
wait_until_gone() {
  local tries=0
  while job_known; do
    tries=$((tries + 1))
    [ "$tries" -le 40 ] || return 1
    sleep 1
  done
}

# Loads the job. launchd refuses a bootstrap with 5 or 37 for a few seconds
# after a bootout while it cleans up: those are retried for about 15 seconds.
# Whether the job is loaded is then asked of launchd.
bootstrap_job() {
  local tries=0 status
  while :; do
    status=0
    launchctl bootstrap system "$plist" 2>/dev/null || status=$?
    case "$status" in
      0) return 0 ;;
      5|37) [ "$tries" -lt 15 ] || break ;;
      *) break ;;
    esac
    tries=$((tries + 1))
    sleep 1
  done
  job_known && return 0
  echo "$me: launchctl bootstrap failed with status $status." >&2
  return 1
}

login_items_hint() {
  echo "If hestled is switched off in System Settings > General > Login Items" \
       "(Allow in the Background), switch it on and run $me again." >&2
}

# Runs a command for at most $1 seconds (macOS has no timeout command).
run_limited() {
  local seconds=$1 pid watchdog status=0
  shift
  ${1+"$@"} &
  pid=$!
  (sleep "$seconds"; kill -9 "$pid" 2>/dev/null) &
  watchdog=$!
  wait "$pid" || status=$?
  kill "$watchdog" 2>/dev/null || true
  return "$status"
}

# A program that runs as root must not sit where another user could replace
# it: it and every existing directory above it must be root's and writable by
# root alone. Says what is wrong and fails otherwise.
root_owned() {
  local path=$1 owner_mode
  while [ -n "$path" ] && [ "$path" != / ]; do
    if [ ! -e "$path" ]; then
      path=$(dirname "$path")
      continue
    fi
    owner_mode=$(stat -f '%u %Lp' "$path")
    case "$owner_mode" in
      "0 "*[2367]?|"0 "*[2367])
        echo "$me: $path can be changed by users other than root (mode ${owner_mode#0 }); fix it first" >&2
        return 1 ;;
      "0 "*) ;;
      *) echo "$me: $path is not owned by root; fix it first" >&2; return 1 ;;
    esac
    path=$(dirname "$path")
  done
}

given=${1+ $*}
prefix=
build=
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --prefix) [ $# -ge 2 ] || { usage >&2; exit 2; }; prefix=$2; shift ;;
    --prefix=*) prefix=${1#--prefix=} ;;
    -*) usage >&2; exit 2 ;;
    *) [ -z "$build" ] || { usage >&2; exit 2; }; build=$1 ;;
  esac
  shift
done
[ -n "$build" ] || build=$(dirname "$0")/../build/mac

[ "$(uname -s)" = Darwin ] || die "this installs hestled on macOS only"
[ "$(id -u)" -eq 0 ] || die "run it as root: sudo $0$given"

# Everything is found and checked before a running daemon is stopped.
for tool in launchctl plutil stat install chown sudo; do
  command -v "$tool" >/dev/null || die "$tool is missing from $PATH; nothing was changed"
done
built_daemon=$build/daemon/hestled
built_hestle=$build/cli/hestle
built_plist=$build/macos/$label.plist
for file in "$built_daemon" "$built_hestle" "$built_plist" "$build/macos/install.sh" "$build/macos/uninstall.sh"; do
  [ -f "$file" ] || die "no build in $build ($file is missing); build first (see README)"
done
if [ -z "$prefix" ]; then
  daemon=$(plutil -extract ProgramArguments.0 raw -o - "$built_plist")
  case "$daemon" in
    /*/libexec/hestled) prefix=${daemon%/libexec/hestled} ;;
    *) die "the build names an unexpected program path: $daemon" ;;
  esac
fi
case "$prefix" in
  /*) prefix=${prefix%/} ;;
  *) die "the prefix must be an absolute path: $prefix" ;;
esac
daemon=$prefix/libexec/hestled
hestle=$prefix/bin/hestle
scripts=$prefix/share/hestle
root_owned "$(dirname "$daemon")" || exit 1
root_owned "$(dirname "$hestle")" || exit 1
root_owned "$scripts" || exit 1
# Once the old daemon has been stopped, whatever ends this script early starts
# the installed job again, unless the installed program fails its check: an
# upgrade never leaves the Mac without its daemon, nor starts a program that
# someone other than root could have changed.
stopped=no
restart_if_stopped() {
  local status=$?
  [ -z "$job" ] || rm -f "$job"
  if [ "$stopped" = yes ] && [ "$status" -ne 0 ] && [ -f "$plist" ] && ! job_known; then
    if ! root_owned "$daemon" 2>/dev/null; then
      echo "$me: hestled stays stopped: $daemon failed its check; install it again" >&2
    else
      echo "$me: starting the installed hestled again" >&2
      bootstrap_job ||
        echo "$me: that failed too; start it with: sudo launchctl bootstrap system $plist" >&2
    fi
  fi
}
job=
trap restart_if_stopped EXIT
job=$(mktemp /tmp/hestled.plist.XXXXXX)
cp "$built_plist" "$job"
plutil -replace ProgramArguments.0 -string "$daemon" "$job" || die "cannot name $daemon in the job"

if job_known; then
  echo "Stopping the installed hestled (it hands charging and the adapter back)..."
  stopped=yes
  # Status 36 ("Operation now in progress"): the stop goes on after launchctl
  # has returned. launchd says when it is done.
  status=0
  launchctl bootout "system/$label" || status=$?
  wait_until_gone || die "the old hestled did not stop (launchctl bootout: status $status); nothing was replaced"
fi

# Copied by root into fresh files, so that they are root's whatever owns the
# build (a clone on APFS would keep the builder's owner) and a signed program
# is never changed in place.
mkdir -p "$(dirname "$daemon")" "$(dirname "$hestle")" "$scripts"
install -o root -g wheel -m 0755 "$built_daemon" "$daemon"
install -o root -g wheel -m 0755 "$built_hestle" "$hestle"
install -o root -g wheel -m 0755 "$build/macos/install.sh" "$build/macos/uninstall.sh" "$scripts"
install -o root -g wheel -m 0644 "$job" "$plist"
# Older installs had launchd keep standard error in a file for newsyslog.
rm -f "$old_newsyslog_rule"
root_owned "$daemon" || exit 1
root_owned "$hestle" || exit 1
root_owned "$plist" || exit 1

launchctl enable "system/$label"
bootstrap_job || { login_items_hint; die "launchctl could not start hestled"; }

# Start-up takes milliseconds, and a daemon that cannot run on this Mac exits
# at once (launchd does not start it again): it runs when launchd still shows
# the same process two seconds after it appeared.
pid=
steady=0
tries=0
while [ "$steady" -lt 4 ]; do
  tries=$((tries + 1))
  listing=$(launchctl list "$label" 2>/dev/null) || listing=
  now=$(field PID "$listing")
  code=$(field LastExitStatus "$listing")
  if [ -n "$now" ]; then
    if [ "$now" = "$pid" ]; then steady=$((steady + 1)); else pid=$now; steady=0; fi
  elif [ -n "$pid" ] || [ "${code:-0}" != 0 ] || [ "$tries" -gt 20 ]; then
    echo "$me: hestled was installed but does not run (launchd: last exit status ${code:-none})." >&2
    [ -n "$pid" ] || login_items_hint
    echo "Its last lines:" >&2
    run_limited 5 sudo -u nobody "$hestle" log -n 5 >&2 || true
    exit 1
  fi
  sleep 0.5
done
echo "hestled is installed and running (process $pid)."
run_limited 5 sudo -u nobody "$hestle" status || true
