#!/usr/bin/env bash
# Prints the lines of program code against the lines of tests (tracked files
# only) and the tests' share of the two; fails above the limit (default 35 %).
set -euo pipefail
cd "$(dirname "$0")/.."
limit="${1:-35}"
count() { tr '\n' '\0' | xargs -0 -r cat -- | wc -l; }
code=$(git ls-files -- '*.cpp' '*.h' '*.hpp' '*.qml' '*.js' \
         ':!:tests/**' ':!:bench/**' ':!:examples/**' | count)
tests=$(git ls-files -- 'tests/**.cpp' 'tests/**.h' 'tests/**.hpp' 'tests/**.qml' \
          'tests/**.js' 'tests/**.html' 'tests/**.py' 'tests/**.sh' | count)
share=$(( tests * 1000 / (code + tests) ))
printf 'code %d lines, tests %d lines, tests %d.%d %%\n' "$code" "$tests" $((share / 10)) $((share % 10))
[ "$share" -le $((limit * 10)) ]
