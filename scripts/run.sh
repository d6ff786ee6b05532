#!/usr/bin/env bash
# Installs what Pellora needs, builds it and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
exec build/src/app/pellora "$@"
