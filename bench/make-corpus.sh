#!/usr/bin/env bash
# Builds bench/corpus/course: a course-like tree of well over 100 MB for
# bench_kelcab, and bench/corpus/reveal: a real third-party presentation
# (reveal.js's own demo) for the start-up benchmark. Web content comes from a few large npm packages (their
# JavaScript, CSS, fonts and maps), media are random bytes with media names.
# The folder is not tracked; rerunning replaces it.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out="$here/corpus/course"
reveal="$here/corpus/reveal"
packages=(typescript@5.4.5 @babel/standalone@7.24.5 monaco-editor@0.48.0 three@0.164.1 pdfjs-dist@4.2.67)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out" "$reveal"
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

# The presentation as its author ships it, its demo as the start page. Its
# few pictures from the web become a local one, so that no run waits on the
# network.
(cd "$work" && npm pack --silent reveal.js@5.1.0 > packed.txt)
mkdir -p "$reveal"
tar -xzf "$work/$(tail -n 1 "$work/packed.txt")" -C "$reveal" --strip-components=1
printf '<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"/>\n' > "$reveal/blank.svg"
sed -E 's#https://(static\.slid\.es|www\.slideshare\.net)/[^"]*#blank.svg#g' "$reveal/demo.html" > "$reveal/index.html"
find "$reveal" -type f | wc -l
