#!/usr/bin/env bash
# Creates the development PKI of the trust validator in <out-dir>: two roots,
# code-signing certificates for every case the tests need, a trusted-list
# signer and a time-stamping authority. TEST KEYS ONLY: they are generated on
# this machine, live in the build tree and must never sign anything shipped.
#
# Idempotent: a complete PKI (marker file) is left as it is. Each certificate
# gets <name>.pem, <name>.key, <name>.der and <name>.sha1 (40 hex digits).
# Usage: scripts/pki/make-pki.sh <out-dir>
set -euo pipefail
out="${1:?out dir}"
# Bump when the set of certificates changes, so that existing build trees
# regenerate theirs.
layout=3
if [ -f "$out/.pki-complete" ] && [ "$(cat "$out/.pki-complete")" = "$layout" ]; then
    exit 0
fi
rm -rf "$out"
mkdir -p "$out/ca"
cd "$out"

cat > ca/openssl.cnf <<'CNF'
[ ca ]
default_ca = devca
[ devca ]
dir = .
database = ca/index.txt
new_certs_dir = ca
serial = ca/serial
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
email_in_dn = no
[ anything ]
commonName = supplied
organizationName = optional
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = placeholder
[ root_ext ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign, digitalSignature
subjectKeyIdentifier = hash
[ codesign_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ serverauth_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ tsa_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

export OPENSSL_CONF="$out/ca/openssl.cnf"

# issue <name> <subject CN> <serial hex> <issuer name|self> <extension> <start> <end> [key]
# The optional key is that of an earlier certificate (same subject, same key,
# another issuer: a cross certificate); by default a new key <name>.key.
issue() {
    local name="$1" cn="$2" serial="$3" issuer="$4" ext="$5" start="$6" end="$7" key="${8:-$1}"
    : > ca/index.txt
    echo "$serial" > ca/serial
    if [ ! -f "$key.key" ]; then
        openssl genrsa -out "$key.key" 2048 2>/dev/null
    fi
    openssl req -new -key "$key.key" -subj "/O=Wardline Development/CN=$cn" -out "ca/$name.csr" 2>/dev/null
    if [ "$issuer" = self ]; then
        openssl ca -batch -notext -selfsign -keyfile "$key.key" -in "ca/$name.csr" -out "$name.pem" \
            -extensions "$ext" -startdate "$start" -enddate "$end" 2>/dev/null
    else
        openssl ca -batch -notext -cert "$issuer.pem" -keyfile "$(issuer_key "$issuer")" -in "ca/$name.csr" -out "$name.pem" \
            -extensions "$ext" -startdate "$start" -enddate "$end" 2>/dev/null
    fi
    openssl x509 -in "$name.pem" -outform DER -out "$name.der"
    openssl x509 -in "$name.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f' > "$name.sha1"
}

issuer_key() { if [ -f "$1.keyname" ]; then echo "$(cat "$1.keyname").key"; else echo "$1.key"; fi; }

from=20190101000000Z
until=20451231000000Z
issue root        "Wardline Development Root CA"   1001 self root_ext "$from" "$until"
issue otherroot   "Wardline Unpinned Root CA"      1002 self root_ext "$from" "$until"
issue signer      "Wardline Development Signer"    10A1 root codesign_ext "$from" "$until"
issue refused     "Wardline Development Signer"    7E57DEADBEEF0042 root codesign_ext "$from" "$until"
issue unlisted    "Unlisted Test Signer"           10A3 root codesign_ext "$from" "$until"
issue expired     "Wardline Development Signer"    10A4 root codesign_ext 20200101000000Z 20210101000000Z
issue otherchain  "Wardline Development Signer"    10A5 otherroot codesign_ext "$from" "$until"
issue listsigner  "Wardline List Signer"           10A6 root codesign_ext "$from" "$until"
issue wrongusage  "Wardline Development Signer"    10A8 root serverauth_ext "$from" "$until"
# One intermediate key certified by both roots; a signer under it has two
# chains, one of which the chain engine returns as a lower-quality context.
issue crossint-other "Wardline Cross Intermediate" 2001 otherroot root_ext "$from" "$until" crossint
issue crossint-root  "Wardline Cross Intermediate" 2002 root root_ext "$from" "$until" crossint
echo crossint > crossint-other.keyname
echo crossint > crossint-root.keyname
issue crossleaf      "Wardline Development Signer"    10A9 crossint-other codesign_ext "$from" "$until"
issue tsa         "Wardline Test Time Stamping"    10A7 root tsa_ext "$from" "$until"
# A serial far longer than the 20 bytes certificates should carry.
issue hugeserial  "Wardline Development Signer" \
    00C0FFEE00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF0011223344556677 \
    root codesign_ext "$from" "$until"

# Chains for osslsigncode (-certs): leaf followed by its issuer.
for leaf in signer refused unlisted expired listsigner hugeserial wrongusage; do
    cat "$leaf.pem" root.pem > "$leaf.chain.pem"
done
cat otherchain.pem otherroot.pem > otherchain.chain.pem
cat tsa.pem root.pem > tsa.chain.pem
cat crossleaf.pem crossint-other.pem crossint-root.pem > crossleaf.chain.pem

echo "$layout" > .pki-complete
