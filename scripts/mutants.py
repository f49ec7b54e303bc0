#!/usr/bin/env python3
"""Fault-finding power of the tests: hand-written mutants of the code.

Each mutant in scripts/mutants/*.txt names a file, a snippet that occurs
exactly once in it, and a replacement. A scratch copy of the tree is built
once; then for each mutant the snippet is replaced, the tests' programs are
rebuilt incrementally, the fast suite runs under a time limit, and the file
is put back. A mutant is killed when the suite fails, crashes or hangs.

  scripts/mutants.sh [--only ID...] [--files PREFIX] [--keep] [--list] [--record]

Prints one line per survivor ("survived: ID FILE"), one per unusable mutant
("invalid: ID (REASON)") and "killed K of N" last. scripts/mutants/killed.txt
holds the ids the tests kill (written by --record); a run in which one of
those survives exits with status 1 and names it.
"""
import argparse
import fcntl
import filecmp
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MUTANT_DIR = os.path.join(ROOT, "scripts", "mutants")
KILLED_FILE = os.path.join(MUTANT_DIR, "killed.txt")
PRESET = "default"
JOBS = "2"

# The fast suite leaves out the long runs, measured with the test program's
# own timings: a simulated day per row of the hardware-fault matrix (over
# 80 % of the whole suite's time), the signal storm, the soak with its leak
# count over months of passes, and the concurrent-reader race. The rest of
# the suite takes about a tenth of the whole. A run names the slowest tests
# it kept, so that a new long run is noticed.
SLOW_TESTS = [
    "*HardwareFaultTest.*",
    "SignalStormTest.*",
    "SoakTest.*",
    "FileConsistencyTest.*",
]

# The preset's settings (g++, RelWithDebInfo, Ninja) with two changes that
# leave the code as it is and make each rebuild cheaper: no debug information
# (-g does not change the generated code, but it doubles the objects that are
# archived and linked), and tests listed when ctest runs rather than after
# every link of the test program.
CONFIGURE_OPTIONS = [
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG",
    "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
]

# Files not compiled into the test binary, and the ctest tests that check them.
CTEST_FOR_PREFIX = [
    ("macos/", r"^macos\."),
]

ID_RE = re.compile(r"^[A-Za-z0-9]+(-[A-Za-z0-9]+)*$")


class Mutant:
    def __init__(self, mid, path, find, replace, origin):
        self.id = mid
        self.path = path
        self.find = find
        self.replace = replace
        self.origin = origin  # "file.txt:line"


def parse_mutant_file(path):
    """The mutants of one file; raises ValueError on a malformed file."""
    mutants = []
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    name = os.path.relpath(path, ROOT)
    i = 0
    header = {}
    header_line = 0
    while i < len(lines):
        line = lines[i]
        stripped = line.strip()
        where = "%s:%d" % (name, i + 1)
        if stripped.startswith("## mutant:"):
            if header:
                raise ValueError("%s: mutant %s has no <<< block" % (where, header.get("mutant")))
            header = {"mutant": stripped[len("## mutant:"):].strip()}
            header_line = i + 1
            i += 1
            continue
        if stripped.startswith("## file:"):
            if not header or "file" in header:
                raise ValueError("%s: \"## file:\" must follow one \"## mutant:\" line" % where)
            header["file"] = stripped[len("## file:"):].strip()
            i += 1
            continue
        if line == "<<<":
            if "mutant" not in header or "file" not in header:
                raise ValueError("%s: <<< without \"## mutant:\" and \"## file:\"" % where)
            find, i = read_block(lines, i + 1, "===", name)
            replace, i = read_block(lines, i, ">>>", name)
            mid = header["mutant"]
            if not ID_RE.match(mid):
                raise ValueError("%s:%d: bad mutant id %r (letters, digits, dashes)" % (name, header_line, mid))
            mutants.append(Mutant(mid, header["file"], find, replace, "%s:%d" % (name, header_line)))
            header = {}
            continue
        if stripped == "" or stripped.startswith("#"):
            i += 1
            continue
        raise ValueError("%s: unexpected line %r" % (where, line))
    if header:
        raise ValueError("%s:%d: mutant %s has no <<< block" % (name, header_line, header.get("mutant")))
    return mutants


