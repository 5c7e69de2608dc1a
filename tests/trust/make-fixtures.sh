#!/usr/bin/env bash
# Builds the trust tests' fixtures from the development PKI (test keys only).
# Usage: make-fixtures.sh <pki-dir> <scripts/pki> <sample.dll> <out-dir>
set -euo pipefail
pki="$1"; tools="$2"; sample="$3"; out="$4"
rm -rf "$out"
mkdir -p "$out/work"
cd "$out"

sign_pe() { local cert="$1" file="$2"; shift 2; bash "$tools/sign-file.sh" "$pki/$cert.chain.pem" "$pki/$cert.key" "$file" "$@"; }
sign_list() { bash "$tools/sign-script.sh" "$pki/$1.chain.pem" "$pki/$1.key" "$2" "$3"; }
# UTF-16LE with a byte order mark, CRLF line ends, from the given lines.
utf16() { local f="$1"; shift; { printf '\xff\xfe'; printf '%s\r\n' "$@" | iconv -f UTF-8 -t UTF-16LE; } > "$f"; }
patch_bytes() { perl -0777 -pi -e "$2" "$1"; }

# Libraries.
cp "$sample" unsigned.dll
for cert in signer unlisted refused expired otherchain hugeserial listsigner wrongusage crossleaf; do
    cp "$sample" "$cert.dll"
    sign_pe "$cert" "$cert.dll"
done
# With an RFC 3161 timestamp from the development TSA. osslsigncode's built-in
# TSA puts the current time into the token's signing-time attribute.
for cert in signer expired; do
    cp "$sample" "$cert-timestamped.dll"
    sign_pe "$cert" "$cert-timestamped.dll" -TSA-certs "$pki/tsa.chain.pem" -TSA-key "$pki/tsa.key" \
        -TSA-time 1593561600
done
cp signer.dll tampered.dll
printf '\xAA\x55\xAA\x55' | dd of=tampered.dll bs=1 seek=1040 conv=notrunc status=none
size=$(stat -c %s signer.dll)
head -c $((size - 200)) signer.dll > truncated-signature.dll
cp signer.dll garbage-signature.dll
head -c 256 /dev/zero | tr '\0' 'Z' | dd of=garbage-signature.dll bs=1 seek=$((size - 700)) conv=notrunc status=none

root=$(cat "$pki/root.sha1")
refused_serial=7E57DEADBEEF0042

# Trusted lists.
utf16 work/v9.js '/* trusted components */' '[VER]' '9' '[ORG]' 'Wardline Development Signer' \
    'Unlisted Test Signer' '[SER]' "$refused_serial" '[SHA]' "$root"
sign_list listsigner work/v9.js list-v9.js
utf16 work/v9b.js '[VER]' '9' '[ORG]' 'Wardline Development Signer' '[SHA]' "$root"
sign_list listsigner work/v9b.js list-v9b.js
utf16 work/v10.js '[VER]' '10' '[ORG]' 'Wardline Development Signer' 'Unlisted Test Signer' \
    'Wardline Unpinned Signer' '[SHA]' "$root" "$(cat "$pki/otherroot.sha1")"
sign_list listsigner work/v10.js list-v10.js
# Malformed SHA values are skipped; the good one still pins the root.
utf16 work/v8.js '[VER]' '  8	' '[ORG]' 'Wardline Development Signer' '[SER]' "$refused_serial" \
    '[SHA]' 'ABC' "${root}0" "zz${root:2}" "$root" '// comment' '[UNKNOWN]' 'ignored'
