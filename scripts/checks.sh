# Sourced by the shell checks (tests/dist/check-dist.sh,
# scripts/check-reproducible.sh): `check <what> <command...>` runs one check
# and prints PASS or FAIL with the command's output indented (and returns
# 1 on FAIL, for a check the others depend on); `checks_done`
# prints the count and fails when any check did.
checks_passed=0
checks_failed=0

check() {
    local what="$1" out
    shift
    if out="$("$@" 2>&1)"; then
        echo "PASS $what"
        checks_passed=$((checks_passed + 1))
    else
        echo "FAIL $what"
        printf '%s\n' "$out" | sed 's/^/    /'
        checks_failed=$((checks_failed + 1))
        return 1
    fi
}

checks_done() {
    echo "$checks_passed passed, $checks_failed failed"
    [ "$checks_failed" -eq 0 ]
}
