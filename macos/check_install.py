#!/usr/bin/env python3
"""Checks of the Mac installation that run anywhere: the launchd job, the
staged install tree, and the scripts' use of launchd (against fake commands).

  check_install.py plist PLIST DAEMON_PATH
  check_install.py identity INFO_PLIST HESTLE VERSION
  check_install.py staged CMAKE BUILD_DIR DAEMON_PATH HESTLE_PATH SCRIPT_DIR
  check_install.py bash32 SCRIPT...
  check_install.py scripts SOURCE_DIR
"""
import concurrent.futures
import os
import plistlib
import re
import stat
import subprocess
import sys
import tempfile

LABEL = "org.hestle.hestled"
PLIST_PATH = "/Library/LaunchDaemons/" + LABEL + ".plist"
DATA_DIR = "/Library/Application Support/Hestle"
NEWSYSLOG_RULE = "/etc/newsyslog.d/" + LABEL + ".conf"

failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)


def check_plist(plist_file, daemon_path):
    with open(plist_file, "rb") as f:
        job = plistlib.load(f)
    expect(job.get("Label") == LABEL, "Label is %r" % job.get("Label"))
    expect(job.get("ProgramArguments") == [daemon_path],
           "ProgramArguments is %r, not [%r]" % (job.get("ProgramArguments"), daemon_path))
    expect("Program" not in job, "Program would override ProgramArguments")
    expect(job.get("RunAtLoad") is True, "RunAtLoad is not true")
    # Restarted after a crash, a kill or a fatal start (status 1), not after
    # exit status 0 (its clean shutdown), and at most every five minutes.
    expect(job.get("KeepAlive") == {"SuccessfulExit": False},
           "KeepAlive is %r, not {SuccessfulExit: false}" % (job.get("KeepAlive"),))
    expect(job.get("ThrottleInterval") == 300, "ThrottleInterval is %r, not 300" % (job.get("ThrottleInterval"),))
    timeout = job.get("ExitTimeOut")
    expect(isinstance(timeout, int) and not isinstance(timeout, bool) and 10 <= timeout <= 120,
           "ExitTimeOut %r is not an explicit 10 to 120 seconds" % (timeout,))
    # launchd would hold a file of standard error open for good, and newsyslog
    # could never trim it: what daemon.log cannot take goes to the unified log.
    expect("StandardErrorPath" not in job and "StandardOutPath" not in job,
           "launchd keeps the daemon's output in a file nothing trims")
    expect(job.get("UserName", "root") == "root", "the job must run as root")
    allowed = {"Label", "ProgramArguments", "RunAtLoad", "KeepAlive", "ThrottleInterval", "ExitTimeOut", "ProcessType"}
    expect(set(job) <= allowed, "unexpected keys %s" % sorted(set(job) - allowed))


def check_identity(info_plist, hestle, version):
    """hestled's Info.plist names it and carries the version hestle prints."""
    with open(info_plist, "rb") as f:
        info = plistlib.load(f)
    expect(info.get("CFBundleIdentifier") == LABEL and info.get("CFBundleExecutable") == "hestled",
           "the Info.plist names %r, %r" % (info.get("CFBundleIdentifier"), info.get("CFBundleExecutable")))
    expect(info.get("CFBundleShortVersionString") == version == info.get("CFBundleVersion"),
           "the Info.plist says version %r, not %r" % (info.get("CFBundleShortVersionString"), version))
    for args, out in ((["--version"], "hestle %s\n" % version), ([], "Usage: hestle [--data-dir DIR] COMMAND"),
                      (["help", "status"], "Usage: hestle status"), (["help", "limit"], "Usage: hestle limit"),
                      (["help", "calibrate"], "Usage: hestle calibrate"), (["help", "log"], "Usage: hestle log")):
        run = subprocess.run([hestle] + args, capture_output=True, text=True)
        expect(run.returncode == 0 and run.stderr == "" and run.stdout.startswith(out),
               "hestle %s: %r" % (" ".join(args), run))