def read_block(lines, start, terminator, name):
    """Lines from `start` up to the line `terminator`, joined; and the index after it."""
    i = start
    while i < len(lines) and lines[i] != terminator:
        i += 1
    if i == len(lines):
        raise ValueError("%s:%d: block not ended by %s" % (name, start, terminator))
    return "\n".join(lines[start:i]), i + 1


def load_mutants():
    mutants = []
    seen = {}
    for entry in sorted(os.listdir(MUTANT_DIR)):
        if not entry.endswith(".txt") or entry == "killed.txt":
            continue
        for m in parse_mutant_file(os.path.join(MUTANT_DIR, entry)):
            if m.id in seen:
                raise ValueError("%s: mutant id %s already used at %s" % (m.origin, m.id, seen[m.id]))
            seen[m.id] = m.origin
            mutants.append(m)
    return mutants


def read_killed():
    if not os.path.exists(KILLED_FILE):
        return None
    ids = []
    with open(KILLED_FILE, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                ids.append(line)
    return ids


def log(message):
    print(message, file=sys.stderr, flush=True)


def run(cmd, cwd, env, timeout=None, quiet=True):
    """Runs `cmd` in its own process group; (status, output, seconds). A
    timeout kills the whole group and gives status None."""
    started = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE if quiet else None,
                            stderr=subprocess.STDOUT if quiet else None,
                            start_new_session=True, text=True, errors="replace")
    try:
        out, _ = proc.communicate(timeout=timeout)
        status = proc.returncode
    except subprocess.TimeoutExpired:
        kill_group(proc)
        out, _ = proc.communicate()
        status = None
    finally:
        # Nothing a test started may outlive it (a daemon left running).
        kill_group(proc)
    return status, out or "", time.monotonic() - started


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def git_files():
    out = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                         cwd=ROOT, check=True, capture_output=True).stdout
    return sorted({p for p in out.decode().split("\0") if p})


def sync_tree(dest):
    """Makes `dest` hold the tracked and untracked non-ignored files of the
    worktree as they are now. Files whose bytes are unchanged (a scratch copy
    kept by --keep) keep their times, so that the build stays incremental."""
    wanted = set()
    for rel in git_files():
        src = os.path.join(ROOT, rel)
        if not os.path.lexists(src) or os.path.isdir(src):
            continue  # tracked but deleted in the working tree; or a submodule
        wanted.add(rel)
        target = os.path.join(dest, rel)
        if os.path.isfile(target) and not os.path.islink(target) and not os.path.islink(src):
            if filecmp.cmp(src, target, shallow=False):
                if os.stat(src).st_mode != os.stat(target).st_mode:
                    shutil.copymode(src, target)
                continue
            os.unlink(target)
        elif os.path.lexists(target):
            os.unlink(target)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(src, target, follow_symlinks=False)
        if not os.path.islink(target):
            touch_later(target)
    build = os.path.join(dest, "build")
    for folder, dirs, files in os.walk(dest):
        if folder == build or folder.startswith(build + os.sep):
            dirs[:] = []
            continue
        for name in files:
            rel = os.path.relpath(os.path.join(folder, name), dest)
            if rel not in wanted:
                os.unlink(os.path.join(folder, name))


def scratch_parent():
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        return "/dev/shm"
    return None


