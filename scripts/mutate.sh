#!/usr/bin/env bash
# Random mutants: one-line slips nobody chose, to measure what the tests notice.
# A developer tool, not part of CI.
#
#   scripts/mutate.sh [-n COUNT] [--seed S] [--whole-suite] [--list] [-j N] [PATH-PREFIX ...]
#   scripts/mutate.sh --again LISTING [NAME ...]
#
# Picks COUNT mutation sites at random (repeatable with --seed) in the program's
# own code (app/ bridge/ content/ plugins/ dev/ kelcab/ sdk/, or the prefixes
# given), spread evenly over the kinds below, and hands them to fault-check.sh
# as a fault list: each mutant is applied to the copy of the tree, built, and
# the tests of its folder plus the real-page rows run (--whole-suite: every
# test but the package one). A mutant that does not build is discarded. The
# folder's unit tests run first and the first failing test ends a mutant.
# --again runs a listing written earlier (build-mutants/mutants-SEED.tsv) once
# more, or only the named mutants of it: to see a survivor killed by a new test.
#
#   relational  < <= > >= == != flipped or their boundary moved
#   boolean     true/false exchanged, or an if/while condition negated
#   constant    an integer literal changed by one
#   enumerator  a Constants::Other / Constants::JSInvoke enumerator exchanged
#               for another of the same enumeration
#   call        a call statement removed (close, flush, emit, remove, ...)
#   string      a string literal changed (SQL, MIME type, file or callback name)
#
# Prints mutant -> killed by / SURVIVED and the score; the survivors' diffs go
# to $MUTATE_DIR (default build-mutants/). Sites that are known to make no
# observable difference are listed in scripts/mutants-equivalent.txt (one
# "file<TAB>exact line text" per line, with a reason after a second TAB) and
# never drawn.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out="${MUTATE_DIR:-$repo/build-mutants}"
count=60 seed="$RANDOM" whole=0 list=0 jobs="${TEST_JOBS:-2}" again=""
prefixes=()
while [ $# -gt 0 ]; do
  case "$1" in
    -n) count="$2"; shift ;;
    --seed) seed="$2"; shift ;;
    --whole-suite) whole=1 ;;
    --list) list=1 ;;
    --again) again=$(realpath "$2"); shift ;;
    -j) jobs="$2"; shift ;;
    -h|--help) sed -n '2,32p' "$0"; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) prefixes+=("$1") ;;
  esac
  shift
done
mkdir -p "$out"
if [ -n "$again" ]; then
  seed=$(basename "$again" .tsv); seed=${seed#mutants-}
  listing="$out/mutants-$seed.tsv"
  [ "$again" = "$listing" ] || cp "$again" "$listing"
  names=("${prefixes[@]}")
else
names=()
python3 - "$repo" "$out" "$count" "$seed" "$whole" "${prefixes[@]}" <<'PY'
import json, os, random, re, subprocess, sys

repo, out, count, seed, whole = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5] == "1"
prefixes = sys.argv[6:] or ["app/", "bridge/", "content/", "plugins/", "dev/", "kelcab/", "sdk/"]
rng = random.Random(seed)

files = [f for f in subprocess.run(["git", "-C", repo, "ls-files"], capture_output=True, text=True,
                                    check=True).stdout.split("\n")
         if f.startswith(tuple(prefixes)) and f.endswith((".cpp", ".h", ".js", ".qml"))
         and "/tests/" not in f and "/fuzz/" not in f]

excluded = set()
path = os.path.join(repo, "scripts/mutants-equivalent.txt")
if os.path.exists(path):
    for line in open(path, encoding="utf-8"):
        if line.strip() and not line.startswith("#"):
            parts = line.rstrip("\n").split("\t")
            excluded.add((parts[0], parts[1].strip()))

constants = open(os.path.join(repo, "bridge/constants.h"), encoding="utf-8").read()
def enumerators(name):
    body = re.search(r"enum _%s \{(.*?)\};" % name, constants, re.S).group(1)
    return [e.strip() for e in body.replace("\n", " ").split(",") if e.strip()]
enums = {"Other": enumerators("Other"), "JSInvoke": enumerators("JSInvoke")}