def check_staged(cmake, build_dir, daemon_path, hestle_path, script_dir):
    with tempfile.TemporaryDirectory() as root:
        env = dict(os.environ, DESTDIR=root)
        run = subprocess.run([cmake, "--install", build_dir], env=env,
                             capture_output=True, text=True)
        expect(run.returncode == 0, "cmake --install failed: " + run.stderr)
        staged = {}
        for folder, _, files in os.walk(root):
            for name in files:
                path = os.path.join(folder, name)
                staged["/" + os.path.relpath(path, root)] = stat.S_IMODE(os.lstat(path).st_mode)
        expected = {PLIST_PATH: 0o644, daemon_path: 0o755, hestle_path: 0o755,
                    script_dir + "/install.sh": 0o755, script_dir + "/uninstall.sh": 0o755}
        expect(set(staged) == set(expected),
               "staged %s, expected %s" % (sorted(staged), sorted(expected)))
        for path, mode in expected.items():
            if path in staged:
                expect(staged[path] == mode, "%s has mode %o, not %o" % (path, staged[path], mode))
        if PLIST_PATH in staged:
            with open(root + PLIST_PATH, "rb") as f:
                program = plistlib.load(f).get("ProgramArguments", [""])[0]
            expect(program in staged, "the staged job names %r, which was not installed" % program)


# ---- The scripts: what runs differently in the /bin/bash of macOS (3.2) ----------
# bash 3.2 cannot run here, so its differences are rejected in the text: under
# `set -u` it calls "$@" and $* unbound when there are no arguments, and it
# has none of the later features below.
BASH4_ONLY = [
    (r'"\$@"|\$\*|\$\{[@*]\}', "\"$@\" or $* unguarded (unbound without arguments: check $# or use ${1+...})"),
    (r"\b(declare|local|typeset)\s+-\w*A", "an associative array"),
    (r"\$\{\w+(\[[^]]*\])?(,,?|\^\^?)\}", "a change of case in an expansion"),
    (r"\b(mapfile|readarray)\b", "mapfile or readarray"),
    (r"\|&", "|&"),
    (r"&>>", "&>>"),
]


def check_bash32(script):
    for number, line in enumerate(open(script), 1):
        code = "" if line.lstrip().startswith("#") else line.split(" #", 1)[0]
        code = re.sub(r"\$\{1\+[^}]*\}", "", code)  # ${1+"$@"}: expands only when there are arguments
        for pattern, what in BASH4_ONLY:
            if re.search(pattern, code) and not (what.startswith('"$@"') and "$#" in code):
                expect(False, "%s:%d: %s, which bash 3.2 runs differently: %s" % (script, number, what, line.strip()))


# ---- The scripts against fake commands, in a scratch root ---------------------------
# Each run moves the scripts' absolute paths under a scratch root that the user
# "nobody" can reach, with fakes for the commands of macOS on the fixed PATH
# the script sets. The fake launchctl keeps what `launchctl list` shows of the
# job in the file "job"; like launchd on macOS 26, a bootout may return 36
# while the job is still going away, and a bootstrap that comes too soon after
# it is refused with 37.