class Workspace:
    """The scratch copy, its build, and the fast suite."""

    def __init__(self, keep):
        # One fixed place per worktree, so that the compiler cache knows the
        # scratch copy's objects from the last run (the test programs carry
        # absolute paths); a second run at the same time gets a place of its own.
        parent = scratch_parent() or tempfile.gettempdir()
        tag = hashlib.sha1(ROOT.encode()).hexdigest()[:10]
        self.dir = os.path.join(parent, "hestle-mutants-" + tag)
        self.lock = open(self.dir + ".lock", "w")
        try:
            fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            os.makedirs(self.dir, exist_ok=True)
        except BlockingIOError:
            self.lock.close()
            self.lock = None
            self.dir = tempfile.mkdtemp(prefix="hestle-mutants.", dir=parent)
        self.keep = keep
        self.src = os.path.join(self.dir, "src")
        self.tmp = os.path.join(self.dir, "tmp")
        self.build = os.path.join(self.src, "build", PRESET)
        os.makedirs(self.tmp, exist_ok=True)
        env = dict(os.environ)
        if shutil.which("ccache"):
            env["CMAKE_CXX_COMPILER_LAUNCHER"] = "ccache"
            # Paths relative to the scratch copy, so that objects are shared
            # with earlier runs and with the worktrees' own builds.
            env["CCACHE_BASEDIR"] = self.src
            env["CCACHE_NOHASHDIR"] = "1"
        env["TMPDIR"] = self.tmp
        env["GTEST_COLOR"] = "no"
        self.env = env
        self.suite_seconds = None
        self.timeout = None

    def close(self):
        if self.keep:
            log("scratch kept in " + self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)
        if self.lock:
            self.lock.close()  # the lock file stays: removing it would race with a new run

    def prepare(self):
        sync_tree(self.src)
        status, out, secs = run(["cmake", "--preset", PRESET] + CONFIGURE_OPTIONS, self.src, self.env)
        if status != 0:
            raise SystemExit("mutants: configuring the scratch copy failed:\n" + out)
        log("configured in %.0f s" % secs)
        status, out, secs = run(["cmake", "--build", self.build, "-j", JOBS], self.src, self.env)
        if status != 0:
            raise SystemExit("mutants: the unchanged tree does not build:\n" + out[-4000:])
        log("built in %.0f s" % secs)

    def build_targets(self, path):
        """What a change to `path` must rebuild before its tests run."""
        if self.is_ctest_only(path):
            return []  # the whole default target (configure-time files, install rules)
        return ["--target", "hestle_tests"]

    def rebuild(self, path):
        cmd = ["cmake", "--build", self.build, "-j", JOBS] + self.build_targets(path)
        status, out, _ = run(cmd, self.src, self.env)
        return status == 0, out

    def suite_commands(self, path):
        """The commands of the fast suite for a change to `path`: the tests
        of its own directory first, so that most mutants die quickly, then
        the rest; or the ctest tests that check a file the test program does
        not compile."""
        ctest = [regex for prefix, regex in CTEST_FOR_PREFIX if path.startswith(prefix)]
        if ctest:
            return [["ctest", "--test-dir", self.build, "--stop-on-failure", "-R", "|".join(ctest)]]
        gtest = [os.path.join(self.build, "hestle_tests"), "--gtest_fail_fast", "--gtest_brief=1"]
        near = self.suites_of_directory(path.split("/")[0])
        slow = ":".join(SLOW_TESTS)
        if not near:
            return [gtest + ["--gtest_filter=*" + ("-" + slow if slow else "")]]
        first = ":".join(near)
        return [gtest + ["--gtest_filter=" + first + ("-" + slow if slow else "")],
                gtest + ["--gtest_filter=*-" + first + (":" + slow if slow else "")]]

    def suites_of_directory(self, directory):
        """gtest filter patterns for the test suites defined in `directory`."""
        patterns = []
        folder = os.path.join(self.src, directory)
        if not os.path.isdir(folder):
            return patterns
        for name in sorted(os.listdir(folder)):
            if not name.endswith("_test.cpp"):
                continue
            with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
                text = f.read()
            for kind, suite in re.findall(r"^\s*(TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P)\s*\(\s*(\w+)\s*,",
                                          text, re.M):
                # Parameterised suites run as "Prefix/Suite.Test/N".
                pattern = ("*" if kind in ("TEST_P", "TYPED_TEST_P") else "") + suite + ".*"
                if pattern not in patterns:
                    patterns.append(pattern)
        return patterns

    def run_suite(self, path, timeout):
        """'pass', 'fail' or 'hang', and the output of the failing command."""
        for cmd in self.suite_commands(path):
            self.clean_tmp()
            status, out, _ = run(cmd, self.build, self.env, timeout=timeout)
            if status is None:
                return "hang", out
            if status != 0:
                return "fail", out
        return "pass", ""

    def clean_tmp(self):
        for entry in os.listdir(self.tmp):
            target = os.path.join(self.tmp, entry)
            if os.path.isdir(target) and not os.path.islink(target):
                shutil.rmtree(target, ignore_errors=True)
            else:
                try:
                    os.unlink(target)
                except OSError:
                    pass

    def calibrate(self, paths):
        """Runs the whole fast suite (and the ctest tests the selected mutants
        need) on the unchanged tree: each must pass. Sets the time limit of a
        suite run from the time taken."""
        slow = ":".join(SLOW_TESTS)
        runs = []
        report = os.path.join(self.dir, "fast-suite.json")
        if any(not self.is_ctest_only(p) for p in paths):
            runs.append([os.path.join(self.build, "hestle_tests"), "--gtest_brief=1",
                         "--gtest_filter=*" + ("-" + slow if slow else ""), "--gtest_output=json:" + report])
        for prefix, regex in CTEST_FOR_PREFIX:
            if any(p.startswith(prefix) for p in paths):
                runs.append(["ctest", "--test-dir", self.build, "-R", regex])
        slowest = 0.0
        for cmd in runs:
            self.clean_tmp()
            status, out, secs = run(cmd, self.build, self.env, timeout=1800)
            if status != 0:
                raise SystemExit("mutants: the fast suite fails on the unchanged tree (%s):\n%s" %
                                 (" ".join(cmd), out[-4000:]))
            log("%s passes on the unchanged tree in %.1f s" % (os.path.basename(cmd[0]), secs))
            slowest = max(slowest, secs)
        log_slowest_tests(report)
        self.timeout = max(120.0, 4 * slowest)

    @staticmethod
    def is_ctest_only(path):
        return any(path.startswith(prefix) for prefix, _ in CTEST_FOR_PREFIX)


