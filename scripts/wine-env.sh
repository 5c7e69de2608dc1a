# Sourced by the runner scripts: a private Wine prefix inside the build folder.
# Usage: source scripts/wine-env.sh <build-dir>
_wl_build="$(cd "${1:?build dir}" && pwd)"
export WINEPREFIX="$_wl_build/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEARCH=win64
# No crash dialogs or debugger: a crashing test must fail, not hang or exit 0.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
export DISPLAY=
if command -v wine64 >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ]; then
    export WINE="${WINE:-wine}"
else
    export WINE="${WINE:-wine}"
fi
unset _wl_build
