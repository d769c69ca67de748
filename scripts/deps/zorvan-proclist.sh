#!/usr/bin/env bash
# Installs the npm packages the zorvan_proclist addon compiles against (node-addon-api and
# node-api-headers, pinned in its package-lock.json). Quick no-op when they already match.
set -euo pipefail
pkg=$(cd "$(dirname "$0")/../../packages/zorvan-proclist" && pwd)

if ! command -v npm >/dev/null 2>&1; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  # Debian's npm; machines whose Node.js bundles npm never get here.
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends npm >/dev/null
fi

# Up to date when every locked package is installed at its locked version.
if node -e '
  const lock = require(process.argv[1] + "/package-lock.json");
  for (const [where, entry] of Object.entries(lock.packages)) {
    if (!where) continue;
    const installed = require(process.argv[1] + "/" + where + "/package.json");
    if (installed.version !== entry.version) process.exit(1);
  }' "$pkg" 2>/dev/null; then
  exit 0
fi
echo "zorvan-proclist: npm ci"
(cd "$pkg" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
