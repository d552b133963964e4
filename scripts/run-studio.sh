#!/usr/bin/env bash
# Installs what is missing, builds, and launches the studio.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
exec "${ORVANE_BUILD_DIR:-$root/build}/bin/orvane-studio" "$@"
