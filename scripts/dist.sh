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

    "$objcopy" --only-keep-debug "$dll" "$stage/$debug"
    # The link records the debug file's name and CRC-32; signing comes last,
    # since any later change to the library would break its signature.
    "$objcopy" --strip-all --add-gnu-debuglink="$stage/$debug" "$dll" "$stage/$name"
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
else
    publish "$@"
fi
