#!/usr/bin/env bash
# Signs a PE file or a cabinet in place with osslsigncode (SHA-256). A file
# that already carries a signature is signed afresh, never nested.
# Usage: scripts/pki/sign-file.sh <chain.pem> <key.pem> <file> [extra osslsigncode options...]
set -euo pipefail
certs="$1"; key="$2"; file="$3"; shift 3
tmp="$(mktemp "${file}.XXXXXX")"
trap 'rm -f "$tmp" "$tmp.unsigned"' EXIT
src="$file"
if osslsigncode remove-signature -in "$file" -out "$tmp.unsigned" >/dev/null 2>&1; then
    src="$tmp.unsigned"
fi
rm -f "$tmp"
osslsigncode sign -certs "$certs" -key "$key" -h sha256 "$@" -in "$src" -out "$tmp" >/dev/null
mv -f "$tmp" "$file"
