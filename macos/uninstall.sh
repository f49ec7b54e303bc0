#!/bin/bash
# Removes hestled and hestle from this Mac. The daemon is stopped through
# launchd first, so that its clean shutdown hands charging and the adapter
# back; the user's settings stay unless --purge is given. Whether it shut down
# cleanly is asked of launchd, not of a file that any user can write. Every
# removal is tried, whatever came before it; what could not be removed is
# reported at the end.
set -uo pipefail
# The system's own tools, whatever the caller's PATH holds. Written for the
# /bin/bash of macOS (3.2): no "$@" without a check of $#.
PATH=/usr/bin:/bin:/usr/sbin:/sbin
export PATH
umask 022

label=org.hestle.hestled
plist=/Library/LaunchDaemons/$label.plist
newsyslog_rule=/etc/newsyslog.d/$label.conf
data_dir="/Library/Application Support/Hestle"
stderr_log=/Library/Logs/hestled.log
me=$(basename "$0")

usage() {
  echo "Usage: sudo $me [--purge]"
  echo "Stops and removes hestled and hestle. --purge also removes the settings"
  echo "and logs in $data_dir and $stderr_log."
}

die() {
  echo "$me: $1" >&2
  exit 1
}

# The job as launchd lists it: "PID" while it runs, "LastExitStatus" once it
# has ended; `launchctl list LABEL` fails when launchd does not know the job.
job_field() {
  launchctl list "$label" 2>/dev/null | sed -n "s/^[[:space:]]*\"$1\" = \\(-\\{0,1\\}[0-9]*\\);\$/\\1/p" | head -n 1 || true
}

# Waits up to 40 seconds while `condition` holds.
wait_while() {
  local tries=0
  while ${1+"$@"}; do
    tries=$((tries + 1))
    [ "$tries" -le 40 ] || return 1
    sleep 1
  done
}
runs_as() { [ "$(job_field PID)" = "$1" ]; }
job_known() { launchctl list "$label" >/dev/null 2>&1; }

# Removes each path: a link itself, never what it leads to (rm never follows
# one). What is still there afterwards is noted in `leftovers`.
leftovers=()
remove() {
  local path
  for path in ${1+"$@"}; do
    rm -rf -- "$path" 2>/dev/null
    if [ -e "$path" ] || [ -L "$path" ]; then leftovers+=("$path"); fi
  done
}

given=${1+ $*}
purge=no
while [ $# -gt 0 ]; do
  case "$1" in
    --purge) purge=yes ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
  shift
done

[ "$(uname -s)" = Darwin ] || die "this removes hestled from macOS only"
[ "$(id -u)" -eq 0 ] || die "run it as root: sudo $0$given"

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

if job_known; then
  pid=$(job_field PID)
  if [ -n "$pid" ]; then
    echo "Stopping hestled (it hands charging and the adapter back)..."
    launchctl kill SIGTERM "system/$label" || die "launchctl could not stop hestled; nothing was removed"
    wait_while runs_as "$pid" || die "hestled did not stop; nothing was removed"
    # After its clean shutdown the daemon exits 0, and launchd keeps it stopped.
    if [ "$(job_field LastExitStatus)" = 0 ] && [ -z "$(job_field PID)" ]; then
      echo "hestled shut down cleanly: charging and the adapter are back to normal."
    else
      echo "$me: warning: hestled did not confirm its clean shutdown; check that the Mac charges." >&2
    fi
  fi
  # Status 36 ("Operation now in progress"): launchd goes on removing the job
  # after launchctl has returned; it says when it is done.
  status=0
  launchctl bootout "system/$label" || status=$?
  wait_while job_known ||
    die "launchd still knows the hestled job (launchctl bootout: status $status); nothing was removed"
fi

remove "$plist" "$daemon" "$prefix/bin/hestle" "$prefix/share/hestle" "$newsyslog_rule"
if [ "$purge" = yes ]; then
  # Other users may write the data directory: take it from them first, so
  # that nobody can keep adding entries while it is removed.
  if [ -d "$data_dir" ] && [ ! -L "$data_dir" ]; then chmod 0700 "$data_dir" 2>/dev/null; fi
  remove "$data_dir" "$stderr_log" "$stderr_log".[0-9]*
fi

if [ "${#leftovers[@]}" -gt 0 ]; then
  echo "$me: could not remove:" >&2
  for path in "${leftovers[@]}"; do
    # A data directory that is still there with entries in it: they appeared
    # while it was removed, so a process is still inside (a user's, working in
    # a directory of its own there).
    if [ "$path" = "$data_dir" ] && [ -d "$path" ] && [ -n "$(ls -A "$path" 2>/dev/null)" ]; then
      echo "  $path: a process is still inside it, adding entries; end it (or log its user out) and run $me --purge again" >&2
    else
      echo "  $path" >&2
    fi
  done
  exit 1
fi
if [ "$purge" = yes ]; then
  echo "hestled, hestle, the settings and the logs are removed."
else
  echo "hestled and hestle are removed. The settings stay in $data_dir;"
  echo "remove that directory to delete them too."
fi
