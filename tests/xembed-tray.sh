#!/bin/bash
# Runs an XEmbed system tray on $DISPLAY, docked at the top right: trayer
# where the release has it (Debian 12, 13), else stalonetray (13, 14).
if command -v trayer >/dev/null; then
    exec trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false --tint 0xd0d0d0 --expand true "$@"
elif command -v stalonetray >/dev/null; then
    exec stalonetray --geometry 1x1-0+0 --grow-gravity NE --icon-size 24 --window-type dock \
        --background '#d0d0d0' "$@"
fi
echo "xembed-tray: neither trayer nor stalonetray is installed" >&2
exit 1