def log_slowest_tests(report):
    """Names the slowest tests of the fast suite, so that a long run added to
    the tests is noticed (and, if it belongs there, added to SLOW_TESTS)."""
    try:
        with open(report, encoding="utf-8") as f:
            suites = json.load(f)["testsuites"]
    except (OSError, ValueError, KeyError):
        return
    times = sorted(((float(t.get("time", "0s").rstrip("s")), s["name"] + "." + t["name"])
                    for s in suites for t in s.get("testsuite", [])), reverse=True)
    log("slowest in the fast suite: " + ", ".join("%s %.1f s" % (name, secs) for secs, name in times[:5]))


def snippet_problem(root, m):
    """Why the mutant cannot be applied to the tree at `root`; None when it can."""
    target = os.path.join(root, m.path)
    if not os.path.isfile(target):
        return "no file " + m.path
    with open(target, encoding="utf-8") as f:
        text = f.read()
    if m.find == "":
        return "empty snippet"
    count = text.count(m.find)
    if count == 0:
        return "snippet not found in " + m.path
    if count > 1:
        return "snippet occurs %d times in %s" % (count, m.path)
    if m.find == m.replace:
        return "replacement equals the snippet"
    return None


def apply_mutant(ws, m):
    """Writes the mutated file; returns (original bytes, None) or (None, reason)."""
    reason = snippet_problem(ws.src, m)
    if reason:
        return None, reason
    target = os.path.join(ws.src, m.path)
    with open(target, "rb") as f:
        original = f.read()
    with open(target, "wb") as f:
        f.write(original.decode("utf-8").replace(m.find, m.replace).encode("utf-8"))
    touch_later(target)
    return original, None


def restore(ws, m, original):
    target = os.path.join(ws.src, m.path)
    with open(target, "wb") as f:
        f.write(original)
    # Newer than anything built from the mutant, so the next build redoes it.
    touch_later(target)


def touch_later(path):
    now = time.time_ns()
    st = os.stat(path)
    os.utime(path, ns=(now, max(now, st.st_mtime_ns + 1000)))