NOBODY = 65534
ADMIN = 501  # who built hestle: owns the build tree
RUNNING = '"PID" = 1000;'
PROGRAMS = ["/usr/local/libexec/hestled", "/usr/local/bin/hestle"]
INSTALLED = [PLIST_PATH] + PROGRAMS + ["/usr/local/share/hestle"]
BUILD = "{root}/src/build/mac"
VICTIM = "/outside/secret"
SYSTEM_PATH = "PATH=/usr/bin:/bin:/usr/sbin:/sbin"
PLUTIL = """import plistlib, sys
a = sys.argv[1:]
job = plistlib.load(open(a[-1], "rb"))
if a[0] == "-extract": print(job["ProgramArguments"][0])
else: job["ProgramArguments"][0] = a[3]; plistlib.dump(job, open(a[-1], "wb"))"""
FAKES = {
    "uname": 'echo Darwin',
    "id": 'echo "${FAKE_UID:-0}"',
    "plutil": 'log "$@"; exec %s -c \'%s\' "$@"' % (sys.executable, PLUTIL),
    # BSD's stat -f; FAKE_STAT stands for every path, and outside the scratch
    # root everything is root's.
    "stat": """[ -z "${FAKE_STAT:-}" ] || { echo "$FAKE_STAT"; exit; }
[ "$1 $2" = "-f %u %Lp" ] || exit 2
case "$3" in "$FAKE_ROOT"/*) exec /usr/bin/stat -c '%u %a' "$3" ;; *) echo "0 755" ;; esac""",
    # BSD's install -o -g -m, into fresh files. Without -o a copy keeps the
    # owner of its source, as a clone on APFS does; FAKE_HESTLED_OWNER makes
    # even a copy of hestled given -o come out that user's.
    "install": """log "$@"
[ -z "${FAKE_INSTALL_FAILS:-}" ] || exit 71
owner=; mode=0755
while getopts o:g:m: option; do case $option in o) owner=$OPTARG ;; m) mode=$OPTARG ;; esac; done
shift $((OPTIND - 1))
/usr/bin/install -m "$mode" "$@" || exit
target=${!#}
for source in "${@:1:$#-1}"; do
  copy=$target; [ ! -d "$target" ] || copy=$target/$(basename "$source")
  user=0; [ -n "$owner" ] || user=$(/usr/bin/stat -c %u "$source")
  [ "${copy##*/}" != hestled ] || user=${FAKE_HESTLED_OWNER:-$user}
  /bin/chown "$user" "$copy"
done""",
    "sleep": 'log "$@"; /bin/sleep "$(awk "BEGIN { print $1 / 100 }")"',  # a hundred times faster
    "chmod": 'log "$@"; /bin/chmod "$@" 2>/dev/null; exit 0',
    "rm": 'log "$@"; for a; do [ "$a" != "${FAKE_RM_REFUSES:-}" ] || exit 1; done; exec /bin/rm "$@"',
    "launchctl": r"""log "$@"
job=$FAKE_DIR/job
asked() { grep -c "^launchctl $1" "$FAKE_DIR/calls"; }
case "$1" in
  list) [ -e "$job" ] || exit 113
        if [ -e "$FAKE_DIR/going" ] && [ "$(asked list)" -gt "$(cat "$FAKE_DIR/going")" ]; then
          /bin/rm -f "$job" "$FAKE_DIR/going"; exit 113
        fi
        printf '{\n\t"Label" = "%s";\n' "$2"; sed 's/^/\t/' "$job"; echo '};' ;;
  bootstrap) [ ! -e "$job" ] || exit 37
             [ "$(asked bootstrap)" -gt "${FAKE_BOOTSTRAP_REFUSALS:-0}" ] || exit 37
             printf '%s\n' "${FAKE_STARTED-\"PID\" = 4242;}" > "$job" ;;
  kill) [ -z "${FAKE_KILL_FAILS:-}" ] || exit 5
        printf '"LastExitStatus" = %s;\n' "${FAKE_TERM_EXIT:-0}" > "$job" ;;
  bootout) [ -z "${FAKE_BOOTOUT_FAILS:-}" ] || exit 5
           # In progress: launchd still lists the job for three more questions.
           if [ -n "${FAKE_BOOTOUT_GOES_ON:-}" ]; then echo $(($(asked list) + 3)) > "$FAKE_DIR/going"; exit 36; fi
           /bin/rm -f "$job" ;;
  enable) ;;
  *) exit 64 ;;
esac""",
}
LOGGED = ["chown", "sudo"]


def make_fakes(folder, missing):
    bin_dir = os.path.join(folder, "bin")
    os.mkdir(bin_dir)
    for name in set(FAKES).union(LOGGED) - {missing}:
        body = FAKES.get(name, 'log "$@"')
        with open(os.path.join(bin_dir, name), "w") as f:
            f.write('#!/bin/bash\nlog() { echo "%s $*" >> "$FAKE_DIR/calls"; }\n%s\n' % (name, body))
        os.chmod(os.path.join(bin_dir, name), 0o755)
    return bin_dir


