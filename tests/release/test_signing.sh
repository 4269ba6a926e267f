#!/usr/bin/env bash
# Authenticode signing as make release does it: a CA-issued certificate with an intermediate,
# verified against a test root, and a key held in a hardware token (SoftHSM standing in for it).
# No release build is needed: any small Windows executable is signed.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SIGN=$ROOT/scripts/sign-launcher.sh
MODULE=/usr/lib/softhsm/libsofthsm2.so

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
echo 'int main() { return 0; }' | x86_64-w64-mingw32-g++-posix -x c++ - -o in.exe

# A test root, an intermediate under it, and a code-signing certificate under that.
certificate() {  # NAME SUBJECT ISSUER EXTENSIONS
    openssl req -newkey rsa:3072 -nodes -subj "/CN=$2" -keyout "$1.key" -out "$1.csr" 2>/dev/null
    printf '%b' "$4" >"$1.ext"
    if [[ $3 == self ]]; then
        openssl x509 -req -in "$1.csr" -signkey "$1.key" -days 2 -extfile "$1.ext" -out "$1.pem" 2>/dev/null
    else
        openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -days 2 \
            -extfile "$1.ext" -out "$1.pem" 2>/dev/null
    fi
}
ca='basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n'
signing='basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n'
certificate root "Varnix Test Root" self "$ca"
certificate intermediate "Varnix Test Intermediate" root "$ca"
certificate leaf "Varnix Test Code Signing" intermediate "$signing"
certificate alone "Varnix Test Self-Signed" self "$signing"
cat leaf.pem intermediate.pem >chain.pem

# The token: the leaf's key imported into a fresh SoftHSM token of this run only.
mkdir tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$scratch" >softhsm2.conf
export SOFTHSM2_CONF=$scratch/softhsm2.conf
softhsm2-util --init-token --free --label varnix-sign --pin 246810 --so-pin 135791 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in leaf.key -out leaf.p8
softhsm2-util --import leaf.p8 --token varnix-sign --label codesign --id 01 --pin 246810 >/dev/null
echo 246810 >pin.txt
echo 111111 >wrong-pin.txt
token_key="pkcs11:token=varnix-sign;object=codesign;type=private"

# case | exit code | what the error says | arguments
cases=(
    "chain verified against its root|0||--cert chain.pem --key leaf.key --root root.pem"
    "self-signed certificate is its own root|0||--cert alone.pem --key alone.key"
    "intermediate left out of the signature|1|does not verify against|--cert leaf.pem --key leaf.key --root root.pem"
    "CA-issued certificate without its root|2|give its root with --root|--cert chain.pem --key leaf.key"
    "key in the token|0||--cert chain.pem --key $token_key --pkcs11-module $MODULE --pin-file pin.txt --root root.pem"
    "token with a wrong PIN|1|could not sign|--cert chain.pem --key $token_key --pkcs11-module $MODULE --pin-file wrong-pin.txt --root root.pem"
    "token key without a module|2|needs --pkcs11-module|--cert chain.pem --key $token_key --root root.pem"
    "fixed signing time|0||--cert chain.pem --key leaf.key --root root.pem --time 1767225600"
    "fixed time beside a timestamp authority|2|exclude each other|--cert alone.pem --key alone.key --time 1 --timestamp http://127.0.0.1:9"
    "signing time that is no number|2|seconds since 1970|--cert alone.pem --key alone.key --time yesterday"
)
passed=0 failed=0
for row in "${cases[@]}"; do
    IFS='|' read -r name code message arguments <<<"$row"
    read -ra words <<<"$arguments"
    rm -f out.exe report.txt
    set +e
    "$SIGN" --in in.exe --out out.exe --report report.txt "${words[@]}" 2>stderr.txt
    actual=$?
    set -e
    ok=yes
    [[ $actual == "$code" ]] || ok=""
    [[ -z $message ]] || grep -qF -- "$message" stderr.txt || ok=""
    if [[ $code == 0 ]]; then
        grep -q "Signature verification: ok" report.txt || ok=""
        osslsigncode verify -CAfile root.pem -in out.exe >/dev/null 2>&1 ||
            [[ $name == self-signed* ]] || ok=""
    else
        [[ ! -e out.exe ]] || ok=""
    fi
    if [[ -n $ok ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $name (exit $actual, wanted $code)"
        sed 's/^/    /' stderr.txt
    fi
done
# With a fixed time, signing is a function of the file, the certificate and the key: a release
# signed twice without a timestamp authority gives the same bytes.
for run in one two; do
    "$SIGN" --in in.exe --out "timed-$run.exe" --cert chain.pem --key leaf.key --root root.pem --time 1767225600
done
if cmp -s timed-one.exe timed-two.exe; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "FAIL: two signings with --time differ"
fi
echo "$passed passed, $failed failed"
((failed == 0))
