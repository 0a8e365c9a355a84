#!/usr/bin/env bash
# Test-signs a fresh copy of zelkor.sys in a folder of its own and checks what
# a Windows loader in test-signing mode checks: the signature verifies against
# the generated certificate, the header checksum still matches the file, and
# an image changed after signing no longer verifies.
#
#   check_sign.sh SIGN_SH IMAGE PE_CHECKSUM WORK
set -euo pipefail
sign=$1 image=$2 pe_checksum=$3 work=$4
rm -rf "$work" && mkdir -p "$work"

bash "$sign" --out "$work/out" --cert "$work/cert" "$image"
signed=$work/out/$(basename "$image")
"$pe_checksum" --verify "$signed" > /dev/null || { echo "FAIL: the signed image's checksum is wrong"; exit 1; }
test -s "$work/cert/zelkor-test.cer" || { echo "FAIL: no DER certificate to import"; exit 1; }
cmp -s "$image" "$signed" && { echo "FAIL: the signed image is the unsigned one"; exit 1; }

# One byte of code changed after signing: the signature must no longer hold.
cp "$signed" "$work/tampered.sys"
printf '\x90' | dd of="$work/tampered.sys" bs=1 seek=1100 conv=notrunc status=none
if osslsigncode verify -CAfile "$work/cert/zelkor-test.crt" -in "$work/tampered.sys" > /dev/null 2>&1; then
    echo "FAIL: a tampered image still verifies"; exit 1
fi
echo "PASS: signed, verified, checksum intact, tampering detected"