def main(argv):
    # A stopped run still removes its scratch copy and the daemons it started.
    def stop(number, _frame):
        log("mutants: stopped by signal %d" % number)
        sys.exit(128 + number)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    parser = argparse.ArgumentParser(prog="mutants.sh", description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", nargs="+", metavar="ID", help="run only these mutants")
    parser.add_argument("--files", metavar="PREFIX", help="run the mutants of files starting with PREFIX")
    parser.add_argument("--keep", action="store_true", help="keep the scratch copy")
    parser.add_argument("--list", action="store_true",
                        help="list the mutants, checking each snippet against the worktree, and exit")
    parser.add_argument("--record", action="store_true",
                        help="record the killed ids in scripts/mutants/killed.txt: all of them after a "
                             "full run; after a partial run, add the newly killed ones")
    parser.add_argument("--verbose", action="store_true", help="show the output of each failing suite")
    args = parser.parse_args(argv)

    try:
        mutants = load_mutants()
    except ValueError as e:
        print("mutants: " + str(e), file=sys.stderr)
        return 2
    full_run = not args.only and not args.files
    selected = mutants
    if args.only:
        known = {m.id for m in mutants}
        unknown = [i for i in args.only if i not in known]
        if unknown:
            print("mutants: no mutant " + ", ".join(unknown), file=sys.stderr)
            return 2
        selected = [m for m in selected if m.id in set(args.only)]
    if args.files:
        selected = [m for m in selected if m.path.startswith(args.files)]
    if args.list:
        bad = 0
        for m in selected:
            reason = snippet_problem(ROOT, m)
            if reason:
                bad += 1
                print("invalid: %s (%s)" % (m.id, reason))
            else:
                print("%s %s" % (m.id, m.path))
        return 1 if bad else 0
    if not selected:
        print("killed 0 of 0")
        return 0

    started = time.monotonic()
    ws = Workspace(args.keep)
    killed, survived, invalid = [], [], []
    mutant_seconds = []
    try:
        ws.prepare()
        ws.calibrate(sorted({m.path for m in selected}))
        log("time limit per suite run: %.0f s" % ws.timeout)
        for n, m in enumerate(selected, 1):
            t0 = time.monotonic()
            original, reason = apply_mutant(ws, m)
            if original is None:
                invalid.append((m, reason))
                log("[%d/%d] %s: invalid (%s)" % (n, len(selected), m.id, reason))
                continue
            try:
                ok, out = ws.rebuild(m.path)
                if not ok:
                    invalid.append((m, "does not build"))
                    verdict = "invalid (does not build)"
                    if args.verbose:
                        log(out[-3000:])
                else:
                    result, out = ws.run_suite(m.path, ws.timeout)
                    if result == "pass":
                        survived.append(m)
                        verdict = "SURVIVED"
                    else:
                        killed.append(m)
                        verdict = "killed" + (" (hang)" if result == "hang" else "")
                        if args.verbose:
                            log(out[-3000:])
            finally:
                restore(ws, m, original)
            secs = time.monotonic() - t0
            mutant_seconds.append(secs)
            log("[%d/%d] %s: %s (%.1f s)" % (n, len(selected), m.id, verdict, secs))
    finally:
        ws.close()

    status = 0
    killed_ids = {m.id for m in killed}
    previous = read_killed()
    regressions = []
    if previous is not None:
        selected_ids = {m.id for m in selected}
        all_ids = {m.id for m in mutants}
        for mid in previous:
            if mid in selected_ids and mid not in killed_ids:
                regressions.append("no longer killed: %s" % mid)
            elif full_run and mid not in all_ids:
                regressions.append("no longer listed: %s (in killed.txt, but no such mutant)" % mid)
    if args.record:
        # A full run records exactly what it killed; a partial one adds the
        # mutants it killed (a new mutant, say) and removes nothing.
        keep = killed_ids if full_run else killed_ids | set(previous or [])
        ids = [m.id for m in mutants if m.id in keep]
        ids += [mid for mid in (previous or []) if mid in keep and mid not in ids]
        with open(KILLED_FILE, "w", encoding="utf-8") as f:
            f.write("# Mutants the tests kill (scripts/mutants.sh --record). A run in which one\n")
            f.write("# of these survives, or a full run that no longer finds one, fails.\n")
            for mid in ids:
                f.write(mid + "\n")
        log("recorded %d killed ids in %s" % (len(ids), os.path.relpath(KILLED_FILE, ROOT)))

    total = time.monotonic() - started
    if mutant_seconds:
        log("%d mutants in %.0f s (%.1f s each on average, setup %.0f s)" %
            (len(selected), total, sum(mutant_seconds) / len(mutant_seconds), total - sum(mutant_seconds)))
    for m in survived:
        print("survived: %s %s" % (m.id, m.path))
    for m, reason in invalid:
        print("invalid: %s (%s)" % (m.id, reason))
    for line in regressions:
        print(line)
    if regressions:
        status = 1
    print("killed %d of %d" % (len(killed), len(selected)))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
