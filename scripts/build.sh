#!/usr/bin/env bash
# Configures and builds Pellora into build/ (or the folder given as the first argument).
# Further arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
