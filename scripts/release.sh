#!/usr/bin/env bash
# Builds a release VarnixLauncher.exe for a given update host and manifest key, reproducibly,
# from the committed tree (git archive of a commit), and signs it when a certificate is given.
#
#   scripts/release.sh --host HOST --key PUBLIC.pem[;NEXT.pem] [--version A.B.C.D] [--commit REV]
#                      [--out DIR] [--work DIR]
#                      [--sign-cert CERTS.pem --sign-key KEY.pem|pkcs11:URI [--sign-root ROOT.pem]
#                       [--pkcs11-module MODULE] [--sign-pin-file FILE] [--timestamp URL]]
#
# Signing is scripts/sign-launcher.sh: CERTS.pem is the leaf and its intermediates, the key a file
# or a key in a hardware token, and the signature is verified against ROOT.pem.
#
# Output in DIR (default dist/): VarnixLauncher.exe and the per-user setup VarnixSetup-VERSION.exe
# (both signed when asked: the setup, its uninstaller and the helper program inside it),
# SHA256SUMS, BUILD-INFO.txt and, when signed, VarnixLauncher.unsigned.exe and
# VarnixSetup-VERSION.unsigned.exe (the reproducible builds themselves, nothing in them signed).
# Without a timestamp authority the signatures carry the commit's time, so a signed build is
# reproducible too for the same certificate and key. While the manifest key is rotated, --key
# names the current and the next public key separated by ";".
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
host="" key="" version="" commit=HEAD out=$ROOT/dist work="" sign_cert="" sign_key="" timestamp=""
sign_root="" pkcs11_module="" sign_pin_file=""
while (($#)); do
    case "$1" in
        --host) host=$2; shift 2 ;;
        --key) key=$2; shift 2 ;;
        --commit) commit=$2; shift 2 ;;
        --version) version=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --sign-cert) sign_cert=$2; shift 2 ;;
        --sign-key) sign_key=$2; shift 2 ;;
        --timestamp) timestamp=$2; shift 2 ;;
        --sign-root) sign_root=$2; shift 2 ;;
        --pkcs11-module) pkcs11_module=$2; shift 2 ;;
        --sign-pin-file) sign_pin_file=$2; shift 2 ;;
        *) echo "release: unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ -n $host && -n $key ]] || { echo "release: --host and --key are required" >&2; exit 2; }
