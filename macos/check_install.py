#!/usr/bin/env python3
"""Checks of the Mac installation that run anywhere: the launchd job, the
staged install tree, and the scripts' use of launchd (against fake commands).

  check_install.py plist PLIST DAEMON_PATH
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
    expect(job.get("KeepAlive") is True, "KeepAlive is not true")
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


# ---- The scripts against fake commands -------------------------------------------

FAKES = {
    "uname": 'echo Darwin',
    "id": 'echo "${FAKE_UID:-0}"',
    "plutil": 'log "$@"; echo /usr/local/libexec/hestled',
    "stat": 'echo "${FAKE_STAT:-0 755}"',
    "launchctl": '''log "$@"
case "$1" in
  print) [ -e "$FAKE_DIR/loaded" ] ;;
  bootout) [ -z "${FAKE_BOOTOUT_FAILS:-}" ] || exit 5; /bin/rm -f "$FAKE_DIR/loaded" ;;
esac''',
}
LOGGED = ["rm", "cmake", "chown", "chmod", "sleep"]


def make_fakes(folder):
    bin_dir = os.path.join(folder, "bin")
    os.mkdir(bin_dir)
    for name in list(FAKES) + LOGGED:
        body = FAKES.get(name, 'log "$@"')
        with open(os.path.join(bin_dir, name), "w") as f:
            f.write('#!/bin/bash\nlog() { echo "%s $*" >> "$FAKE_DIR/calls"; }\n%s\n' % (name, body))
        os.chmod(os.path.join(bin_dir, name), 0o755)
    return bin_dir


def run_script(script, args, loaded, **env_extra):
    with tempfile.TemporaryDirectory() as folder:
        bin_dir = make_fakes(folder)
        if loaded:
            open(os.path.join(folder, "loaded"), "w").close()
        env = dict(os.environ, PATH=bin_dir + ":/usr/bin:/bin", FAKE_DIR=folder, **env_extra)
        run = subprocess.run(["bash", script] + args, env=env, capture_output=True, text=True,
                             timeout=60)
        calls_file = os.path.join(folder, "calls")
        calls = open(calls_file).read().splitlines() if os.path.exists(calls_file) else []
        return run, calls


def index_of(calls, prefix):
    for i, call in enumerate(calls):
        if call.startswith(prefix):
            return i
    return -1


def check_scripts(source_dir):
    uninstall = os.path.join(source_dir, "uninstall.sh")
    install = os.path.join(source_dir, "install.sh")
    bootout = "launchctl bootout system/" + LABEL

    run, calls = run_script(uninstall, [], loaded=True)
    expect(run.returncode == 0, "uninstall failed: " + run.stderr)
    stop, first_rm = index_of(calls, bootout), index_of(calls, "rm ")
    expect(0 <= stop < first_rm, "uninstall must stop the daemon before removing files: %s" % calls)
    expect(index_of(calls, "rm -f " + PLIST_PATH + " /usr/local/libexec/hestled /usr/local/bin/hestle") >= 0,
           "uninstall did not remove the job and the programs: %s" % calls)
    expect(not any(DATA_DIR in c for c in calls), "uninstall without --purge touched the settings")
    expect("did not confirm its clean shutdown" in run.stderr,
           "no warning when the status does not confirm the clean shutdown")

    run, calls = run_script(uninstall, ["--purge"], loaded=True)
    expect(run.returncode == 0 and ("rm -rf " + DATA_DIR) in calls,
           "uninstall --purge did not remove the data directory: %s" % calls)

    run, calls = run_script(uninstall, [], loaded=True, FAKE_BOOTOUT_FAILS="1")
    expect(run.returncode == 1 and index_of(calls, "rm ") < 0,
           "a failed bootout must leave everything in place: %s" % calls)

    run, calls = run_script(uninstall, [], loaded=False)
    expect(run.returncode == 0 and index_of(calls, "launchctl bootout") < 0
           and index_of(calls, "rm -f " + PLIST_PATH) >= 0,
           "uninstall of a stopped daemon: %s / %s" % (calls, run.stderr))

    run, calls = run_script(uninstall, [], loaded=True, FAKE_UID="501")
    expect(run.returncode == 1 and not calls, "uninstall as a user must do nothing: %s" % calls)
    run, calls = run_script(uninstall, ["--bogus"], loaded=True)
    expect(run.returncode == 2 and not calls, "uninstall with a bad option must do nothing")

    with tempfile.TemporaryDirectory() as build:
        os.mkdir(os.path.join(build, "macos"))
        open(os.path.join(build, "cmake_install.cmake"), "w").close()

        run, calls = run_script(install, [build], loaded=True)
        order = [index_of(calls, bootout), index_of(calls, "cmake --install " + build),
                 index_of(calls, "chown root:wheel " + PLIST_PATH),
                 index_of(calls, "launchctl bootstrap system " + PLIST_PATH)]
        expect(all(i >= 0 for i in order) and order == sorted(order),
               "upgrade must stop, replace, then start: %s" % calls)
        expect(("rm -f " + DATA_DIR + "/status.json") in calls,
               "install must drop the old run's status before starting")
        # Here no daemon ever reports in: the script must say so and fail.
        expect(run.returncode == 1 and "has not reported in" in run.stderr,
               "install must fail when the daemon does not report in: %s" % run.stderr)

        run, calls = run_script(install, [build], loaded=False)
        expect(index_of(calls, "launchctl bootout") < 0 and index_of(calls, "cmake --install") >= 0,
               "a fresh install has nothing to stop: %s" % calls)

        run, calls = run_script(install, [build], loaded=False, FAKE_STAT="501 755")
        expect(run.returncode == 1 and index_of(calls, "cmake --install") < 0,
               "install must refuse a program directory owned by another user: %s" % calls)
        run, calls = run_script(install, [build], loaded=False, FAKE_STAT="0 775")
        expect(run.returncode == 1 and index_of(calls, "cmake --install") < 0,
               "install must refuse a group-writable program directory: %s" % calls)

    run, calls = run_script(install, ["/nonexistent"], loaded=True)
    expect(run.returncode == 1 and not calls, "install without a build must do nothing: %s" % calls)


def main(argv):
    mode = argv[1] if len(argv) > 1 else ""
    if mode == "plist" and len(argv) == 4:
        check_plist(argv[2], argv[3])
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
