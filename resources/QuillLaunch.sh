#!/bin/sh
# Brings Quillmark back after an update. Started detached, without arguments, by the
# program that is about to quit, from the install root:
#  1. waits (up to about 30 s) until no "quillmark" process of this install root runs;
#  2. moves the release the program unpacked into UpdateStaging into place: the
#     installed files it replaces go aside into UpdateBackup first, so that when a
#     file cannot be moved the installed release is put back whole, and
#     UpdateFailed.txt tells the next start what went wrong;
#  3. starts the program again, detached.
# The program is $QUILLMARK_BIN (a file, or a folder holding "quillmark"), else
# <root>/bin/quillmark. QuillLaunch.bat is the same script for Windows.

ROOT=$(cd "$(dirname "$0")" && pwd -P) || exit 1
DEFAULT_ROOT=${HOME:-/nonexistent}/.local/share/Quillmark
STAGE=$ROOT/UpdateStaging
BACKUP=$ROOT/UpdateBackup
FAILED=$ROOT/UpdateFailed.txt

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

# Moves every file of UpdateStaging to the same place under the root, or none.
install_staged_release() {
    [ -d "$STAGE" ] || return 0
    rm -rf "$BACKUP"
    files=$(cd "$STAGE" && find . -type f | sed 's|^\./||')
    failed_file=
    old_ifs=$IFS
    IFS='
'
    for f in $files; do
        if [ -e "$ROOT/$f" ] || [ -L "$ROOT/$f" ]; then
            mkdir -p "$BACKUP/$(dirname "$f")" 2>/dev/null && mv -f "$ROOT/$f" "$BACKUP/$f" 2>/dev/null ||
                { failed_file=$f; break; }
        fi
    done
    moved=
    if [ -z "$failed_file" ]; then
        for f in $files; do
            mkdir -p "$ROOT/$(dirname "$f")" 2>/dev/null && mv -f "$STAGE/$f" "$ROOT/$f" 2>/dev/null ||
                { failed_file=$f; break; }
            moved="$moved$f
"
        done
    fi
    if [ -n "$failed_file" ]; then
        # Back to the installed release: what came in goes, what went aside returns.
        for f in $moved; do
            rm -f "$ROOT/$f"
        done
        for f in $(cd "$BACKUP" 2>/dev/null && find . -type f | sed 's|^\./||'); do
            mkdir -p "$ROOT/$(dirname "$f")" 2>/dev/null
            mv -f "$BACKUP/$f" "$ROOT/$f"
        done
        echo "The new release could not be moved into place ($failed_file)." >"$FAILED"
    fi
    IFS=$old_ifs
    rm -rf "$STAGE" "$BACKUP"
}

tries=0
while old_process_running && [ "$tries" -lt 30 ]; do
    sleep 1
    tries=$((tries + 1))
done

install_staged_release

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
