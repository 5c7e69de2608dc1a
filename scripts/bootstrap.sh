#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: packages already present are not touched, and apt is not called
# at all when nothing is missing.
# Usage: scripts/bootstrap.sh [coverage]   (coverage: also what make coverage needs)
set -euo pipefail

packages=(
    make cmake ninja-build
    mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
    wine wine64
    rapidjson-dev googletest
    openssl gcab
)
if [ "${1:-}" = coverage ]; then
    packages+=(gcovr)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

# The test PKI time-stamps signatures and signs scripts, which osslsigncode
# learnt after the 2.5 of bookworm itself: take bookworm-backports' build.
osslsigncode_ok() {
    local version
    version="$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null)" || return 1
    dpkg --compare-versions "$version" ge 2.9
}

if [ ${#missing[@]} -eq 0 ] && osslsigncode_ok; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
if [ ${#missing[@]} -ne 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if ! osslsigncode_ok; then
    echo "bootstrap: installing osslsigncode from bookworm-backports"
    if ! apt-cache policy osslsigncode | grep -q bookworm-backports; then
        echo "deb http://deb.debian.org/debian bookworm-backports main" |
            $SUDO tee /etc/apt/sources.list.d/wardline-bookworm-backports.list >/dev/null
        $SUDO apt-get update -qq
    fi
    $SUDO apt-get install -y -qq --no-install-recommends -t bookworm-backports osslsigncode
fi
