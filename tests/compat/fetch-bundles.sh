#!/usr/bin/env bash
# Fetches the compatibility suite's bundles from the npm registry into
# OUT/<bundle>/lib/ once per pinned version (the newest release that runs on
# this engine) and builds the app with esbuild. Never fails: what cannot be
# fetched is left out, and its rows skip.
set -u
out=$1; src=$(cd "$(dirname "$0")" && pwd)
fetched() { [ "$(cat "$out/$1/.pinned" 2>/dev/null)" = "$2" ]; }
# Without the registry, one quick failure and no more tries.
export npm_config_fetch_retries=0 npm_config_fetch_timeout=30000
offline=
while read -r bundle package; do
  fetched "$bundle" "$package" || [ -n "$offline" ] && continue
  rm -rf "${out:?}/$bundle" "$out/tmp" && mkdir -p "$out/tmp" "$out/$bundle/lib"
  if tgz=$(cd "$out/tmp" && timeout 120 npm pack --silent "$package" 2>/dev/null) \
     && tar xzf "$out/tmp/$tgz" -C "$out/$bundle/lib" --strip-components=1; then
    echo "$package" > "$out/$bundle/.pinned"
  else
    echo "compat: $package could not be fetched from the npm registry" >&2; rm -rf "${out:?}/$bundle"
    offline=1
  fi
done <<'LIST'
reveal reveal.js@6.0.2
pdf pdfjs-dist@4.5.136
katex katex@0.19.1
sql sql.js@1.17.0
lottie lottie-web@5.13.0
LIST
# The SQL engine's database, which the page reads with fetch().
[ -d "$out/sql" ] && python3 -c 'import sqlite3, sys; d = sqlite3.connect(sys.argv[1])
d.executescript("drop table if exists lessons; create table lessons(id, title);"
                "insert into lessons values (1, \"One\"), (2, \"Two\")"); d.commit()' "$out/sql/lessons.sqlite"
# The app is built from our own source by a pinned bundler.
spa=esbuild@0.28.2
if ! fetched spa "$spa" && [ -z "$offline" ]; then
  rm -rf "${out:?}/spa"
  if timeout 120 npm install --silent --no-audit --no-fund --prefix "$out/tools" "$spa" >&2 \
     && "$out/tools/node_modules/.bin/esbuild" "$src/spa/main.js" --bundle --splitting \
          --format=esm --target=chrome87 --loader:.png=file --outdir="$out/spa/app" >&2; then
    echo "$spa" > "$out/spa/.pinned"
  else
    echo "compat: the app could not be built with $spa" >&2; rm -rf "${out:?}/spa"
  fi
fi
rm -rf "$out/tmp"; exit 0
