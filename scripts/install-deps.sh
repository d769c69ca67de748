#!/usr/bin/env bash
# Installs everything the project needs on Debian 12. Idempotent: when every package
# listed in scripts/deps/*.apt is already installed it touches nothing (no apt-get update).
# Further install steps that are not Debian packages live in scripts/deps/*.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

mapfile -t wanted < <(cat "$here"/deps/*.apt | sed -e 's/#.*//' -e 's/[[:space:]]//g' | grep -v '^$' | sort -u)
missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

shopt -s nullglob
for step in "$here"/deps/*.sh; do
  bash "$step"
done
