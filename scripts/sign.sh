#!/usr/bin/env bash
# Test-signs the Windows images with a certificate of our own, so that a
# Windows machine in test-signing mode loads zelkor.sys (see docs/windows.md).
#
#   scripts/sign.sh [--out DIR] [--cert DIR] [IMAGE...]
#
# IMAGE defaults to build/default/zelkor.sys and, when it is built,
# build/default/zkctl.exe. The signed copies go to DIR (default
# build/signed); the originals are left as they are. The certificate and its
# key are made once in the certificate folder (default build/signing) and
# reused, so that a machine that trusts it once keeps trusting later builds:
#
#   zelkor-test.crt   the certificate, PEM (what osslsigncode verifies against)
#   zelkor-test.cer   the same, DER: the file to import on the Windows machine
#   zelkor-test.key   its private key; it never leaves this machine
#
# Every signed image is verified with osslsigncode before the script succeeds.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
}

out=build/signed
certdir=build/signing
images=()
while [[ $# -gt 0 ]]; do
    case $1 in
        --out) [[ $# -ge 2 ]] || { echo "sign.sh: --out needs a folder" >&2; exit 2; }; out=$2; shift 2 ;;
        --cert) [[ $# -ge 2 ]] || { echo "sign.sh: --cert needs a folder" >&2; exit 2; }; certdir=$2; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        -*) echo "sign.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
        *) images+=("$1"); shift ;;
    esac
done

if [[ ${#images[@]} -eq 0 ]]; then
    images=(build/default/zelkor.sys)
    [[ -f build/default/zkctl.exe ]] && images+=(build/default/zkctl.exe)
fi
for image in "${images[@]}"; do
    [[ -f $image ]] || { echo "sign.sh: no such image: $image (build it first: scripts/test.sh)" >&2; exit 1; }
done
for tool in openssl osslsigncode; do
    command -v "$tool" > /dev/null ||
        { echo "sign.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

mkdir -p "$certdir" "$out"
key=$certdir/zelkor-test.key
crt=$certdir/zelkor-test.crt
if [[ ! -f $key || ! -f $crt ]]; then
    echo "sign.sh: making a test certificate in $certdir"
    openssl req -x509 -newkey rsa:3072 -sha256 -days 3650 -nodes \
        -subj "/CN=Zelkor Test Signing" \
        -addext "keyUsage=critical,digitalSignature" \
        -addext "extendedKeyUsage=codeSigning" \
        -keyout "$key" -out "$crt" 2> /dev/null
    chmod 600 "$key"
fi
openssl x509 -in "$crt" -outform DER -out "$certdir/zelkor-test.cer"

for image in "${images[@]}"; do
    signed=$out/$(basename "$image")
    rm -f "$signed"
    osslsigncode sign -certs "$crt" -key "$key" -h sha256 -n "Zelkor" \
        -in "$image" -out "$signed" > /dev/null
    if ! osslsigncode verify -CAfile "$crt" -in "$signed" > "$signed.verify" 2>&1; then
        cat "$signed.verify" >&2
        echo "sign.sh: $signed does not verify" >&2
        exit 1
    fi
    rm -f "$signed.verify"
    echo "signed and verified: $signed"
done
echo "certificate to import on the test machine: $certdir/zelkor-test.cer"
