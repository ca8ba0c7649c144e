#!/usr/bin/env bash
# Installs what is missing, builds the Release binary, creates the example's
# input files and runs timbral on the example configuration, then lists the
# files it wrote.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
"$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DTIMBRAL_TESTS=OFF >/dev/null
cmake --build "$root/build/release" -j "$(nproc 2>/dev/null || echo 2)" --target timbral make_examples
rm -rf "$root/build/example"
mkdir -p "$root/build/example/in"
"$root/build/release/make_examples" "$root/build/example/in"
echo
echo "\$ build/release/timbral -c examples/example.json5"
"$root/build/release/timbral" -c examples/example.json5
echo
echo "files written under build/example/out:"
(cd "$root/build/example/out" && find . -type f | sort)
