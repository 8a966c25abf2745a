#!/bin/sh
# Brings Quillmark back after an update has been unpacked into the install root.
# Started detached, without arguments, by the program that is about to quit: waits
# (up to about 30 s) until no "quillmark" process of this install root runs any
# more, then starts the program again, detached. The program is
# $QUILLMARK_BIN (a file, or a folder holding "quillmark"), else <root>/bin/quillmark.

ROOT=$(cd "$(dirname "$0")" && pwd -P) || exit 1
DEFAULT_ROOT=${HOME:-/nonexistent}/.local/share/Quillmark

BIN=${QUILLMARK_BIN:-$ROOT/bin}
if [ -d "$BIN" ]; then
    BIN=$BIN/quillmark
fi

# True while a process named quillmark works on this install root.
old_process_running() {
    for dir in /proc/[0-9]*; do
        name=
        read -r name 2>/dev/null <"$dir/comm" || continue
        [ "$name" = quillmark ] || continue
        its_root=$(tr '\0' '\n' <"$dir/environ" 2>/dev/null | sed -n 's/^QUILLMARK_ROOT=//p' | head -n 1)
        [ -n "$its_root" ] || its_root=$DEFAULT_ROOT
        its_root=$(cd "$its_root" 2>/dev/null && pwd -P) || continue
        [ "$its_root" = "$ROOT" ] && return 0
    done
    return 1
}

tries=0
while old_process_running && [ "$tries" -lt 30 ]; do
    sleep 1
    tries=$((tries + 1))
done

if [ ! -x "$BIN" ]; then
    echo "QuillLaunch.sh: no program at $BIN" >&2
    exit 1
fi

QUILLMARK_ROOT=$ROOT
export QUILLMARK_ROOT
cd "$ROOT" || exit 1
if command -v setsid >/dev/null 2>&1; then
    setsid "$BIN" </dev/null >/dev/null 2>&1 &
else
    nohup "$BIN" </dev/null >/dev/null 2>&1 &
fi
exit 0
