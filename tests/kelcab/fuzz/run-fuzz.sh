#!/usr/bin/env bash
# Builds the kelcab fuzzer (libFuzzer, ASan, UBSan) from the library's sources
# and runs it for $FUZZ_SECONDS (60); fails on a crash, leak, timeout or
# out-of-memory, keeping the input in $FUZZ_ARTIFACTS.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
lib=$(cd "$here/../../../kelcab" && pwd)
cxx=${CXX_FUZZ:-clang++}
seconds=${FUZZ_SECONDS:-60}
artifacts=${FUZZ_ARTIFACTS:-${TMPDIR:-/tmp}/kelcab-fuzz-artifacts}
work=$(mktemp -d "${TMPDIR:-/tmp}/kelcab-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts" "$work/corpus"

moc="$(pkg-config --variable=host_bins Qt5Core)/moc"
mocs=()
for header in $(grep -l Q_OBJECT "$lib"/include/kelcab/*.h); do
    mocs+=("$work/moc_$(basename "$header" .h).cpp")
    "$moc" "$header" -o "${mocs[-1]}"
done

# Qt itself is not instrumented: its vtables are unknown to the vptr check.
flags=(-std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize=vptr
       -fno-sanitize-recover=undefined -DKELCAB_LIBRARY -DQT_NO_DEBUG
       -I"$lib/include" -I"$lib/src")
# shellcheck disable=SC2207
qtflags=($(pkg-config --cflags Qt5Core))
# shellcheck disable=SC2207
libs=($(pkg-config --libs Qt5Core zlib))

objects=()
for source in "$lib"/src/*.cpp "${mocs[@]}" "$here/fuzz_archive.cpp"; do
    object="$work/$(basename "$source" .cpp).o"
    "$cxx" "${flags[@]}" "${qtflags[@]}" -c "$source" -o "$object" &
    objects+=("$object")
    # Two compilers at a time: the machine is shared.
    if (( $(jobs -r | wc -l) >= 2 )); then wait -n; fi
done
wait
"$cxx" "${flags[@]}" "${objects[@]}" "${libs[@]}" -o "$work/fuzz_archive"

cd "$work"
"$work/fuzz_archive" -max_total_time="$seconds" -rss_limit_mb=512 -malloc_limit_mb=256 -timeout=10 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 "$work/corpus" "$here/corpus"
