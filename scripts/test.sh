#!/usr/bin/env bash
# Installs what Pellora needs, builds it with its tests and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DPELLORA_BUILD_TESTS=ON
ctest --test-dir build --output-on-failure -j "$(nproc)"
