# Sourced by make test, make demo and make bench: install what is missing,
# build, prepare the build's Wine prefix, and keep one wineserver for the
# session. A server that was already running belongs to someone else and is
# left alone; one started here is stopped when the calling script exits.
# Wine's own services are started here, with their output going nowhere:
# started by a test or by hubhost they would inherit its output and keep a
# pipe open after the program ended.
# Expects $root and $build; leaves the Wine environment set.
"$root/scripts/bootstrap.sh"
"$root/scripts/build.sh" "$build"
"$root/scripts/wine-prefix.sh" "$build"

source "$root/scripts/wine-env.sh" "$build"
_wl_stop_server() { wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; }
if wineserver -p >/dev/null 2>&1; then
    trap _wl_stop_server EXIT
fi
$WINE cmd /c exit >/dev/null 2>&1 </dev/null || true
