#!/usr/bin/env bash
# Two release builds of the same commit in different directories must be bit-identical, the
# launcher and the setup alike; a build signed with a throw-away certificate must verify (the
# launcher, the setup, the uninstaller inside it and the helper program), and its launcher differ
# from the unsigned one only by the signature (its unsigned twins are the reproducible build).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)

# A release is a function of the commit, the release script, this test, the key and the tools;
# when none of them changed since the last pass, that pass still holds and the two builds are
# not repeated (a fresh clone always runs them).
stamp=$ROOT/build/release-test.pass
inputs=$({
    git -C "$ROOT" rev-parse HEAD
    sha256sum "$ROOT/scripts/release.sh" "$ROOT/scripts/sign-launcher.sh" "$0" "$ROOT/keys/manifest-public.pem"
    x86_64-w64-mingw32-g++-posix --version | head -n 1
    makensis -VERSION
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
setups=("$scratch"/dist-one/VarnixSetup-*.exe)
((${#setups[@]} == 1)) || { echo "FAIL: build one made ${#setups[@]} setups"; exit 1; }
setup_name=$(basename "${setups[0]}" .exe)
[[ $setup_name =~ ^VarnixSetup-[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "FAIL: setup name $setup_name"; exit 1; }
setup_one=$(sha256sum <"${setups[0]}" | cut -d' ' -f1)
setup_two=$(sha256sum <"$scratch/dist-two/$setup_name.unsigned.exe" | cut -d' ' -f1)
echo "setup one: $setup_one"
echo "setup two: $setup_two"
[[ $setup_one == "$setup_two" ]] || { echo "FAIL: the two unsigned setups differ"; exit 1; }

signed_work=$scratch/two/in/another/place/signed
for signed in "$scratch/dist-two/VarnixLauncher.exe" "$scratch/dist-two/$setup_name.exe" \
    "$signed_work/Uninstall.exe" "$signed_work/VarnixSetupHelper.exe"; do
    echo "$(basename "$signed"):"
    osslsigncode verify -CAfile "$scratch/sign-cert.pem" -in "$signed" \
        | tee "$scratch/verify.txt" | grep -E "Signature verification|Number of verified"
    grep -q "Signature verification: ok" "$scratch/verify.txt" || { echo "FAIL: signature of $signed"; exit 1; }
done
# The signed setup carries the signed launcher, helper and uninstaller, not the unsigned ones: it
# differs from the unsigned setup by more than its own signature.
osslsigncode remove-signature -in "$scratch/dist-two/$setup_name.exe" -out "$scratch/setup-stripped.exe" >/dev/null
[[ $(sha256sum <"$scratch/setup-stripped.exe" | cut -d' ' -f1) != "$setup_two" ]] ||
    { echo "FAIL: the signed setup carries unsigned programs"; exit 1; }
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
