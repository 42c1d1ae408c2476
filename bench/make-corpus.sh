#!/usr/bin/env bash
# Builds bench/corpus/course: a course-like tree of well over 100 MB for
# bench_kelcab. Web content comes from a few large npm packages (their
# JavaScript, CSS, fonts and maps), media are random bytes with media names.
# The folder is not tracked; rerunning replaces it.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out="$here/corpus/course"
packages=(typescript@5.4.5 @babel/standalone@7.24.5 monaco-editor@0.48.0 three@0.164.1 pdfjs-dist@4.2.67)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out/lib" "$out/media/video" "$out/media/img" "$out/media/audio"

for package in "${packages[@]}"; do
    (cd "$work" && npm pack --silent "$package" > packed.txt)
    tarball="$work/$(tail -n 1 "$work/packed.txt")"
    name=${package%@*}
    name=${name//\//-}
    mkdir -p "$out/lib/$name"
    tar -xzf "$tarball" -C "$out/lib/$name" --strip-components=1
done

# Media: incompressible bytes under names the packer stores raw.
for i in 1 2 3 4; do head -c $((6 * 1024 * 1024)) /dev/urandom > "$out/media/video/lesson$i.mp4"; done
for i in $(seq 1 40); do head -c $((150 * 1024)) /dev/urandom > "$out/media/img/slide$i.PNG"; done
for i in $(seq 1 10); do head -c $((400 * 1024)) /dev/urandom > "$out/media/audio/voice$i.mp3"; done
printf '<!doctype html><title>Course</title><script src="lib/three/build/three.module.js"></script>\n' > "$out/index.html"

du -sh "$out"
find "$out" -type f | wc -l
