#!/usr/bin/env bash
# Seeds known faults into a copy of the tree, one at a time, and checks that
# the tests catch each of them. A developer tool, not part of CI.
#
#   scripts/fault-check.sh [--list] [--no-baseline] [--keep-copy] [--first-failure] [--faults FILE] [-j N] [NAME-GLOB ...]
#
# Faults: scripts/faults/*.tsv (or the one FILE given), one per line, TAB-separated:
#   name  file (from the repo root)  exact old text  new text  ctest -R regex
# Lines starting with "#" are comments. The old text must occur exactly once
# in the file; the fault is otherwise STALE. Each fault is applied to a copy
# of the tracked tree (with uncommitted changes), the tests its regex names are
# built and run, and the file is put back. A fault that does not build counts
# as caught by the compiler. Exits non-zero when a fault survives, is stale or
# a selected test already fails without any fault. --keep-copy runs against
# the copy as the last run left it, without refreshing it from the tree.
# --first-failure runs a fault's unit tests before its page rows and stops at
# the first test that fails (faster; "caught by" then names one test).
#
# The copy and its build stay in ${FAULT_CHECK_DIR:-build-faults} so that a
# second run rebuilds little; it sits beside build/ so ccache (base_dir) reuses
# the main build's objects.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work="${FAULT_CHECK_DIR:-$repo/build-faults}"
list=0 baseline=1 sync=1 first=0 jobs="${TEST_JOBS:-2}" faults_file=""
filters=()
while [ $# -gt 0 ]; do
  case "$1" in
    --list) list=1 ;;
    --no-baseline) baseline=0 ;;
    --keep-copy) sync=0 ;;
    --first-failure) first=1 ;;
    -j) jobs="$2"; shift ;;
    --faults) faults_file=$(realpath "$2"); shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) filters+=("$1") ;;
  esac
  shift
done

exec python3 - "$repo" "$work" "$list" "$baseline" "$jobs" "$sync" "$first" "$faults_file" "${filters[@]}" <<'PY'
import fnmatch, glob, json, os, re, shutil, subprocess, sys, tarfile, io, time

repo, work, list_only, baseline, jobs = sys.argv[1], sys.argv[2], sys.argv[3] == "1", sys.argv[4] == "1", sys.argv[5]
sync = sys.argv[6] == "1"
first_failure = sys.argv[7] == "1"
faults_file = sys.argv[8]
filters = sys.argv[9:]

def die(msg):
    print("fault-check: " + msg, file=sys.stderr)
    sys.exit(2)

faults = []
for path in [faults_file] if faults_file else sorted(glob.glob(os.path.join(repo, "scripts/faults/*.tsv"))):
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.split("\t")
            where = "%s:%d" % (os.path.relpath(path, repo), number)
            if len(fields) != 5 or not all(fields[i] for i in (0, 1, 2, 4)):
                die("%s: expected 5 TAB-separated fields (new text may be empty)" % where)
            name, file, old, new, regex = fields
            faults.append(dict(name=name, file=file, old=old, new=new, regex=regex, where=where))
names = [f["name"] for f in faults]
if len(set(names)) != len(names):
    die("fault names repeat: " + ", ".join(sorted({n for n in names if names.count(n) > 1})))
if filters:
    faults = [f for f in faults if any(fnmatch.fnmatchcase(f["name"], p) or p in f["name"] for p in filters)]
if list_only:
    for f in faults:
        print("%-28s %-44s %s" % (f["name"], f["file"], f["regex"]))
    sys.exit(0)
if not faults:
    die("no fault matches")

