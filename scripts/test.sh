#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test (labels unit, gui, engine, e2e).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
cd "${ORVANE_BUILD_DIR:-$root/build}"
ctest --output-on-failure -j 2 "$@"
