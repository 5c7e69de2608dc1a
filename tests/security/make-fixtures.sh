#!/usr/bin/env bash
# The security tests' libraries: signed with the development PKI (test keys
# only) where the attacker would need the maker's signature, unsigned where
# he plants them.
# Usage: make-fixtures.sh <pki-dir> <scripts/pki> <out-dir> <wl_dep.dll> <importer.dll>
#        <swapping kxtrust.dll> <plugin.dll 1.2.3.4> <plugin.dll 1.2.3.5> <unsigned kxtrust.dll>
set -euo pipefail
pki="$1"; tools="$2"; out="$3"
marker="$4"; importer="$5"; swapping="$6"; plugin="$7"; newer="$8"; kxtrust="$9"
rm -rf "$out"
mkdir -p "$out"
cd "$out"

sign() { bash "$tools/sign-file.sh" "$pki/$1.chain.pem" "$pki/$1.key" "$2"; }
# A linked library may already carry the build's signature: start unsigned.
unsigned_copy() { osslsigncode remove-signature -in "$1" -out "$2" >/dev/null 2>&1 || cp "$1" "$2"; }

unsigned_copy "$marker" planted.dll
unsigned_copy "$importer" importer.dll
sign signer importer.dll
mkdir swapping-trust
unsigned_copy "$swapping" swapping-trust/kxtrust.dll
sign signer swapping-trust/kxtrust.dll
unsigned_copy "$plugin" plugin.dll
sign signer plugin.dll
unsigned_copy "$newer" plugin-newer.dll
sign signer plugin-newer.dll
# A trust library signed by another publisher (a root the machine trusts, not
# pinned), by a signer whose name is not the maker's, and by the maker with a
# certificate that has expired.
for cert in otherchain unlisted expired; do
    mkdir "kxtrust-$cert"
    unsigned_copy "$kxtrust" "kxtrust-$cert/kxtrust.dll"
    sign "$cert" "kxtrust-$cert/kxtrust.dll"
done
# A case-sensitive folder: the blocked version as Plugin.DLL, the newer one as
# plugin.dll. Only the file system tells them apart; Windows code cannot make
# this folder.
mkdir case
cp plugin.dll case/Plugin.DLL
cp plugin-newer.dll case/plugin.dll
# A folder reached through a link (a junction on Windows) that the attacker
# can move aside.
mkdir -p linked/real
cp plugin.dll linked/real/plugin.dll
ln -s real linked/current
touch .complete
