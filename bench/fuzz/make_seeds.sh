#!/usr/bin/env bash
# Seed corpora for the fuzz targets from the built firmware images and the INI resources.
# Usage: make_seeds.sh <build dir with firmware/> <output dir>
set -euo pipefail
build="$1"
out="$2"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
mkdir -p "$out/image" "$out/ini"
i=0
for fw in "$build"/firmware/*.rfw; do
  name="$(basename "$fw" .rfw)"
  # Block at 0xF000 for every built-in definition (select 0x10..0x17: six built-in, the hand-made one, none) and the block at the
  # start read as the image itself (select 0..7); 4 KiB of each is enough for the block.
  for def in 0 1 2 3 4 5 6 7; do
    { printf "\\x$(printf %02x $((0x10 + def)))\\x00\\x00\\xf0\\x00\\x10\\xfe\\xef"
      dd if="$fw" bs=4096 skip=15 count=1 status=none; } >"$out/image/$name-$def-f000"
    { printf "\\x$(printf %02x "$def")\\x00\\x00\\x00\\x00\\x10\\xfe\\xef"
      dd if="$fw" bs=4096 count=1 status=none; } >"$out/image/$name-$def-0"
  done
  i=$((i + 1))
done
cp "$root"/resources/settings.ini "$root"/resources/VidPidList.ini "$out/ini/"
cp "$root"/resources/ic_types/* "$out/ini/" 2>/dev/null || true
echo "$i images, $(ls "$out/ini" | wc -l) INI texts" >&2