def racing_user(data, victim):
    """A process of nobody's that keeps planting links to root's file, FIFOs,
    directories and files at the daemon's names until it is killed."""
    pid = os.fork()
    if pid == 0:
        try:
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            plants = [lambda p: os.symlink(victim, p), os.mkfifo, os.mkdir, lambda p: open(p, "w").close()]
            for i in range(10 ** 9):
                path = os.path.join(data, ["status.json", "config.json", "daemon.log", "x%d" % (i % 64)][i % 4])
                for undo in (os.unlink, os.rmdir, lambda p: None):
                    try:
                        undo(path)
                        break
                    except OSError:
                        pass
                try:
                    plants[i % 7 % 4](path)
                except OSError:
                    pass
        finally:
            os._exit(0)
    return pid


def write(path, text, mode=0o644, owner=0):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)
    os.chown(path, owner, owner)


def job_plist(program):
    return plistlib.dumps({"Label": LABEL, "ProgramArguments": [program], "RunAtLoad": True}).decode()


class Tree:
    """The scratch root as a row's check sees it, by the scripts' own paths."""
    def __init__(self, root):
        self.root = root

    def has(self, path):
        return os.path.lexists(self.root + path)

    def owner_mode(self, path):
        st = os.lstat(self.root + path)
        return st.st_uid, stat.S_IMODE(st.st_mode)

    def read(self, path):
        return open(self.root + path).read()

    def new_programs(self, prefix="/usr/local"):
        """The build's programs, copied as root's with mode 0755."""
        paths = [prefix + p[len("/usr/local"):] for p in PROGRAMS]
        return all(self.read(p) == "new " + os.path.basename(p) and self.owner_mode(p) == (0, 0o755) for p in paths)

    def job_names(self, program):
        return plistlib.loads(self.read(PLIST_PATH).encode())["ProgramArguments"] == [self.root + program]


def user_inside(data, victim):
    """A process of nobody's that makes a directory of its own in the data
    directory and keeps adding files to it from inside until it is killed."""
    pid = os.fork()
    if pid == 0:
        try:
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            os.mkdir(data + "/inside")
            os.chdir(data + "/inside")
            for i in range(10 ** 9):
                try:
                    open("f%d" % (i % 1000), "w").close()
                except OSError:
                    pass
        finally:
            os._exit(0)
    return pid


def run_script(script, args, job, env, plant, race, check):
    """Runs the script; returns whether `check(run, calls, tree)` and the
    victim's being intact both hold, and a description of the run."""
    root = tempfile.mkdtemp(dir="/tmp")
    try:
        os.chmod(root, 0o755)
        for folder in ("/Library/LaunchDaemons", "/Library/Logs", "/usr/local/share/hestle", "/outside", DATA_DIR,
                       "/fake", "/src/macos"):
            os.makedirs(root + folder)
        os.chmod(root + DATA_DIR, 0o777)
        for path in PROGRAMS[:1] + ["/usr/local/share/hestle/uninstall.sh", "/Library/Logs/hestled.log",
                                    NEWSYSLOG_RULE, VICTIM, DATA_DIR + "/config.json"]:
            write(root + path, "root's")
        write(root + PLIST_PATH, job_plist(root + PROGRAMS[0]))
        os.chmod(root + VICTIM, 0o600)
        # hestle says when it runs (as root: sudo is a fake)
        write(root + PROGRAMS[1], '#!/bin/bash\necho "hestle $*" >> "$FAKE_DIR/calls"\n', 0o755)
        build = BUILD.format(root=root)
        for name in ("daemon/hestled", "cli/hestle", "macos/install.sh", "macos/uninstall.sh"):
            write(build + "/" + name, "new " + os.path.basename(name), 0o755, ADMIN)
        write(build + "/macos/" + LABEL + ".plist", job_plist(root + PROGRAMS[0]), 0o644, ADMIN)
        fake = root + "/fake"
        env = {k: v.format(root=root) for k, v in env.items()}
        bin_dir = make_fakes(fake, env.pop("MISSING", None))
        plant(root)
        if job:
            with open(fake + "/job", "w") as f:
                f.write(job + "\n")
        text = open(script).read()
        text = text.replace(SYSTEM_PATH, "PATH=" + bin_dir + ":" + SYSTEM_PATH[5:])
        for prefix in ("/Library/", "/etc/newsyslog.d", "/usr/local/"):
            text = text.replace(prefix, root + prefix)
        copy = root + "/src/macos/" + os.path.basename(script)
        write(copy, text, 0o755)
        umask = int(env.pop("UMASK", "022"), 8)
        env = dict(os.environ, **dict({"PATH": bin_dir + ":/usr/bin:/bin", "FAKE_DIR": fake, "FAKE_ROOT": root}, **env))
        racer = race(root + DATA_DIR, root + VICTIM) if race else None
        try:
            run = subprocess.run(["bash", copy] + [a.format(root=root) for a in args], env=env, capture_output=True,
                                 text=True, timeout=60, umask=umask)
        finally:
            if racer:
                os.kill(racer, 9)
                os.waitpid(racer, 0)
        calls_file = fake + "/calls"
        calls = open(calls_file).read().splitlines() if os.path.exists(calls_file) else []
        intact = open(root + VICTIM).read() == "root's" and stat.S_IMODE(os.stat(root + VICTIM).st_mode) == 0o600
        try:
            passed = check(run, calls, Tree(root)) and intact
        except (OSError, KeyError, ValueError):
            passed = False
        return passed, calls, "status %d, victim %s\n%s%s%s" % (
            run.returncode, "intact" if intact else "CHANGED", run.stdout, run.stderr, calls)
    finally:
        subprocess.run(["/bin/rm", "-rf", root])