sign_list listsigner work/v8.js list-v8.js
utf16 work/v5.js '[VER]' '5' '[ORG]' 'Unlisted Test Signer'
sign_list listsigner work/v5.js list-v5.js
utf16 work/nover.js '[ORG]' 'Unlisted Test Signer' '[SHA]' "$root"
sign_list listsigner work/nover.js list-nover.js
utf16 work/twover.js '[VER]' '9' '10' '[ORG]' 'Unlisted Test Signer'
sign_list listsigner work/twover.js list-twover.js
sign_list signer work/v9.js list-wrong-signer.js
cp list-v9.js list-tampered.js
patch_bytes list-tampered.js 's/U\x00n\x00l\x00i\x00s\x00t\x00e\x00d\x00/X\x00n\x00l\x00i\x00s\x00t\x00e\x00d\x00/'
cmp -s list-v9.js list-tampered.js && { echo "tampering failed" >&2; exit 1; }
# Without the last line end, with an overlong line.
long=$(head -c 200000 /dev/zero | tr '\0' 'L')
{ printf '\xff\xfe'; printf '[VER]\r\n9\r\n[ORG]\r\n%s\r\nUnlisted Test Signer' "$long" | iconv -f UTF-8 -t UTF-16LE; } > work/long.js
sign_list listsigner work/long.js list-long.js
printf '[VER]\r\n9\r\n[ORG]\r\nUnlisted Test Signer\r\n' > list-utf8.js
# A valid block cut short: the end line is gone.
size=$(stat -c %s list-v9.js)
head -c $((size - 120)) list-v9.js > list-truncated.js
cp work/v9.js list-unsigned.js
# Signature blocks that hold no usable message.
utf16 list-garbage-base64.js '[VER]' '9' '' '// SIG // Begin signature block' '// SIG // !!!! not base64 !!!!' \
    '// SIG // End signature block'
junk_lines=()
while read -r line; do junk_lines+=("// SIG // $line"); done < <(head -c 300 /dev/zero | tr '\0' 'J' | base64 -w 64)
utf16 list-junk-der.js '[VER]' '9' '' '// SIG // Begin signature block' "${junk_lines[@]}" '// SIG // End signature block'
utf16 list-empty-block.js '[VER]' '9' '' '// SIG // Begin signature block' '// SIG // End signature block'

# Cabinets.
cab() { local name="$1"; shift; (cd work && rm -rf cab && mkdir cab && cd cab && "$@" && gcab -c -n "../../$name" *); }
cab update-v9.cab bash -c "cp ../../list-v9.js trusted.js && echo readme > readme.txt"
sign_pe unlisted update-v9.cab
cab signed-by-signer-v9.cab bash -c "cp ../../list-v9.js trusted.js"
sign_pe signer signed-by-signer-v9.cab
cab update-v9b.cab bash -c "cp ../../list-v9b.js TRUSTED.JS"
sign_pe unlisted update-v9b.cab
cab update-v10.cab bash -c "cp ../../list-v10.js trusted.js"
sign_pe otherchain update-v10.cab
cab update-v5.cab bash -c "cp ../../list-v5.js trusted.js"
sign_pe unlisted update-v5.cab
cab update-tampered-list.cab bash -c "cp ../../list-tampered.js trusted.js"
sign_pe unlisted update-tampered-list.cab
cp update-v9.cab update-corrupted.cab
size=$(stat -c %s update-corrupted.cab)
printf 'CORRUPT' | dd of=update-corrupted.cab bs=1 seek=200 conv=notrunc status=none
cab update-many.cab bash -c 'for i in $(seq 1 300); do echo "$i" > "file$i.txt"; done'
sign_pe unlisted update-many.cab
# Names that try to leave the temporary folder: same-length renames in the
# cabinet's file table.
cab update-escape.cab bash -c "cp ../../list-v9.js a1_trusted.js && cp ../../list-v9.js a2_trusted.js && cp ../../list-v9.js a3_trusted.js"
patch_bytes update-escape.cab 's/a1_trusted\.js/..\\trusted.js/; s/a2_trusted\.js/C:\\trusted.js/; s/a3_trusted\.js/x\/trusted.js/'
sign_pe unlisted update-escape.cab

rm -rf work
touch .complete
