#!/usr/bin/env bash
# Shared by scripts/test and scripts/demo: installs the missing Debian packages of
# scripts/packages.txt, configures build/ once and builds it incrementally.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

missing=()
while read -r pkg; do
  pkg="${pkg%%#*}"
  pkg="${pkg//[[:space:]]/}"
  [[ -z "$pkg" ]] && continue
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done < scripts/packages.txt

if ((${#missing[@]})); then
  echo "Installing missing packages: ${missing[*]}" >&2
  sudo_cmd=()
  if [[ "$(id -u)" -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
      echo "error: not root and sudo is not available; install as root: apt-get install ${missing[*]}" >&2
      exit 1
    fi
    # Without a terminal (CI) sudo must not wait for a password that never comes.
    if [[ -t 0 ]]; then sudo_cmd=(sudo); else sudo_cmd=(sudo -n); fi
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq </dev/null
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# The benchmarks are built (never run) with everything else, so that they keep compiling.
if [[ ! -f build/build.ninja ]] || ! grep -qx 'DROVER_BUILD_BENCH:BOOL=ON' build/CMakeCache.txt; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDROVER_BUILD_BENCH=ON >/dev/null
fi
cmake --build build -j "$(nproc)"
