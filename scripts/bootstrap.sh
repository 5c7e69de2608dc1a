#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: packages already present are not touched, and apt is not called
# at all when nothing is missing.
# Usage: scripts/bootstrap.sh [coverage|lint]   (also what make coverage or make lint needs)
set -euo pipefail

packages=(
    make cmake ninja-build
    mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
    wine wine64
    rapidjson-dev googletest
    openssl gcab
    perl
)
case "${1:-}" in
coverage) packages+=(gcovr) ;;
lint) packages+=(clang-14 clang-tidy-14) ;;
esac

# The test PKI time-stamps signatures and signs scripts, which osslsigncode
# learnt after the 2.5 of bookworm itself: take bookworm-backports' build.
osslsigncode_ok() {
    local version
    version="$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null)" || return 1
    dpkg --compare-versions "$version" ge 2.9
}

# Prints an apt source for bookworm-backports on the same archive as the first
# enabled "deb" source of bookworm among the given files (one-line
# sources.list files or deb822 .sources files), in the same format and with
# the same options (signed-by and the like): a machine that uses a mirror
# gets the mirror's backports. Fails, printing nothing, when no file names
# such a source.
backports_source() {
    local file
    for file in "$@"; do
        [ -r "$file" ] || continue
        case "$file" in
        *.sources) awk '
            function flush(   i) {
                if (enabled != "no" && (" " types " ") ~ / deb / && (" " suites " ") ~ / bookworm / && uri != "") {
                    print "Types: deb"
                    print "URIs: " uri
                    print "Suites: bookworm-backports"
                    print "Components: main"
                    if (signed != "") print signed
                    found = 1
                    exit
                }
                types = ""; suites = ""; uri = ""; signed = ""; enabled = ""; field = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^#/ { next }
            /^[ \t]/ { if (field == "signed-by") signed = signed "\n" $0; next }
            {
                colon = index($0, ":")
                if (colon == 0) { field = ""; next }
                field = tolower(substr($0, 1, colon - 1))
                value = substr($0, colon + 1)
                gsub(/^[ \t]+|[ \t]+$/, "", value)
                if (field == "types") types = value
                else if (field == "suites") suites = value
                else if (field == "uris") { split(value, parts, /[ \t]+/); uri = parts[1] }
                else if (field == "enabled") enabled = tolower(value)
                else if (field == "signed-by") signed = $0
            }
            END { if (!found) flush(); exit !found }
        ' "$file" && return 0 ;;
        *) awk '
            {
                sub(/#.*/, "")
                if ($1 != "deb") next
                options = ""
                i = 2
                if (substr($i, 1, 1) == "[") {
                    options = $i
                    while (substr($i, length($i), 1) != "]" && i < NF) { i++; options = options " " $i }
                    i++
                }
                if ($(i + 1) == "bookworm" && $i != "") {
                    print "deb " (options == "" ? "" : options " ") $i " bookworm-backports main"
                    found = 1
                    exit
                }
            }
            END { exit !found }
        ' "$file" && return 0 ;;
        esac
    done
    return 1
}

main() {
    local missing=() p
    for p in "${packages[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done

    if [ ${#missing[@]} -eq 0 ] && osslsigncode_ok; then
        return 0
    fi

    local SUDO=
    if [ "$(id -u)" -ne 0 ]; then
        SUDO=sudo
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
            local source target
            if ! source="$(backports_source /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
                /etc/apt/sources.list.d/*.sources)"; then
                echo "bootstrap: no Debian bookworm source in /etc/apt to derive bookworm-backports from" >&2
                return 1
            fi
            target=/etc/apt/sources.list.d/wardline-bookworm-backports.list
            case "$source" in Types:*) target="${target%.list}.sources" ;; esac
            printf '%s\n' "$source" | $SUDO tee "$target" >/dev/null
            $SUDO apt-get update -qq
        fi
        $SUDO apt-get install -y -qq --no-install-recommends -t bookworm-backports osslsigncode
    fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
