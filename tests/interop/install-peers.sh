#!/usr/bin/env bash
# Installs osc.js as pinned in package-lock.json, when node_modules is missing or was installed
# from another lockfile. The Debian peers come from `scripts/install-deps.sh interop`.
set -euo pipefail
cd "$(dirname "$0")"

stamp=node_modules/.tandrel-package-lock.json
if cmp -s package-lock.json "$stamp"; then
  exit 0
fi
# osc.js's optional serial-port support is not needed, and its native build is not wanted.
npm ci --omit=optional --ignore-scripts --no-audit --no-fund
cp package-lock.json "$stamp"
