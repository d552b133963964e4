#!/usr/bin/env bash
# Installs ONNX Runtime for Node (npm's onnxruntime-node, CPU only) into tools/ort/ of the source
# tree. The export tests run exported ONNX models through it to check them against a second,
# independent runtime; without it those tests skip. --ignore-scripts: the package's install
# script only downloads GPU parts, the CPU runtime ships inside the package.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dest="$root/tools/ort"
if ! command -v npm >/dev/null 2>&1; then
  echo "install-onnxruntime: npm is missing (scripts/install-deps.sh installs nodejs and npm)" >&2
  exit 1
fi
if [ -f "$dest/node_modules/onnxruntime-node/package.json" ]; then
  echo "install-onnxruntime: present in $dest"
  exit 0
fi
mkdir -p "$dest"
cd "$dest"
[ -f package.json ] || echo '{"name": "orvane-ort", "private": true}' > package.json
npm install --no-audit --no-fund --ignore-scripts onnxruntime-node
echo "install-onnxruntime: installed in $dest"