IFS=';' read -r -a keys <<<"$key"
((${#keys[@]} >= 1 && ${#keys[@]} <= 2)) || { echo "release: --key names one or two PEM files" >&2; exit 2; }
for one in "${keys[@]}"; do
    [[ -f $one ]] || { echo "release: no key file $one" >&2; exit 2; }
done
if [[ -n $sign_cert || -n $sign_key ]] &&
    [[ ! -f $sign_cert || ( ! -f $sign_key && $sign_key != pkcs11:* ) ]]; then
    echo "release: --sign-cert and --sign-key must both be given: files, or a pkcs11: key" >&2
    exit 2
fi

key=""
for one in "${keys[@]}"; do
    key+="${key:+;}$(realpath "$one")"
done
commit_id=$(git -C "$ROOT" rev-parse --verify "$commit^{commit}")
own_work=""
if [[ -z $work ]]; then
    work=$(mktemp -d)
    own_work=$work
fi
trap '[[ -n $own_work ]] && rm -rf "$own_work"' EXIT
rm -rf "$work/src" "$work/build"
mkdir -p "$work/src" "$out"

# The tree of the commit, never the working copy: what is released is what is committed.
git -C "$ROOT" archive "$commit_id" | tar -x -C "$work/src"
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct "$commit_id")

# Build output goes to a log; a failing build shows its end, where the compiler's error stands.
build_log=$work/build.log
if ! {
    cmake -S "$work/src" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DVARNIX_REPRODUCIBLE=ON -DVARNIX_WERROR=OFF \
        -DVARNIX_UPDATE_HOST="$host" -DVARNIX_MANIFEST_PUBLIC_KEY="$key" \
        -DVARNIX_COMMIT="$commit_id" ${version:+-DVARNIX_LAUNCHER_VERSION="$version"} &&
        cmake --build "$work/build" --target VarnixLauncher VarnixSetupHelper
} >"$build_log" 2>&1; then
    echo "release build failed; the end of $build_log:" >&2
    tail -n 60 "$build_log" >&2
    exit 1
fi

unsigned=$work/build/VarnixLauncher.exe
unsigned_helper=$work/build/VarnixSetupHelper.exe
launcher_version=$(sed -n 's/^VARNIX_LAUNCHER_VERSION:STRING=//p' "$work/build/CMakeCache.txt")
setup_name=VarnixSetup-$launcher_version
rm -f "$out/VarnixLauncher.exe" "$out/VarnixLauncher.unsigned.exe" "$out"/VarnixSetup-*.exe

# The setup around a launcher and a helper program; extra makensis arguments follow.
pack_setup() {  # LAUNCHER HELPER OUTPUT [MAKENSIS-ARGUMENT...]
    local launcher=$1 helper=$2 output=$3
    shift 3
    if ! makensis -V2 -DLAUNCHER="$launcher" -DHELPER="$helper" -DOUTFILE="$output" "$@" \
        "$work/src/src/setup/VarnixSetup.nsi" >>"$build_log" 2>&1; then
        echo "release: makensis failed; the end of $build_log:" >&2
        tail -n 30 "$build_log" >&2
        exit 1
    fi
}

if [[ -n $sign_cert ]]; then
    cp "$unsigned" "$out/VarnixLauncher.unsigned.exe"
    sign_args=(--cert "$sign_cert" --key "$sign_key")
    [[ -n $sign_root ]] && sign_args+=(--root "$sign_root")
    [[ -n $pkcs11_module ]] && sign_args+=(--pkcs11-module "$pkcs11_module")
    [[ -n $sign_pin_file ]] && sign_args+=(--pin-file "$sign_pin_file")
    if [[ -n $timestamp ]]; then
        sign_args+=(--timestamp "$timestamp")
    else
        sign_args+=(--time "$SOURCE_DATE_EPOCH")
    fi
    sign=("$ROOT/scripts/sign-launcher.sh" "${sign_args[@]}")
    "${sign[@]}" --report "$out/signature-verify.txt" --in "$unsigned" --out "$out/VarnixLauncher.exe"
    mkdir -p "$work/signed"
    "${sign[@]}" --in "$unsigned_helper" --out "$work/signed/VarnixSetupHelper.exe"
    # makensis signs the uninstaller in place through this command (!uninstfinalize); a failing
    # signer fails the build. The signed uninstaller is kept beside it for a check.
    {
        echo '#!/usr/bin/env bash'
        echo 'set -euo pipefail'
        printf '%q ' "${sign[@]}"
        echo '--in "$1" --out "$1.signed"'
        echo 'mv "$1.signed" "$1"'
        printf 'cp "$1" %q\n' "$work/signed/Uninstall.exe"
    } >"$work/sign-uninstaller.sh"
    chmod +x "$work/sign-uninstaller.sh"
    pack_setup "$unsigned" "$unsigned_helper" "$out/$setup_name.unsigned.exe"
    pack_setup "$out/VarnixLauncher.exe" "$work/signed/VarnixSetupHelper.exe" "$work/$setup_name.exe" \
        -DSIGN_UNINSTALLER="$work/sign-uninstaller.sh"
    "${sign[@]}" --report "$out/signature-verify-setup.txt" --in "$work/$setup_name.exe" \
        --out "$out/$setup_name.exe"
else
    cp "$unsigned" "$out/VarnixLauncher.exe"
    pack_setup "$unsigned" "$unsigned_helper" "$out/$setup_name.exe"
fi

# SHA-256 of the DER SubjectPublicKeyInfo, as the launcher files its stored serial under it.
key_fingerprint() {
    local fingerprint
    fingerprint=$(openssl pkey -pubin -in "$1" -outform DER 2>/dev/null | sha256sum | cut -d' ' -f1)
    if [[ -z $fingerprint || $fingerprint == e3b0c44298fc* ]]; then
        fingerprint=$(openssl rsa -RSAPublicKey_in -in "$1" -pubout -outform DER 2>/dev/null | sha256sum | cut -d' ' -f1)
    fi
    echo "$fingerprint"
}
{
    echo "commit: $commit_id"
    echo "update host: $host"
    echo "manifest key sha256 (DER SubjectPublicKeyInfo): $(key_fingerprint "${keys[0]}")"
    if ((${#keys[@]} == 2)); then
        echo "next manifest key sha256 (DER SubjectPublicKeyInfo): $(key_fingerprint "${keys[1]}")"
    fi
    echo "launcher version: $launcher_version"
    echo "compiler: $(x86_64-w64-mingw32-g++-posix --version | head -1)"
    echo "makensis: $(makensis -VERSION)"
    echo "source date epoch: $SOURCE_DATE_EPOCH"
    echo "signed: $([[ -n $sign_cert ]] && echo yes || echo no)"
} >"$out/BUILD-INFO.txt"
(cd "$out" && sha256sum VarnixLauncher*.exe VarnixSetup-*.exe >SHA256SUMS)
cat "$out/SHA256SUMS"
