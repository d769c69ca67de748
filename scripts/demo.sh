#!/usr/bin/env bash
# The main job on its embedded default: installs, builds, then serves the synthetic desktop
# over RFB on a Unix-domain socket until Ctrl-C (or SIGTERM).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
bash scripts/build.sh release

dir=$(mktemp -d /tmp/desktop-share-XXXXXX)
sock="$dir/desk.sock"
cat <<TXT
Serving a synthetic desktop (1280x800, 30 frames/s) on $sock. Watch it with
  TigerVNC:  vncviewer $sock
  a browser: websockify --web /usr/share/novnc --unix-target=$sock 127.0.0.1:6080
             then open http://127.0.0.1:6080/vnc.html and press Connect
Ctrl-C stops it.
TXT
status=0
build/bin/desktop-share --socket "$sock" --frame-source synthetic --geometry 1280x800 --input none || status=$?
rmdir "$dir" 2>/dev/null || true
exit $status
