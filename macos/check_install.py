#!/usr/bin/env python3
"""Checks of the Mac installation that run anywhere: the launchd job, the
staged install tree, and the scripts' use of launchd (against fake commands).

  check_install.py plist PLIST DAEMON_PATH NEWSYSLOG_RULE
  check_install.py staged CMAKE BUILD_DIR DAEMON_PATH HESTLE_PATH SCRIPT_DIR
  check_install.py scripts SOURCE_DIR
"""
import os
import plistlib
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


def check_plist(plist_file, daemon_path, newsyslog_rule):
    with open(plist_file, "rb") as f:
        job = plistlib.load(f)
    expect(job.get("Label") == LABEL, "Label is %r" % job.get("Label"))
    expect(job.get("ProgramArguments") == [daemon_path],
           "ProgramArguments is %r, not [%r]" % (job.get("ProgramArguments"), daemon_path))
    expect("Program" not in job, "Program would override ProgramArguments")
    expect(job.get("RunAtLoad") is True, "RunAtLoad is not true")
    # Restarted after a crash or a kill, not after exit status 0 (its clean
    # shutdown, and the fatal start on a Mac without the SMC).
    expect(job.get("KeepAlive") == {"SuccessfulExit": False},
           "KeepAlive is %r, not {SuccessfulExit: false}" % (job.get("KeepAlive"),))
    timeout = job.get("ExitTimeOut")
    expect(isinstance(timeout, int) and not isinstance(timeout, bool) and 10 <= timeout <= 120,
           "ExitTimeOut %r is not an explicit 10 to 120 seconds" % (timeout,))
    log = job.get("StandardErrorPath", "")
    expect(log.startswith("/Library/Logs/") and log.endswith(".log"),
           "StandardErrorPath %r is not a log under /Library/Logs" % log)
    expect(job.get("UserName", "root") == "root", "the job must run as root")
    allowed = {"Label", "ProgramArguments", "RunAtLoad", "KeepAlive", "ExitTimeOut",
               "StandardErrorPath", "ProcessType"}
    expect(set(job) <= allowed, "unexpected keys %s" % sorted(set(job) - allowed))
    rules = [line.split() for line in open(newsyslog_rule) if line.strip() and not line.startswith("#")]
    expect(len(rules) == 1 and rules[0][0] == log and rules[0][1:4] == ["root:wheel", "644", "3"]
           and 0 < int(rules[0][4]) <= 4096, "the newsyslog rule does not trim %s: %s" % (log, rules))


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
        expected = {PLIST_PATH: 0o644, NEWSYSLOG_RULE: 0o644, daemon_path: 0o755, hestle_path: 0o755,
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


# ---- The scripts against fake commands, in a scratch root -------------------------
# Each run moves the scripts' absolute paths under a scratch root that the user
# "nobody" can reach, with fakes for the commands of macOS. The fake launchctl
# keeps what `launchctl print` shows of the job in the file "job".

NOBODY = 65534
RUNNING = "state = running\npid = 1000"
INSTALLED = [PLIST_PATH, NEWSYSLOG_RULE, "/usr/local/libexec/hestled", "/usr/local/bin/hestle",
             "/usr/local/share/hestle"]
VICTIM = "/outside/secret"
FAKES = {
    "uname": 'echo Darwin',
    "id": 'echo "${FAKE_UID:-0}"',
    "plutil": 'log "$@"; echo "$FAKE_ROOT/usr/local/libexec/hestled"',
    "stat": 'echo "${FAKE_STAT:-0 755}"',
    "cmake": 'log "$@"; [ -z "${FAKE_CMAKE_FAILS:-}" ]',
    "sleep": 'log "$@"; /bin/sleep "$(awk "BEGIN { print $1 / 100 }")"',  # a hundred times faster
    "chmod": 'log "$@"; /bin/chmod "$@" 2>/dev/null; exit 0',
    "rm": 'log "$@"; for a; do [ "$a" != "${FAKE_RM_REFUSES:-}" ] || exit 1; done; exec /bin/rm "$@"',
    "launchctl": '''log "$@"
case "$1" in
  print) [ -e "$FAKE_DIR/job" ] && cat "$FAKE_DIR/job" ;;
  bootstrap) printf '%s\\n' "${FAKE_STARTED:-state = running
pid = 4242}" > "$FAKE_DIR/job" ;;
  kill) [ -z "${FAKE_KILL_FAILS:-}" ] || exit 5
        printf 'state = not running\\nlast exit code = %s\\n' "${FAKE_TERM_EXIT:-0}" > "$FAKE_DIR/job" ;;
  bootout) [ -z "${FAKE_BOOTOUT_FAILS:-}" ] || exit 5; /bin/rm -f "$FAKE_DIR/job" ;;
esac''',
}
LOGGED = ["chown", "sudo"]


def make_fakes(folder):
    bin_dir = os.path.join(folder, "bin")
    os.mkdir(bin_dir)
    for name in list(FAKES) + LOGGED:
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
    """Runs the script; returns whether `check(run, calls, has)` and the
    victim's being intact both hold, and a description of the run."""
    root = tempfile.mkdtemp(dir="/tmp")
    try:
        os.chmod(root, 0o755)
        for folder in ("/Library/LaunchDaemons", "/Library/Logs", "/etc/newsyslog.d", "/usr/local/libexec",
                       "/usr/local/bin", "/usr/local/share/hestle", "/outside", DATA_DIR, "/fake"):
            os.makedirs(root + folder)
        os.chmod(root + DATA_DIR, 0o777)
        for path in INSTALLED[:-1] + ["/usr/local/share/hestle/uninstall.sh", "/Library/Logs/hestled.log",
                                      VICTIM, DATA_DIR + "/config.json"]:
            with open(root + path, "w") as f:
                f.write("root's")
        os.chmod(root + VICTIM, 0o600)
        with open(root + "/usr/local/bin/hestle", "w") as f:  # says when it runs (as root: sudo is a fake)
            f.write('#!/bin/bash\necho "hestle $*" >> "$FAKE_DIR/calls"\n')
        os.chmod(root + "/usr/local/bin/hestle", 0o755)
        plant(root + DATA_DIR, root + VICTIM)
        fake = root + "/fake"
        bin_dir = make_fakes(fake)
        if job:
            with open(fake + "/job", "w") as f:
                f.write(job + "\n")
        text = open(script).read()
        for prefix in ("/Library/", "/etc/newsyslog.d", "/usr/local/"):
            text = text.replace(prefix, root + prefix)
        with open(fake + "/script.sh", "w") as f:
            f.write(text)
        env = {k: v.format(root=root) for k, v in env.items()}
        env = dict(os.environ, PATH=bin_dir + ":/usr/bin:/bin", FAKE_DIR=fake, FAKE_ROOT=root, **env)
        racer = race(root + DATA_DIR, root + VICTIM) if race else None
        try:
            run = subprocess.run(["bash", fake + "/script.sh"] + args, env=env, capture_output=True, text=True,
                                 timeout=60)
        finally:
            if racer:
                os.kill(racer, 9)
                os.waitpid(racer, 0)
        calls_file = fake + "/calls"
        calls = open(calls_file).read().splitlines() if os.path.exists(calls_file) else []
        intact = open(root + VICTIM).read() == "root's" and stat.S_IMODE(os.stat(root + VICTIM).st_mode) == 0o600
        passed = check(run, calls, lambda path: os.path.lexists(root + path)) and intact
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


def nothing(data, victim):
    pass


def hostile(data, victim):
    """What a user can put in the data directory: a directory at status.json,
    a FIFO at config.json, a link to root's file at daemon.log."""
    os.mkdir(data + "/status.json")
    os.unlink(data + "/config.json")
    os.mkfifo(data + "/config.json")
    os.symlink(victim, data + "/daemon.log")


def forged(running):
    def plant(data, victim):
        with open(data + "/status.json", "w") as f:
            f.write('{"daemonRunning":%s,"chargingInhibited":false,"calibrationActive":false,'
                    '"batteryPercent":0,"lastUpdate":2e9}' % ("true" if running else "false"))
    return plant


def check_scripts(source_dir):
    uninstall = os.path.join(source_dir, "uninstall.sh")
    install = os.path.join(source_dir, "install.sh")
    bootout = "launchctl bootout system/" + LABEL
    bootstrap = "launchctl bootstrap system "
    with tempfile.TemporaryDirectory() as build:
        os.mkdir(os.path.join(build, "macos"))
        open(os.path.join(build, "cmake_install.cmake"), "w").close()
        rows = [
            ("uninstall stops the daemon through launchd, then removes the install and keeps the settings",
             uninstall, [], RUNNING, {}, nothing, False,
             lambda r, calls, has: r.returncode == 0 and "shut down cleanly" in r.stdout
             and in_order(calls, "launchctl kill SIGTERM system/" + LABEL, bootout, "rm ")
             and not any(map(has, INSTALLED)) and has(DATA_DIR + "/config.json")),
            ("a status file that says 'stopped' does not vouch for an unclean end",
             uninstall, [], RUNNING, {"FAKE_TERM_EXIT": "1"}, forged(False), False,
             lambda r, calls, has: r.returncode == 0 and "did not confirm its clean shutdown" in r.stderr),
            ("a stop that launchd refuses leaves everything in place",
             uninstall, [], RUNNING, {"FAKE_KILL_FAILS": "1"}, nothing, False,
             lambda r, calls, has: r.returncode == 1 and all(map(has, INSTALLED)) and index_of(calls, "rm ") < 0
             and "launchctl could not stop hestled; nothing was removed" in r.stderr),
            ("a job that is not loaded is not stopped", uninstall, [], None, {}, nothing, False,
             lambda r, calls, has: r.returncode == 0 and index_of(calls, "launchctl kill") < 0
             and index_of(calls, bootout) < 0 and not any(map(has, INSTALLED))),
            ("uninstall as a user does nothing", uninstall, [], RUNNING, {"FAKE_UID": "501"}, nothing, False,
             lambda r, calls, has: r.returncode == 1 and not calls),
            ("uninstall with a bad option does nothing", uninstall, ["--bogus"], RUNNING, {}, nothing, False,
             lambda r, calls, has: r.returncode == 2 and not calls),
            ("--purge finishes under a user who keeps planting entries, and follows no link",
             uninstall, ["--purge"], RUNNING, {}, hostile, racing_user,
             lambda r, calls, has: r.returncode == 0 and not has(DATA_DIR) and not has("/Library/Logs/hestled.log")
             and not any(map(has, INSTALLED))),
            ("--purge says why the data directory stays while a user's process inside keeps filling it",
             uninstall, ["--purge"], RUNNING, {}, nothing, user_inside,
             lambda r, calls, has: not any(map(has, INSTALLED)) and (r.returncode == 0 and not has(DATA_DIR) or
             r.returncode == 1 and DATA_DIR + ": a process is still inside it" in r.stderr)),
            ("--purge goes on past a removal that fails, and names it",
             uninstall, ["--purge"], RUNNING, {"FAKE_RM_REFUSES": "{root}/usr/local/libexec/hestled"}, nothing, False,
             lambda r, calls, has: r.returncode == 1 and "could not remove" in r.stderr
             and "/usr/local/libexec/hestled" in r.stderr and not has(DATA_DIR) and not has(PLIST_PATH)),
            ("an upgrade stops, replaces and starts, whatever a user planted in the data directory",
             install, [build], RUNNING, {}, hostile, False,
             lambda r, calls, has: r.returncode == 0 and "installed and running (process 4242)" in r.stdout
             and in_order(calls, bootout, "cmake --install " + build, "chown root:wheel", bootstrap,
                          "sudo -u nobody ")),
            ("a daemon that does not stay up fails the install, whatever status.json claims",
             install, [build], RUNNING, {"FAKE_STARTED": "state = not running\nlast exit code = 0"}, forged(True),
             False, lambda r, calls, has: r.returncode == 1 and "does not run" in r.stderr
             and "sudo -u nobody" in "\n".join(calls) and "installed and running" not in r.stdout),
            ("a step that fails after the stop starts the installed job again",
             install, [build], RUNNING, {"FAKE_CMAKE_FAILS": "1"}, nothing, False,
             lambda r, calls, has: r.returncode != 0 and in_order(calls, bootout, "cmake --install", bootstrap)),
            ("a fresh install has nothing to stop", install, [build], None, {}, nothing, False,
             lambda r, calls, has: r.returncode == 0 and index_of(calls, "launchctl bootout") < 0),
            ("install refuses program directories of another user", install, [build], None,
             {"FAKE_STAT": "501 755"}, nothing, False,
             lambda r, calls, has: r.returncode == 1 and index_of(calls, "cmake --install") < 0),
            ("install refuses group-writable program directories", install, [build], None,
             {"FAKE_STAT": "0 775"}, nothing, False,
             lambda r, calls, has: r.returncode == 1 and index_of(calls, "cmake --install") < 0),
            ("install without a build does nothing", install, ["/nonexistent"], RUNNING, {}, nothing, False,
             lambda r, calls, has: r.returncode == 1 and not calls),
        ]
        for name, script, args, job, env, plant, race, check in rows:
            passed, calls, description = run_script(script, args, job, env, plant, race, check)
            expect(passed, name + ": " + description)
            expect(index_of(calls, "hestle ") < 0, name + ": hestle ran as root")


def main(argv):
    mode = argv[1] if len(argv) > 1 else ""
    if mode == "plist" and len(argv) == 5:
        check_plist(argv[2], argv[3], argv[4])
    elif mode == "staged" and len(argv) == 7:
        check_staged(*argv[2:])
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