def index_of(calls, prefix):
    for i, call in enumerate(calls):
        if call.startswith(prefix):
            return i
    return -1


def in_order(calls, *prefixes):
    order = [index_of(calls, p) for p in prefixes]
    return all(i >= 0 for i in order) and order == sorted(order)


def nothing(root):
    pass


def hostile(root):
    """What a user can put in the data directory: a directory at status.json,
    a FIFO at config.json, a link to root's file at daemon.log."""
    data = root + DATA_DIR
    os.mkdir(data + "/status.json")
    os.unlink(data + "/config.json")
    os.mkfifo(data + "/config.json")
    os.symlink(root + VICTIM, data + "/daemon.log")


def forged(running):
    def plant(root):
        with open(root + DATA_DIR + "/status.json", "w") as f:
            f.write('{"daemonRunning":%s,"chargingInhibited":false,"calibrationActive":false,'
                    '"batteryPercent":0,"lastUpdate":2e9}' % ("true" if running else "false"))
    return plant


def fresh_mac(root):
    """Apple silicon out of the box: no /usr/local/bin, no /usr/local/libexec."""
    subprocess.run(["/bin/rm", "-rf", root + "/usr/local", root + PLIST_PATH], check=True)


def admin_path(root):
    """An admin's PATH, which sudo keeps: Homebrew's GNU stat first, no cmake."""
    os.mkdir(root + "/homebrew")
    os.symlink("/usr/bin/stat", root + "/homebrew/stat")