LOG = re.compile(r"\bq(C?(Debug|Info|Warning|Critical)|Fatal)\b|console\.(log|warn|error)|\btr\(|Q_LOGGING_CATEGORY|"
                 r"setObjectName|\) (override )?= 0;|Q_ASSERT|^\s*<<")
REL = {" < ": [" <= ", " > "], " <= ": [" < "], " > ": [" >= ", " < "], " >= ": [" > "],
       " == ": [" != "], " != ": [" == "], " === ": [" !== "], " !== ": [" === "]}
CALL = re.compile(r"^\s*(emit\s+)?[A-Za-z_][\w:.>\-]*(\(\))?[.\->]*[A-Za-z_]\w*\(.*\);\s*$")
COND = re.compile(r"^(\s*(?:\} else )?(?:if|while) \()(.*)(\)( \{)?)\s*$")
STRING = re.compile(r"(QStringLiteral|QLatin1String|QByteArrayLiteral)\(\"([^\"\\]+)\"\)|'([A-Za-z_][\w ./-]*)'|\"([A-Za-z_][\w ./-]*)\"")
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")

def balanced(text):
    depth = 0
    for c in text:
        depth += c == "("
        depth -= c == ")"
        if depth < 0:
            return False
    return depth == 0

def mutations(line, js):
    """Every (kind, new line) one slip away from line."""
    code = line.split("//")[0]
    if not code.strip() or code.lstrip().startswith(("#", "*", "/*")) or LOG.search(code):
        return
    for old, news in REL.items():
        if old in code and (old not in (" < ", " > ") or not re.search(r"\w<\w|template", code)):
            for new in news:
                yield "relational", line.replace(old, new, 1)
    for a, b in (("true", "false"), ("false", "true")):
        if re.search(r"\b%s\b" % a, code):
            yield "boolean", re.sub(r"\b%s\b" % a, b, line, count=1)
    m = COND.match(line)
    if m and balanced(m.group(2)):
        yield "boolean", "%s!(%s)%s" % (m.group(1), m.group(2), m.group(3))
    for m in NUMBER.finditer(code):
        if code[:m.start()].count('"') % 2 == 0:
            n = int(m.group(1))
            yield "constant", line[:m.start()] + str(n + rng.choice((-1, 1)) if n else "1") + line[m.end():]
            break
    for enum, names in enums.items():
        for m in re.finditer(r"\b%s::(\w+)" % enum, code):
            if m.group(1) in names:
                other = rng.choice([n for n in names if n != m.group(1)])
                yield "enumerator", line[:m.start(1)] + other + line[m.end(1):]
    if CALL.match(code) and not re.match(r"\s*(return|delete|throw|case)\b", code) and "=" not in code.split("(")[0]:
        indent = line[:len(line) - len(line.lstrip())]
        yield "call", indent + ";" if not js else indent + "void 0;"
    for m in STRING.finditer(code):
        g = 2 if m.group(2) else (3 if m.group(3) else 4)
        if js and g == 2 or not js and g == 3:
            continue
        text = m.group(g)
        yield "string", line[:m.start(g)] + text[:-1] + ("x" if text[-1] != "x" else "y") + line[m.end(g):]
        break

sites = {}
for f in files:
    text = open(os.path.join(repo, f), encoding="utf-8").read()
    lines = text.split("\n")
    for number, line in enumerate(lines, 1):
        if (f, line.strip()) in excluded or text.count(line) != 1:
            continue  # fault-check needs the old text exactly once in its file
        for kind, new in mutations(line, f.endswith((".js", ".qml"))):
            if new != line and "\t" not in line:
                sites.setdefault(kind, []).append((f, number, line, new))

kinds = sorted(sites)
picked, seen = [], set()
while len(picked) < count and any(sites.values()):
    kind = kinds[len(picked) % len(kinds)]
    if not sites[kind]:
        kinds.remove(kind)
        continue
    site = sites[kind].pop(rng.randrange(len(sites[kind])))
    if (site[0], site[1]) not in seen:
        seen.add((site[0], site[1]))
        picked.append((kind,) + site)

