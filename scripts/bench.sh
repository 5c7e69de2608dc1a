#!/usr/bin/env bash
# make bench: build and run every benchmark under Wine, each BENCH_RUNS times
# (default 3), and end with one table of the figures they print as
#   BENCH <name> value=<x> baseline=<y> ratio=<r> target=<op><t> holds=<yes|no>
# Each benchmark already takes medians of rounds inside one run, with the
# baseline measured in the same run; the table gives the median over the runs
# and the lowest and highest ratio, so that the reader sees how stable a
# figure is on a shared machine. A figure holds when its median ratio meets
# the target and at least half of the runs said it held. Exit status 1 when a
# figure misses or a benchmark ends without its figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
runs="${BENCH_RUNS:-3}"
source "$root/scripts/wine-session.sh"

out="$(mktemp -d)"
# wine-session.sh may have set its own exit trap (stopping the server it
# started): keep it.
_wl_session_trap="$(trap -p EXIT | sed "s/^trap -- '\(.*\)' EXIT\$/\1/")"
trap "rm -rf '$out'; ${_wl_session_trap:-:}" EXIT
lines="$out/lines"
: >"$lines"
failed=()
# The benchmarks of the source tree: a folder removed from bench/ may have
# left its executable in the build tree.
benches=()
for source in "$root"/bench/*/CMakeLists.txt; do
    folder="$(basename "$(dirname "$source")")"
    found=("$build/bench/$folder"/bench_*.exe)
    if [ -e "${found[0]}" ]; then
        benches+=("${found[@]}")
    else
        failed+=("bench/$folder (not built)")
    fi
done
for bench in "${benches[@]}"; do
    name="$(basename "$bench" .exe)"
    for run in $(seq 1 "$runs"); do
        echo "== $name (run $run of $runs)"
        # Output goes to a file: Wine's services may inherit the handles and
        # would keep a pipe open.
        rc=0
        (cd "$(dirname "$bench")" && $WINE "$bench" </dev/null >"$out/run.raw" 2>&1) || rc=$?
        tr -d '\r' <"$out/run.raw" | tee "$out/run.txt"
        if [ "$rc" -ne 0 ] || ! grep -q '^BENCH ' "$out/run.txt"; then
            failed+=("$name (run $run: exit $rc)")
            continue
        fi
        grep '^BENCH ' "$out/run.txt" | sed "s/^BENCH /BENCH $name /" >>"$lines"
    done
done

echo
echo "== Benchmarks: medians over $runs runs (each a median of rounds against a baseline of the same run)"
status=0
awk -v runs="$runs" '
function number(text) { return text + 0 }
function unit(text) { sub(/^[-+0-9.eE]+/, "", text); return text }
function med(list, n,    sorted, i, j, t) {
    for (i = 1; i <= n; i++) sorted[i] = list[i]
    for (i = 2; i <= n; i++) { t = sorted[i]; for (j = i - 1; j >= 1 && sorted[j] > t; j--) sorted[j + 1] = sorted[j]; sorted[j + 1] = t }
    return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
}
function meets(r, op, t) {
    if (op == "<=") return r <= t
    if (op == "<") return r < t
    if (op == ">=") return r >= t
    if (op == ">") return r > t
    return 0
}
{
    key = $3
    if (!(key in count)) { order[++figures] = key; exe[key] = $2 }
    n = ++count[key]
    for (f = 4; f <= NF; f++) {
        split($f, kv, "=")
        field = kv[1]; v = substr($f, length(field) + 2)
        if (field == "value") { values[key, n] = number(v); vunit[key] = unit(v) }
        else if (field == "baseline") { baselines[key, n] = number(v); bunit[key] = unit(v) }
        else if (field == "ratio") ratios[key, n] = number(v)
        else if (field == "target") { match(v, /^[<>]=?/); op[key] = substr(v, 1, RLENGTH); target[key] = number(substr(v, RLENGTH + 1)) }
        else if (field == "holds" && v == "yes") held[key]++
    }
}
END {
    printf "%-34s %12s %12s %7s %13s %7s %6s %5s\n", "figure", "value", "baseline", "ratio", "ratio range", "target", "runs", "holds"
    misses = 0
    for (i = 1; i <= figures; i++) {
        key = order[i]; n = count[key]
        lo = hi = ratios[key, 1]
        for (j = 1; j <= n; j++) {
            vl[j] = values[key, j]; bl[j] = baselines[key, j]; rl[j] = ratios[key, j]
            if (rl[j] < lo) lo = rl[j]
            if (rl[j] > hi) hi = rl[j]
        }
        r = med(rl, n)
        ok = meets(r, op[key], target[key]) && 2 * held[key] >= n
        if (!ok) misses++
        printf "%-34s %10.2f%-2s %10.2f%-2s %7.2f %6.2f-%-6.2f %3s%-4g %3d/%-2d %5s\n", key, med(vl, n), vunit[key], med(bl, n), bunit[key], r, lo, hi, op[key], target[key], n, runs, ok ? "yes" : "NO"
    }
    printf "%d of %d figures hold\n", figures - misses, figures
    exit misses > 0 ? 1 : 0
}' "$lines" || status=1
for f in "${failed[@]+"${failed[@]}"}"; do
    echo "no figures from $f"
    status=1
done
exit "$status"
