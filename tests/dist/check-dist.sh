#!/usr/bin/env bash
# Checks the release folder against the library the build linked: sums, no
# debug information left in the library, a debug link that leads to the right
# file, a signature that verifies to the root, the library hardened, without
# its signature the built library packaged unsigned, the same exports and
# version resource, and the example scenario in hubhost against the shipped
# library.
# Usage: check-dist.sh <build-dir> <dist-dir> <built Wardline.dll> <signing chain (PEM)>
#                      <signing key (PEM)> <CA file (PEM)> <dist_verify.exe> <hubhost.exe>
#                      <scenario.hub>
set -uo pipefail
# Pipelines end in a grep that reads its whole input: one that stopped at the
# first match would kill its writer, and pipefail would report that.
here="$(cd "$(dirname "$0")" && pwd)"
scripts="$here/../../scripts"
build="$1"; dist="$2"; built="$3"; chain="$4"; signing_key="$5"; ca="$6"; verify="$7"; hubhost="$8"
scenario="$9"
shipped="$dist/Wardline.dll"
debug="$dist/Wardline.dll.debug"
objdump=x86_64-w64-mingw32-objdump
objcopy=x86_64-w64-mingw32-objcopy

source "$scripts/checks.sh"

section_names() { "$objdump" -h "$1" | awk '$1 ~ /^[0-9]+$/ {print $2}'; }

sums_cover_and_match() {
    local listed
    listed="$(awk '{print $2}' "$dist/SHA256SUMS" | sort | tr '\n' ' ')"
    [ "$listed" = "Wardline.dll Wardline.dll.debug " ] || { echo "SHA256SUMS lists: $listed"; return 1; }
    (cd "$dist" && sha256sum -c SHA256SUMS)
}

no_debug_information() {
    local left
    section_names "$built" | grep -x '.debug_info' >/dev/null || { echo "the built library has no .debug_info: nothing to compare"; return 1; }
    left="$(section_names "$shipped" | grep -E '^\.z?debug' || true)"
    [ -z "$left" ] || { echo "debug sections left:" $left; return 1; }
    "$objdump" -t "$shipped" | grep -x 'no symbols' >/dev/null || { echo "the symbol table is still there"; return 1; }
}

# The link names the debug file and carries its CRC-32 (little-endian), which
# debuggers compare before they use the file.
debug_link_leads_to_symbols() {
    local tmp name crc want
    tmp="$(mktemp -d)"
    trap 'rm -rf "$tmp"' RETURN
    "$objcopy" --dump-section .gnu_debuglink="$tmp/link" "$shipped" "$tmp/copy" || return 1
    name="$(tr '\0' '\n' < "$tmp/link" | sed -n 1p)"
    [ "$name" = "Wardline.dll.debug" ] || { echo "debug link names '$name'"; return 1; }
    crc="$(tail -c4 "$tmp/link" | od -An -tx4 | tr -d ' ')"
    # gzip's trailer holds the CRC-32 of its input in the same byte order.
    want="$(gzip -c < "$debug" | tail -c8 | head -c4 | od -An -tx4 | tr -d ' ')"
    [ "$crc" = "$want" ] || { echo "debug link CRC $crc, Wardline.dll.debug has $want"; return 1; }
    "$objdump" --dwarf=follow-links --dwarf=aranges "$shipped" | grep -E 'loaded from (.*/)?Wardline\.dll\.debug\)' >/dev/null ||
        { echo "objdump did not follow the link"; return 1; }
    "$objdump" -t "$debug" | grep ' CreateObject$' >/dev/null || { echo "no symbol CreateObject in the debug file"; return 1; }
}

signature_verifies_to_root() {
    local out
    out="$(osslsigncode verify -CAfile "$ca" -in "$shipped" 2>&1)"
    local rc=$?
    printf '%s\n' "$out" | grep -x 'Signature verification: ok' >/dev/null && [ $rc -eq 0 ] || { printf '%s\n' "$out"; return 1; }
}

export_table() { "$objdump" -p "$1" | sed -n '/^The Export Tables/,/^\[Ordinal\/Name Pointer\] Table/p; /^\[Ordinal\/Name Pointer\] Table/,/^$/p'; }

