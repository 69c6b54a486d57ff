#!/bin/bash
# Installs what is missing, builds, and runs the service from build/bin with the
# simulated reader and a sample card on it. Stop it with Ctrl+C (or the tray's
# exit entry on a desktop).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/qt.sh

scripts/install-deps.sh
scripts/build.sh
bin=$krv_build/bin

if [ ! -e "$bin/card.txt" ] && [ ! -e "$bin/card.gb" ]; then
    cp "$bin/cards/card-A.txt" "$bin/card.txt"
    echo "Put the sample card of kind A on the simulated reader: $bin/card.txt"
    echo "  (copy cards/card-J.txt or cards/card-I.txt over it, or remove it to take the card away)"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
    echo "No DISPLAY: running on Qt's offscreen platform, without window or tray icon."
fi
echo "Serving on ws://127.0.0.1:35561 (log: create $bin/krlog.txt to switch it on)"
exec "$bin/KRVI2VeravaWebSocket" "$@"
