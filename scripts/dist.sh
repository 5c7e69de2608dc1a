#!/usr/bin/env bash
# What a release ships: Wardline.dll without debug information or symbols and
# Authenticode-signed, its debug information in Wardline.dll.debug (found by
# debuggers through the library's .gnu_debuglink), and SHA256SUMS.
#
#   scripts/dist.sh [build-dir]
#       make dist: installs what is missing and builds <build-dir> (default
#       build/, or $BUILD_DIR), whose build packages the library into
#       <build-dir>/dist with the signing material it was configured with;
#       then publishes that folder as dist/ at the root.
#   scripts/dist.sh package <Wardline.dll> <out-dir> <chain.pem> <key.pem>
#       the packaging step itself, which the build runs after each link of
#       the library (cmake/Dist.cmake).
#   scripts/dist.sh unsigned <Wardline.dll> <out-dir>
#       the packaging without the signature: <out-dir> gets Wardline.dll and
#       Wardline.dll.debug as `package` makes them before it signs. The
#       signature removed from a shipped library (osslsigncode
#       remove-signature) gives this file byte for byte, which is how a
#       release engineer ties a shipped library to a commit (docs/trust.md).
#
# The folder published is the folder `make test` checks (tests/dist), and an
# existing folder is only replaced once its successor is complete.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
objcopy=x86_64-w64-mingw32-objcopy

die() {
    echo "dist: $*" >&2
    exit 1
}

# The folder being filled; global, since the EXIT trap that removes it after a
# failure runs outside the function that made it.
stage=

# Puts the complete folder <staged> in the place of <out>.
replace_folder() {
    local staged="$1" out="$2"
    rm -rf "$out.old"
    if [ -e "$out" ]; then
        mv "$out" "$out.old"
    fi
    mv "$staged" "$out"
    rm -rf "$out.old"
}

# Reads <count> bytes at <offset> of <file> as an unsigned little-endian number.
read_le() { od -An -tu"$3" -j"$2" -N"$3" "$1" | tr -d ' '; }

# Writes the 32-bit little-endian <value> at <offset> of <file>.
write_le32() {
    local file="$1" offset="$2" value="$3"
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((value & 255)) $((value >> 8 & 255)) \
        $((value >> 16 & 255)) $((value >> 24 & 255)))" |
        dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}

# Wardline.dll stripped, with its debug link, and its debug file, in <dir>.
# Nothing in them depends on when or where this runs: objcopy would stamp the
# current time into both headers, so it is given the link's own.
strip_with_debug_link() {
    local dll="$1" dir="$2" name debug pe stamp
    name="$(basename "$dll")"
    debug="$name.debug"
    [ "$(head -c2 "$dll")" = MZ ] || die "$dll: not a PE file"
    pe="$(read_le "$dll" 60 4)"
    stamp="$(read_le "$dll" $((pe + 8)) 4)"
    SOURCE_DATE_EPOCH="$stamp" "$objcopy" --only-keep-debug "$dll" "$dir/$debug"
    # The link records the debug file's name and CRC-32.
    SOURCE_DATE_EPOCH="$stamp" "$objcopy" --strip-all --add-gnu-debuglink="$dir/$debug" "$dll" "$dir/$name"
    pad_for_signature "$dir/$name"
}

# osslsigncode pads a file to a multiple of 8 bytes before it appends the
# signature, and remove-signature leaves that padding: padded here already,
# the shipped file without its signature is this file exactly. The PE
# checksum is the folded sum of the file's 16-bit words plus the file's
# length, so zeros appended raise it by their count alone.
pad_for_signature() {
    local file="$1" size pad checksum_at
    size="$(stat -c %s "$file")"
    pad=$(( (8 - size % 8) % 8 ))
    [ "$pad" -gt 0 ] || return 0
    head -c "$pad" /dev/zero >> "$file"
    # The checksum is at 64 in the optional header, after the signature and
    # the 20-byte file header.
    checksum_at=$(( $(read_le "$file" 60 4) + 24 + 64 ))
    write_le32 "$file" "$checksum_at" $(( $(read_le "$file" "$checksum_at" 4) + pad ))
}

unsigned() {
    [ $# -eq 2 ] || die "usage: dist.sh unsigned <Wardline.dll> <out-dir>"
    local dll="$1" out="$2"
    [ -f "$dll" ] || die "$dll: no such library"
    mkdir -p "$out"
    strip_with_debug_link "$dll" "$out"
}

package() {
    [ $# -eq 4 ] || die "usage: dist.sh package <Wardline.dll> <out-dir> <chain.pem> <key.pem>"
    local dll="$1" out="$2" certs="$3" key="$4"
    [ -f "$dll" ] || die "$dll: no such library"
    # A release must never go out unsigned: no material is an error, not a warning.
    [ -n "$certs" ] && [ -f "$certs" ] || die "no signing certificate chain (WARDLINE_SIGN_CERTS='$certs'); see docs/trust.md"
    [ -n "$key" ] && [ -f "$key" ] || die "no signing key (WARDLINE_SIGN_KEY='$key'); see docs/trust.md"
    # osslsigncode signs with whichever certificate of the chain matches the
    # key: a wrong key would sign as another certificate (the root, say) and
    # still verify.
    local leaf_key signing_key
    leaf_key="$(openssl x509 -in "$certs" -noout -pubkey)" || die "$certs: no certificate"
    signing_key="$(openssl pkey -in "$key" -pubout)" || die "$key: not a readable private key"
    [ "$leaf_key" = "$signing_key" ] || die "$key is not the key of the first certificate in $certs"

    local name debug
    name="$(basename "$dll")"
    debug="$name.debug"
    mkdir -p "$(dirname "$out")"
    stage="$(mktemp -d "$out.new.XXXXXX")"
    chmod 0755 "$stage"
    trap 'rm -rf "$stage"' EXIT

    strip_with_debug_link "$dll" "$stage"
    # Signing comes last, since any later change to the library would break
    # its signature.
    bash "$root/scripts/pki/sign-file.sh" "$certs" "$key" "$stage/$name"
    chmod 0644 "$stage/$name" "$stage/$debug"
    (cd "$stage" && sha256sum "$name" "$debug" > SHA256SUMS)

    replace_folder "$stage" "$out"
    trap - EXIT
    echo "dist: $out: $name $(stat -c %s "$out/$name") bytes, $debug $(stat -c %s "$out/$debug") bytes"
}

publish() {
    local build="${1:-${BUILD_DIR:-$root/build}}"
    "$root/scripts/bootstrap.sh"
    "$root/scripts/build.sh" "$build"
    [ -f "$build/dist/SHA256SUMS" ] || die "$build/dist was not made by the build"
    # The string functions are fortified only in an optimised build.
    case "$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")" in
    Release | RelWithDebInfo | MinSizeRel) ;;
    *) die "$build is not an optimised build (CMAKE_BUILD_TYPE); a release is made by one" ;;
    esac
    stage="$(mktemp -d "$root/dist.new.XXXXXX")"
    chmod 0755 "$stage"
    trap 'rm -rf "$stage"' EXIT
    cp -a "$build/dist/." "$stage/"
    (cd "$stage" && sha256sum --quiet -c SHA256SUMS) || die "$build/dist does not match its sums"
    replace_folder "$stage" "$root/dist"
    trap - EXIT
    echo "dist: published $root/dist"
    (cd "$root/dist" && cat SHA256SUMS)
}

if [ "${1:-}" = package ]; then
    shift
    package "$@"
elif [ "${1:-}" = unsigned ]; then
    shift
    unsigned "$@"
else
    publish "$@"
fi
