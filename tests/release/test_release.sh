#!/usr/bin/env bash
# Two release builds of the same commit in different directories must be bit-identical; a build
# signed with a throw-away certificate must verify, and differ from the unsigned one only by the
# signature (its unsigned twin is the reproducible build).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)

# A release is a function of the commit, the release script, this test, the key and the tools;
# when none of them changed since the last pass, that pass still holds and the two builds are
# not repeated (a fresh clone always runs them).
stamp=$ROOT/build/release-test.pass
inputs=$({
    git -C "$ROOT" rev-parse HEAD
    sha256sum "$ROOT/scripts/release.sh" "$0" "$ROOT/keys/manifest-public.pem"
    x86_64-w64-mingw32-g++-posix --version | head -n 1
    osslsigncode --version 2>&1 | head -n 1
} | sha256sum | cut -d' ' -f1)
if [[ -f $stamp && $(cat "$stamp") == "$inputs" ]]; then
    echo "release inputs unchanged since the last pass ($inputs)"
    echo "1 passed, 0 failed"
    exit 0
fi
rm -f "$stamp"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

openssl req -x509 -newkey rsa:3072 -nodes -days 2 -subj "/CN=Varnix Test Code Signing" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature" \
    -keyout "$scratch/sign-key.pem" -out "$scratch/sign-cert.pem" 2>/dev/null

key=$ROOT/keys/manifest-public.pem
"$ROOT/scripts/release.sh" --host update.example.com --key "$key" \
    --work "$scratch/one" --out "$scratch/dist-one" >/dev/null
"$ROOT/scripts/release.sh" --host update.example.com --key "$key" \
    --work "$scratch/two/in/another/place" --out "$scratch/dist-two" \
    --sign-cert "$scratch/sign-cert.pem" --sign-key "$scratch/sign-key.pem" >/dev/null

first=$(sha256sum <"$scratch/dist-one/VarnixLauncher.exe" | cut -d' ' -f1)
second=$(sha256sum <"$scratch/dist-two/VarnixLauncher.unsigned.exe" | cut -d' ' -f1)
echo "build one: $first"
echo "build two: $second"
[[ $first == "$second" ]] || { echo "FAIL: the two builds differ"; exit 1; }

osslsigncode verify -CAfile "$scratch/sign-cert.pem" -in "$scratch/dist-two/VarnixLauncher.exe" \
    | tee "$scratch/verify.txt" | grep -E "Signature verification|Number of verified"
grep -q "Signature verification: ok" "$scratch/verify.txt" || { echo "FAIL: signature"; exit 1; }
# Removing the signature gives back the reproducible build.
osslsigncode remove-signature -in "$scratch/dist-two/VarnixLauncher.exe" -out "$scratch/stripped.exe" >/dev/null
stripped=$(sha256sum <"$scratch/stripped.exe" | cut -d' ' -f1)
echo "signed, signature removed: $stripped"
[[ $stripped == "$first" ]] || { echo "FAIL: signing changed more than the signature"; exit 1; }
grep -q "^commit: $(git -C "$ROOT" rev-parse HEAD)$" "$scratch/dist-two/BUILD-INFO.txt"
(cd "$scratch/dist-two" && sha256sum -c SHA256SUMS >/dev/null)
mkdir -p "$(dirname "$stamp")"
echo "$inputs" >"$stamp"
echo "1 passed, 0 failed"
