#!/usr/bin/env bash
# The loader tests' libraries, signed with the development PKI (test keys
# only), plus unsigned and tampered copies.
# Usage: make-fixtures.sh <pki-dir> <scripts/pki> <out-dir> <name=library.dll>...
set -euo pipefail
pki="$1"; tools="$2"; out="$3"; shift 3
rm -rf "$out"
mkdir -p "$out"
for pair in "$@"; do
    name="${pair%%=*}"
    cp "${pair#*=}" "$out/$name.dll"
    # Whatever the build did to the file, start from the unsigned image.
    if osslsigncode remove-signature -in "$out/$name.dll" -out "$out/$name-unsigned.dll" >/dev/null 2>&1; then
        :
    else
        cp "$out/$name.dll" "$out/$name-unsigned.dll"
    fi
    cp "$out/$name-unsigned.dll" "$out/$name.dll"
    bash "$tools/sign-file.sh" "$pki/signer.chain.pem" "$pki/signer.key" "$out/$name.dll"
    # Code changed after signing: the signature no longer matches.
    cp "$out/$name.dll" "$out/$name-tampered.dll"
    printf '\xAA\x55\xAA\x55' | dd of="$out/$name-tampered.dll" bs=1 seek=1040 conv=notrunc status=none
    cmp -s "$out/$name.dll" "$out/$name-tampered.dll" && { echo "tampering $name failed" >&2; exit 1; }
done
touch "$out/.complete"
