#!/usr/bin/env bash
# Authenticode-signs a launcher build with osslsigncode and verifies the result against the root
# of the certificate chain, so that a chain a Windows machine could not build fails here first.
#
#   scripts/sign-launcher.sh --in EXE --out EXE --cert CERTS.pem --key KEY [--root ROOT.pem]
#                            [--pkcs11-module MODULE] [--pin-file FILE] [--timestamp URL]
#                            [--time UNIX-SECONDS] [--report FILE]
#
# CERTS.pem holds the signing certificate first, then every intermediate up to (not including)
# the root; all of them go into the signature. KEY is a PEM private key file or a PKCS#11 URI
# ("pkcs11:token=...;object=...;type=private") of a key in a hardware token, which then needs
# --pkcs11-module (the token's PKCS#11 library) and usually --pin-file. ROOT.pem is the root the
# chain must end at; a self-signed certificate is its own root and needs none. Without a timestamp
# authority, --time fixes the signing time the signature carries: osslsigncode otherwise writes the
# current time, and two signings of one file differ.
set -euo pipefail

in="" out="" cert="" key="" root="" module="" pin_file="" timestamp="" time="" report=/dev/null
while (($#)); do
    case "$1" in
        --in) in=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --cert) cert=$2; shift 2 ;;
        --key) key=$2; shift 2 ;;
        --root) root=$2; shift 2 ;;
        --pkcs11-module) module=$2; shift 2 ;;
        --pin-file) pin_file=$2; shift 2 ;;
        --timestamp) timestamp=$2; shift 2 ;;
        --time) time=$2; shift 2 ;;
        --report) report=$2; shift 2 ;;
        *) echo "sign-launcher: unknown argument $1" >&2; exit 2 ;;
    esac
done
usage() { echo "sign-launcher: $1" >&2; exit 2; }
[[ -n $in && -n $out && -n $cert && -n $key ]] || usage "--in, --out, --cert and --key are required"
[[ -f $in ]] || usage "no file $in"
[[ -f $cert ]] || usage "no certificate file $cert"
token=""
[[ $key == pkcs11:* ]] && token=yes
if [[ -n $token ]]; then
    [[ -n $module ]] || usage "a PKCS#11 key needs --pkcs11-module"
    [[ -f $module ]] || usage "no PKCS#11 module $module"
else
    [[ -f $key ]] || usage "no key file $key"
    [[ -z $module ]] || usage "--pkcs11-module goes with a pkcs11: key"
fi
[[ -z $pin_file || -f $pin_file ]] || usage "no PIN file $pin_file"
[[ -z $time || $time =~ ^[0-9]+$ ]] || usage "--time takes seconds since 1970, not $time"
[[ -z $time || -z $timestamp ]] || usage "--time and --timestamp exclude each other"
if [[ -z $root ]]; then
    # Only a self-signed certificate vouches for itself; any other chain needs its real root.
    subject=$(openssl x509 -in "$cert" -noout -subject -nameopt RFC2253)
    issuer=$(openssl x509 -in "$cert" -noout -issuer -nameopt RFC2253)
    [[ ${subject#subject=} == "${issuer#issuer=}" ]] ||
        usage "$cert is issued by ${issuer#issuer=}: give its root with --root"
    root=$cert
fi
[[ -f $root ]] || usage "no root certificate file $root"

args=(sign -certs "$cert" -key "$key" -h sha256 -n "Varnix Launcher")
[[ -n $token ]] && args+=(-pkcs11module "$module")
[[ -n $pin_file ]] && args+=(-readpass "$pin_file")
[[ -n $timestamp ]] && args+=(-ts "$timestamp")
[[ -n $time ]] && args+=(-time "$time")
rm -f "$out"
if ! osslsigncode "${args[@]}" -in "$in" -out "$out" >"$out.log" 2>&1; then
    echo "sign-launcher: osslsigncode could not sign $in:" >&2
    cat "$out.log" >&2
    rm -f "$out" "$out.log"
    exit 1
fi
rm -f "$out.log"
if ! osslsigncode verify -CAfile "$root" -in "$out" >"$report" 2>&1 ||
    { [[ $report != /dev/null ]] && ! grep -q "Signature verification: ok" "$report"; }; then
    echo "sign-launcher: the signature of $out does not verify against $root" \
        "(are the intermediates in $cert?)" >&2
    rm -f "$out"
    exit 1
fi