# The release engineer's comparison of docs/trust.md, against the library
# this build linked.
unsigned_shipped_library_is_the_built_one() {
    local tmp
    tmp="$(mktemp -d)"
    trap 'rm -rf "$tmp"' RETURN
    osslsigncode remove-signature -in "$shipped" -out "$tmp/shipped-unsigned.dll" >/dev/null || return 1
    bash "$scripts/dist.sh" unsigned "$built" "$tmp/built" || return 1
    cmp "$tmp/shipped-unsigned.dll" "$tmp/built/Wardline.dll" && cmp "$debug" "$tmp/built/Wardline.dll.debug"
}

# An unoptimised build has no fortified functions; it is not what ships
# (scripts/dist.sh refuses to publish it), and the check says so.
hardened() {
    local type
    type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")"
    case "$type" in
    Release | RelWithDebInfo | MinSizeRel) bash "$scripts/check-pe.sh" --hardened "$shipped" "$debug" ;;
    *) bash "$scripts/check-pe.sh" --unoptimised --hardened "$shipped" "$debug" ;;
    esac
}

same_exports() {
    local a b
    a="$(export_table "$built")"
    b="$(export_table "$shipped")"
    [ -n "$a" ] || { echo "no export table in $built"; return 1; }
    [ "$a" = "$b" ] || { diff <(printf '%s\n' "$a") <(printf '%s\n' "$b"); return 1; }
}

# A packaging that fails leaves the folder it would have replaced as it was,
# and nothing beside it: refused before it starts (the key of another
# certificate of the chain, which osslsigncode would sign as) or failing
# half-way (a library that is not a PE file).
failed_packaging_keeps_the_folder() {
    local tmp
    tmp="$(mktemp -d)"
    trap 'rm -rf "$tmp"' RETURN
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tmp/other.key" -out "$tmp/other.pem" \
        -subj "/CN=Not The Signer" -days 2 >/dev/null 2>&1 || { echo "openssl req failed"; return 1; }
    cat "$chain" "$tmp/other.pem" > "$tmp/chain.pem"
    echo "not a library" > "$tmp/Wardline.dll"
    cp -a "$dist" "$tmp/dist"
    local dll certs key
    while read -r dll certs key; do
        if bash "$scripts/dist.sh" package "$dll" "$tmp/dist" "$certs" "$key"; then
            echo "packaged $dll with $certs and $key"
            return 1
        fi
        cmp "$shipped" "$tmp/dist/Wardline.dll" && cmp "$debug" "$tmp/dist/Wardline.dll.debug" &&
            cmp "$dist/SHA256SUMS" "$tmp/dist/SHA256SUMS" || return 1
        [ "$(ls "$tmp" | tr '\n' ' ')" = "Wardline.dll chain.pem dist other.key other.pem " ] ||
            { echo "left behind: $(ls "$tmp")"; return 1; }
    done <<CASES
$built $tmp/chain.pem $tmp/other.key
$tmp/Wardline.dll $chain $signing_key
CASES
}

check "SHA256SUMS covers both files and matches" sums_cover_and_match
check "no debug sections or symbol table in the shipped library" no_debug_information
check "the debug link leads to Wardline.dll.debug (name, CRC-32, symbols)" debug_link_leads_to_symbols
check "the signature verifies to the root (osslsigncode)" signature_verifies_to_root
check "hardened: loader flags, relocations, no writable code, stack protection, libssp (check-pe.sh)" hardened
check "without its signature, the built library packaged unsigned (osslsigncode remove-signature)" \
    unsigned_shipped_library_is_the_built_one
check "the exports are the built library's" same_exports
check "a failed packaging (wrong key, not a library) keeps the folder" failed_packaging_keeps_the_folder
check "under Wine: accepted by the module's signature check, same version resource" \
    "$scripts/run-wine-test.sh" "$build" "$verify"
check "under Wine: the example scenario in hubhost with the shipped library" \
    "$scripts/run-hubhost-test.sh" "$build" "$hubhost" "$shipped" "$shipped" "$scenario"

checks_done
