#!/usr/bin/env bash
# The bookworm-backports source that bootstrap derives from a machine's own
# apt sources, for machines that use a mirror, in both source formats.
# Usage: test-backports-source.sh <scripts/bootstrap.sh>
set -uo pipefail
# shellcheck source=../../scripts/bootstrap.sh
source "$1"
set +e
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
failed=0

check() { # name expected-status expected-output files...
    local name="$1" want_status="$2" want="$3"
    shift 3
    local got status
    got="$(backports_source "$@")"
    status=$?
    if [ "$status" != "$want_status" ] || [ "$got" != "$want" ]; then
        failed=$((failed + 1))
        printf 'FAIL %s (status %s, expected %s)\n--- got\n%s\n--- expected\n%s\n' \
            "$name" "$status" "$want_status" "$got" "$want"
    else
        echo "PASS $name"
    fi
}

cat > "$dir/mirror.sources" <<'SRC'
# Debian, through the site's mirror
Types: deb
URIs: http://mirror.example.net/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://src.example.net/debian
Suites: bookworm
Components: main

Enabled: no
Types: deb
URIs: http://disabled.example.net/debian
Suites: bookworm
Components: main

Types: deb deb-src
URIs: https://mirror.example.net/debian/ http://second.example.net/debian
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
check "deb822 mirror" 0 "Types: deb
URIs: https://mirror.example.net/debian/
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" "$dir/mirror.sources"

cat > "$dir/inline.sources" <<'SRC'
Types: deb
URIs: http://mirror.example.net/debian
Suites: bookworm
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPL0BUBEADmW5NdOOHwPIJlgPu6JDcKw/NZJPR8lsD3K87ZM18gzyQZJD+w
 -----END PGP PUBLIC KEY BLOCK-----
SRC
check "deb822 inline key" 0 "Types: deb
URIs: http://mirror.example.net/debian
Suites: bookworm-backports
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPL0BUBEADmW5NdOOHwPIJlgPu6JDcKw/NZJPR8lsD3K87ZM18gzyQZJD+w
 -----END PGP PUBLIC KEY BLOCK-----" "$dir/inline.sources"

cat > "$dir/sources.list" <<'SRC'
# deb http://commented.example.net/debian bookworm main
deb-src http://src.example.net/debian bookworm main
deb http://mirror.example.net/debian-security bookworm-security main
deb [ arch=amd64 signed-by=/etc/apt/keyrings/mirror.gpg ] http://mirror.example.net/debian bookworm main contrib # site mirror
SRC
check "one-line mirror with options" 0 \
    "deb [ arch=amd64 signed-by=/etc/apt/keyrings/mirror.gpg ] http://mirror.example.net/debian bookworm-backports main" \
    "$dir/sources.list"

printf 'deb http://plain.example.net/debian bookworm main\n' > "$dir/plain.list"
check "first file that names one" 0 "deb http://plain.example.net/debian bookworm-backports main" \
    "$dir/missing.list" "$dir/plain.list" "$dir/mirror.sources"

printf 'deb http://mirror.example.net/debian trixie main\n' > "$dir/other.list"
printf 'Types: deb\nURIs: http://mirror.example.net/debian\nSuites: trixie\n' > "$dir/other.sources"
check "no bookworm source" 1 "" "$dir/other.list" "$dir/other.sources" "$dir/missing.sources"

echo "bootstrap source tests: $failed failed"
[ "$failed" -eq 0 ]
