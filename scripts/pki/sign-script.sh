#!/usr/bin/env bash
# Signs a UTF-16LE script (with byte order mark) in "// SIG //" comment
# lines, the form of the trusted list. osslsigncode builds the Authenticode
# message over the same bytes as the script subject interface package
# (host/scriptsip) digests: the whole unsigned file. It only writes this form
# for PowerShell's "# SIG #" comments, so the script is signed under a .ps1
# name and the comment lines are rewritten afterwards.
# Usage: scripts/pki/sign-script.sh <chain.pem> <key.pem> <in.js> <out.js> [osslsigncode options...]
set -euo pipefail
certs="$1"; key="$2"; in="$3"; out="$4"; shift 4
if [ "$(head -c 2 "$in" | od -An -tx1 | tr -d ' ')" != "fffe" ]; then
    echo "sign-script: $in is not UTF-16LE with a byte order mark" >&2
    exit 1
fi
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
cp "$in" "$tmp/script.ps1"
osslsigncode sign -certs "$certs" -key "$key" -h sha256 "$@" -in "$tmp/script.ps1" -out "$tmp/signed.ps1" >/dev/null
size=$(stat -c %s "$in")
head -c "$size" "$tmp/signed.ps1" > "$tmp/out.js"
cmp -s "$tmp/out.js" "$in" || { echo "sign-script: osslsigncode changed the content" >&2; exit 1; }
tail -c +"$((size + 1))" "$tmp/signed.ps1" | iconv -f UTF-16LE -t UTF-8 |
    sed -e 's|^# SIG # |// SIG // |' -e 's|^# |// SIG // |' | iconv -f UTF-8 -t UTF-16LE >> "$tmp/out.js"
mv -f "$tmp/out.js" "$out"