def check_scripts(source_dir):
    uninstall = os.path.join(source_dir, "uninstall.sh")
    install = os.path.join(source_dir, "install.sh")
    for script in (install, uninstall):
        expect(SYSTEM_PATH in open(script).read(), script + " does not set its PATH")
    bootout = "launchctl bootout system/" + LABEL
    bootstrap = "launchctl bootstrap system "
    copy = "install -o root -g wheel -m 0755"
    upgraded = lambda r, calls, t: (r.returncode == 0 and "installed and running (process 4242)" in r.stdout
                                    and t.new_programs() and t.owner_mode(PLIST_PATH) == (0, 0o644))
    unchanged = lambda r, calls, t: r.returncode == 1 and not calls and t.read(PROGRAMS[0]) == "root's"
    rows = [
        ("uninstall stops the daemon through launchd, then removes the install and keeps the settings",
         uninstall, [], RUNNING, {}, nothing, False,
         lambda r, calls, t: r.returncode == 0 and "shut down cleanly" in r.stdout
         and in_order(calls, "launchctl kill SIGTERM system/" + LABEL, bootout, "rm ")
         and not any(map(t.has, INSTALLED + [NEWSYSLOG_RULE])) and t.has(DATA_DIR + "/config.json")),
        ("uninstall waits for a bootout that goes on after launchctl returned 36",
         uninstall, [], RUNNING, {"FAKE_BOOTOUT_GOES_ON": "1"}, nothing, False,
         lambda r, calls, t: r.returncode == 0 and not any(map(t.has, INSTALLED))),
        ("a status file that says 'stopped' does not vouch for an unclean end",
         uninstall, [], RUNNING, {"FAKE_TERM_EXIT": "256"}, forged(False), False,
         lambda r, calls, t: r.returncode == 0 and "did not confirm its clean shutdown" in r.stderr),
        ("a stop that launchd refuses leaves everything in place",
         uninstall, [], RUNNING, {"FAKE_KILL_FAILS": "1"}, nothing, False,
         lambda r, calls, t: r.returncode == 1 and all(map(t.has, INSTALLED)) and index_of(calls, "rm ") < 0
         and "launchctl could not stop hestled; nothing was removed" in r.stderr),
        ("a job that is not loaded is not stopped", uninstall, [], None, {}, nothing, False,
         lambda r, calls, t: r.returncode == 0 and index_of(calls, "launchctl kill") < 0
         and index_of(calls, bootout) < 0 and not any(map(t.has, INSTALLED))),
        ("uninstall as a user does nothing and says how to run it", uninstall, [], RUNNING, {"FAKE_UID": "501"},
         nothing, False, lambda r, calls, t: unchanged(r, calls, t) and "run it as root: sudo " in r.stderr),
        ("uninstall with a bad option does nothing", uninstall, ["--bogus"], RUNNING, {}, nothing, False,
         lambda r, calls, t: r.returncode == 2 and not calls),
        ("--purge finishes under a user who keeps planting entries, and follows no link",
         uninstall, ["--purge"], RUNNING, {}, hostile, racing_user,
         lambda r, calls, t: r.returncode == 0 and not t.has(DATA_DIR) and not t.has("/Library/Logs/hestled.log")
         and not any(map(t.has, INSTALLED))),
        ("--purge says why the data directory stays while a user's process inside keeps filling it",
         uninstall, ["--purge"], RUNNING, {}, nothing, user_inside,
         lambda r, calls, t: not any(map(t.has, INSTALLED)) and (r.returncode == 0 and not t.has(DATA_DIR) or
         r.returncode == 1 and DATA_DIR + ": a process is still inside it" in r.stderr)),
        ("--purge goes on past a removal that fails, and names it",
         uninstall, ["--purge"], RUNNING, {"FAKE_RM_REFUSES": "{root}" + PROGRAMS[0]}, nothing, False,
         lambda r, calls, t: r.returncode == 1 and "could not remove" in r.stderr
         and PROGRAMS[0] in r.stderr and not t.has(DATA_DIR) and not t.has(PLIST_PATH)),
        ("an upgrade stops, replaces and starts, whatever a user planted in the data directory",
         install, [BUILD], RUNNING, {}, hostile, False,
         lambda r, calls, t: upgraded(r, calls, t) and not t.has(NEWSYSLOG_RULE)
         and in_order(calls, bootout, copy, bootstrap, "sudo -u nobody ")),
        ("the programs are copied as root's, not cloned with the builder's owner",
         install, [BUILD], None, {}, nothing, False, upgraded),
        ("a copy that fails its check is not started, and neither is the old daemon",
         install, [BUILD], RUNNING, {"FAKE_HESTLED_OWNER": "501"}, nothing, False,
         lambda r, calls, t: r.returncode == 1 and "is not owned by root" in r.stderr
         and index_of(calls, bootstrap) < 0 and "stays stopped" in r.stderr),
        ("an upgrade waits for a bootout that goes on after launchctl returned 36",
         install, [BUILD], RUNNING, {"FAKE_BOOTOUT_GOES_ON": "1"}, nothing, False, upgraded),
        ("a bootstrap refused while launchd cleans up is tried again",
         install, [BUILD], RUNNING, {"FAKE_BOOTSTRAP_REFUSALS": "6"}, nothing, False, upgraded),
        ("the default build directory is build/mac, under the admin's PATH with GNU stat and no cmake",
         install, [], RUNNING, {"PATH": "{root}/homebrew:/usr/bin:/bin"}, admin_path, False, upgraded),
        ("on a fresh Mac the program directories are made, root's, whatever the umask",
         install, [BUILD], None, {"UMASK": "002"}, fresh_mac, False,
         lambda r, calls, t: upgraded(r, calls, t) and t.owner_mode("/usr/local/bin") == (0, 0o755)
         and t.owner_mode("/usr/local/libexec") == (0, 0o755)),
        ("--prefix installs elsewhere, and the job names the program there",
         install, ["--prefix", "{root}/opt/hestle", BUILD], None, {}, nothing, False,
         lambda r, calls, t: r.returncode == 0 and t.new_programs("/opt/hestle")
         and t.job_names("/opt/hestle/libexec/hestled")),
        ("a daemon that does not stay up fails the install, whatever status.json claims",
         install, [BUILD], RUNNING, {"FAKE_STARTED": '"LastExitStatus" = 256;'}, forged(True),
         False, lambda r, calls, t: r.returncode == 1 and "does not run" in r.stderr
         and "sudo -u nobody" in "\n".join(calls) and "installed and running" not in r.stdout),
        ("a job that launchd never runs points at Login Items",
         install, [BUILD], None, {"FAKE_STARTED": ""}, nothing, False,
         lambda r, calls, t: r.returncode == 1 and "Login Items" in r.stderr),
        ("a step that fails after the stop starts the installed job again",
         install, [BUILD], RUNNING, {"FAKE_INSTALL_FAILS": "1"}, nothing, False,
         lambda r, calls, t: r.returncode != 0 and in_order(calls, bootout, "install ", bootstrap)),
        ("a missing tool is found before anything is stopped", install, [BUILD], RUNNING, {"MISSING": "launchctl"},
         nothing, False, unchanged),
        ("install refuses program directories of another user", install, [BUILD], None,
         {"FAKE_STAT": "501 755"}, nothing, False, lambda r, calls, t: r.returncode == 1 and index_of(calls, copy) < 0),
        ("install refuses group-writable program directories", install, [BUILD], None,
         {"FAKE_STAT": "0 775"}, nothing, False, lambda r, calls, t: r.returncode == 1 and index_of(calls, copy) < 0),
        ("install without a build does nothing", install, ["/nonexistent"], RUNNING, {}, nothing, False, unchanged),
        ("install as a user does nothing and says how to run it", install, [BUILD], RUNNING, {"FAKE_UID": "501"},
         nothing, False, lambda r, calls, t: unchanged(r, calls, t) and "run it as root: sudo " in r.stderr),
    ]
    # The rows run side by side, each in its own scratch root; a row with the
    # racing user forks it, which is done with no other thread running.
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        runs = dict(zip(range(len(rows)), pool.map(lambda row: None if row[6] else run_script(*row[1:]), rows)))
    runs.update({i: run_script(*row[1:]) for i, row in enumerate(rows) if row[6]})
    for (name, *_), (passed, calls, description) in zip(rows, (runs[i] for i in range(len(rows)))):
        expect(passed, name + ": " + description)
        expect(index_of(calls, "hestle ") < 0, name + ": hestle ran as root")
        expect(index_of(calls, "launchctl print") < 0, name + ": parsed `launchctl print`, which is no interface")


def main(argv):
    mode = argv[1] if len(argv) > 1 else ""
    if mode == "plist" and len(argv) == 4:
        check_plist(argv[2], argv[3])
    elif mode == "identity" and len(argv) == 5:
        check_identity(*argv[2:])
    elif mode == "staged" and len(argv) == 7:
        check_staged(*argv[2:])
    elif mode == "bash32" and len(argv) > 2:
        for script in argv[2:]:
            check_bash32(script)
    elif mode == "scripts" and len(argv) == 3:
        check_scripts(argv[2])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for failure in failures:
        print("FAILED: " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
