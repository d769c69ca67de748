#!/usr/bin/env bash
# The main job on its embedded default: installs, builds, then shows the helper working on a
# small demo Messages folder under a temporary HOME.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
bash scripts/build.sh release

helper="$root/build/bin/jexo-bot-helper"
demo=$(mktemp -d /tmp/jexo-demo-XXXXXX)
export HOME="$demo/home" TMPDIR="$demo/tmp"
mkdir -p "$HOME/Library/Messages/Attachments/42" "$TMPDIR"
printf 'SQLite format 3\0demo' > "$HOME/Library/Messages/chat.db"
printf 'wal' > "$HOME/Library/Messages/chat.db-wal"
printf 'a picture' > "$HOME/Library/Messages/Attachments/42/photo.jpg"

echo "\$ jexo-bot-helper help"
"$helper" help
echo
echo "\$ jexo-bot-helper snapshot-messages-db"
"$helper" snapshot-messages-db
echo "\$ jexo-bot-helper copy-attachment --from ~/Library/Messages/Attachments/42/photo.jpg"
"$helper" copy-attachment --from '~/Library/Messages/Attachments/42/photo.jpg'
echo "\$ jexo-bot-helper copy-attachment --from /etc/passwd"
"$helper" copy-attachment --from /etc/passwd || echo "(exit status $?)"
echo
echo "Demo files are in $demo"