def run(cmd, cwd, log=None, check=False):
    with open(log, "a") if log else open(os.devnull, "w") as out:
        rc = subprocess.call(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    if check and rc != 0:
        die("%s failed (see %s)" % (" ".join(cmd), log))
    return rc

# --- a copy of the tracked tree; unchanged files keep their times --------------
tree, build, logs = os.path.join(work, "tree"), os.path.join(work, "tree", "build"), os.path.join(work, "logs")
os.makedirs(tree, exist_ok=True)
shutil.rmtree(logs, ignore_errors=True)
os.makedirs(logs)
files = subprocess.run(["git", "-C", repo, "ls-files", "-z", "--cached"], check=True,
                       capture_output=True).stdout.split(b"\0") if sync else []
wanted = set()
for rel in (p.decode() for p in files if p):
    src = os.path.join(repo, rel)
    if not os.path.lexists(src):
        continue  # deleted in the working tree
    wanted.add(rel)
    dst = os.path.join(tree, rel)
    if os.path.islink(src):
        target = os.readlink(src)
        if not (os.path.islink(dst) and os.readlink(dst) == target):
            if os.path.lexists(dst):
                os.remove(dst)
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            os.symlink(target, dst)
        continue
    with open(src, "rb") as f:
        data = f.read()
    try:
        with open(dst, "rb") as f:
            same = f.read() == data
    except OSError:
        same = False
    if not same:
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(data)
        shutil.copymode(src, dst)
for root, dirs, names_ in os.walk(tree) if sync else []:
    if root == tree and "build" in dirs:
        dirs.remove("build")
    for n in names_:
        rel = os.path.relpath(os.path.join(root, n), tree)
        if rel not in wanted:
            os.remove(os.path.join(root, n))

# --- configure and build once -------------------------------------------------
t0 = time.time()
log = os.path.join(logs, "build.log")
if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
    gen = ["-G", "Ninja"] if shutil.which("ninja") else []
    run(["cmake", "-S", tree, "-B", build, *gen, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], tree, log, check=True)
print("fault-check: building the copy in %s ..." % build, flush=True)
run(["cmake", "--build", build, "--parallel", jobs], tree, log, check=True)
print("fault-check: built in %.0f s" % (time.time() - t0), flush=True)

def tests_for(regex):
    out = subprocess.run(["ctest", "--show-only=json-v1", "-R", regex], cwd=build,
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out).get("tests", [])

def targets_for(tests):
    # A test's executable is named after its target; it may come after
    # wrapper scripts (isolate.sh, with-pulse.sh), so every word is looked at.
    # Tests run by a script alone need nothing built.
    targets = set()
    for t in tests:
        for arg in t.get("command", []):
            if arg.startswith(build + "/") and os.path.isfile(arg) and os.access(arg, os.X_OK):
                targets.add(os.path.basename(arg))
    return sorted(targets)

def ctest(regex, tag, stop=False):
    failed_log = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
    if os.path.exists(failed_log):
        os.remove(failed_log)
    rc = run(["ctest", "-R", regex, "--parallel", jobs, "--timeout", "600", "--output-on-failure"]
             + (["--stop-on-failure"] if stop else []), build, os.path.join(logs, tag + ".log"))
    failed = []
    with open(os.path.join(logs, tag + ".log")) as f:
        if "No tests were found" in f.read():
            return ["(no test ran: %s)" % regex]
    if os.path.exists(failed_log):
        with open(failed_log) as f:
            failed = [l.strip().split(":", 1)[1] for l in f if ":" in l]
    if rc != 0 and not failed:
        failed = ["(ctest exit %d)" % rc]
    return failed

def is_page_row(t):
    return any(p["name"] == "LABELS" and {"e2e", "compat"} & set(p["value"]) for p in t.get("properties", []))

def ctest_phased(tests, tag):
    # Unit tests first: they are quick, and most faults fail one of them.
    for phase, wanted in (("units", False), ("pages", True)):
        names_ = sorted(t["name"] for t in tests if is_page_row(t) == wanted)
        if names_:
            failed = ctest("^(" + "|".join(names_) + ")$", tag + "." + phase, stop=True)
            if failed:
                return failed
    return []

# --- every selected test passes without a fault ---------------------------------
broken = []
if baseline:
    # By name: CMake's regular expressions allow few groups.
    names_ = sorted({t["name"] for f in faults for t in tests_for(f["regex"])})
    union = "^(" + "|".join(names_) + ")$"
    t0 = time.time()
    broken = ctest(union, "baseline")
    print("fault-check: baseline in %.0f s%s" % (time.time() - t0,
          "; failing without a fault: " + ", ".join(broken) if broken else ", all pass"), flush=True)

# --- one fault at a time --------------------------------------------------------
rows = []
for f in faults:
    path = os.path.join(tree, f["file"])
    t0 = time.time()
    try:
        with open(path, encoding="utf-8", newline="") as fh:
            original = fh.read()
    except OSError:
        original = None
    count = original.count(f["old"]) if original is not None else 0
    if count != 1:
        why = "file missing" if original is None else "old text found %d times" % count
        rows.append((f["name"], "STALE", why))
        print("%-28s STALE (%s)" % (f["name"], why), flush=True)
        continue
    tests = tests_for(f["regex"])
    if not tests:
        rows.append((f["name"], "STALE", "no test matches " + f["regex"]))
        print("%-28s STALE (no test matches)" % f["name"], flush=True)
        continue
    with open(path, "w", encoding="utf-8", newline="") as fh:
        fh.write(original.replace(f["old"], f["new"]))
    try:
        blog = os.path.join(logs, f["name"] + ".build.log")
        targets = targets_for(tests)
        rc = run(["cmake", "--build", build, "--parallel", jobs] + (["--target", *targets] if targets else []),
                 tree, blog)
        if rc != 0:
            result = ("caught", "compiler")
        else:
            failed = ctest_phased(tests, f["name"]) if first_failure else ctest(f["regex"], f["name"])
            result = ("caught", ", ".join(failed)) if failed else ("SURVIVED", "")
    finally:
        # A new time stamp: the build must not take the faulty objects for
        # current ones.
        with open(path, "w", encoding="utf-8", newline="") as fh:
            fh.write(original)
    rows.append((f["name"],) + result)
    print("%-28s %-8s %s  (%.0f s)" % (f["name"], result[0], result[1], time.time() - t0), flush=True)

# Leave the copy's build matching its sources again.
touched = sorted({t for f in faults for t in targets_for(tests_for(f["regex"]))})
if touched:
    run(["cmake", "--build", build, "--parallel", jobs, "--target", *touched], tree, log)

print()
print("| fault | result | caught by |")
print("|---|---|---|")
for name, result, detail in rows:
    print("| %s | %s | %s |" % (name, result, detail))
bad = [r for r in rows if r[1] != "caught"]
if broken:
    print("\nfault-check: tests that fail without a fault: " + ", ".join(broken))
print("\nfault-check: %d faults, %d caught, %d survived, %d stale (logs in %s)" % (
    len(rows), sum(r[1] == "caught" for r in rows), sum(r[1] == "SURVIVED" for r in rows),
    sum(r[1] == "STALE" for r in rows), logs))
sys.exit(1 if bad or broken else 0)
PY
