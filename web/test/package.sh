#!/bin/bash
# The client as a web developer gets it: packed, installed from the tarball
# into a fresh project (test/consumer, its tools pinned by its lock file); the
# README's page type-checked strictly under the bundler and node16
# resolutions and bundled for the browser with esbuild, the README's browser
# example bundled too, and its example tests run against the fake service.
set -euo pipefail
web=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
npm=(--no-audit --no-fund --ignore-scripts --loglevel=error)

tarball=$(cd "$web" && npm pack --pack-destination "$work" --silent "${npm[@]}" | tail -1)
echo "packed $tarball:"
tar -tzf "$work/$tarball" | sort | sed 's/^/  /'
cp -r "$web/test/consumer" "$work/app"
cd "$work/app"
npm ci "${npm[@]}"
npm install --no-save "${npm[@]}" "$work/$tarball"

# The README's code blocks, each marked with the file it becomes.
node - "$web/README.md" <<'JS'
const fs = require('node:fs');
const text = fs.readFileSync(process.argv[2], 'utf8');
const blocks = [...text.matchAll(/<!-- file: (\S+) -->\n```\w*\n([\s\S]*?)```/g)];
for (const [, name, code] of blocks)
  fs.writeFileSync(name, code);
if (blocks.length < 3)
  throw new Error(`only ${blocks.length} marked examples in the README`);
console.log('examples:', blocks.map((block) => block[1]).join(', '));
JS

node_modules/.bin/tsc -p tsconfig.bundler.json
node_modules/.bin/tsc -p tsconfig.node16.json
for page in page.ts browser.js; do
    node_modules/.bin/esbuild "$page" --bundle --format=esm --platform=browser --log-level=warning \
        --outfile="dist/${page%.*}.js"
    # The bundle carries the client, not an import of it.
    ! grep -q "from *['\"]krvi2veravawebsocket-client" "dist/${page%.*}.js"
done
node --test reader.test.mjs