# The tests of a mutant: those labelled after its folder, plus the real-page rows.
build = os.path.join(repo, "build")
tests = json.loads(subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, capture_output=True,
                                  text=True, check=True).stdout)["tests"]
def labels(t):
    for p in t.get("properties", []):
        if p["name"] == "LABELS":
            return set(p["value"])
    return set()
FOLDER_LABELS = {"kelcab": {"kelcab"}, "app": {"process", "app"}, "bridge": {"bridge"},
                 "content": {"content", "compat"}, "dev": {"e2e", "compat"}, "sdk": {"e2e", "bridge"},
                 "plugins/storage": {"storage"}, "plugins/audiorecorder": {"audio"},
                 "plugins/audioplayer": {"audio"}, "plugins/network": {"network"},
                 "plugins/downloader": {"network"}, "plugins/zip": {"plugins"},
                 "plugins/archive": {"plugins"}, "plugins/filesystem": {"content"},
                 "plugins/application": {"bridge"}, "app/qml": {"content", "compat"},
                 "plugins/camera": {"bridge"}, "plugins/hardware": {"bridge"}}
def regex_for(f):
    names = []
    for t in tests:
        l = labels(t)
        if "package" in l or "fuzz" in l:
            continue
        # The dispatcher serves every service: its mutants run every test.
        if whole or f.startswith("bridge/") or "e2e" in l or any(f.startswith(k + "/") and l & v for k, v in FOLDER_LABELS.items()) \
                or not l:
            names.append(t["name"])
    return "^(" + "|".join(sorted(names)) + ")$"

listing = os.path.join(out, "mutants-%s.tsv" % seed)
with open(listing, "w", encoding="utf-8") as fh:
    for i, (kind, f, number, old, new) in enumerate(picked, 1):
        fh.write("m%02d-%s-%s-%d\t%s\t%s\t%s\t%s\n" % (i, kind, os.path.basename(f).split(".")[0], number,
                                                      f, old, new, regex_for(f)))
print("mutate: seed %s, %d mutants from %d sites (%s) -> %s" % (
    seed, len(picked), sum(len(v) for v in sites.values()) + len(picked),
    ", ".join("%s %d" % (k, sum(p[0] == k for p in picked)) for k in sorted({p[0] for p in picked})), listing))
PY
listing="$out/mutants-$seed.tsv"
fi

if [ "$list" = 1 ]; then
  cut -f1,2,4 "$listing"
  exit 0
fi
FAULT_CHECK_DIR="${FAULT_CHECK_DIR:-$repo/build-faults}" \
  "$repo/scripts/fault-check.sh" --first-failure --faults "$listing" -j "$jobs" "${names[@]}" \
  | tee "$out/run-$seed${names[*]:+-again}.log" || true

# Score: a mutant the compiler refused is not a mutant.
python3 - "$listing" "$out/run-$seed${names[*]:+-again}.log" "$out" "$seed" <<'PY'
import difflib, os, sys
listing, log, out, seed = sys.argv[1:5]
rows = {}
for line in open(log, encoding="utf-8"):
    parts = [p.strip() for p in line.strip().strip("|").split("|")]
    if len(parts) == 3 and parts[0].startswith("m"):
        rows[parts[0]] = parts[1:]
killed = survived = discarded = 0
for line in open(listing, encoding="utf-8"):
    name, f, old, new, _ = line.rstrip("\n").split("\t")
    if name not in rows:
        continue  # not run this time (--again with names)
    result, by = rows[name]
    if result == "caught" and by == "compiler" or result == "STALE":
        discarded += 1
    elif result == "caught":
        killed += 1
        print("%-40s killed by %s" % (name, by))
    else:
        survived += 1
        print("%-40s SURVIVED" % name)
        with open(os.path.join(out, "survivor-%s-%s.diff" % (seed, name)), "w", encoding="utf-8") as d:
            d.writelines(difflib.unified_diff([old + "\n"], [new + "\n"], "a/" + f, "b/" + f))
total = killed + survived
print("\nmutate: seed %s: %d killed, %d survived, %d discarded (did not build); score %.1f %%"
      % (seed, killed, survived, discarded, 100.0 * killed / total if total else 0))
PY
