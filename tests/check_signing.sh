#!/usr/bin/env bash
# The signing path a shipper follows, end to end, with osslsigncode and a
# throwaway certificate authority made here with openssl: sign the DLLs, pack,
# sign the packed program. It verifies against the authority, runs under Wine
# with the right result, its payload still reads, one flipped byte breaks the
# signature, and packing a signed launcher drops the signature so that the
# result can be signed again. Also prints what Wine's WinVerifyTrust says.
#   check_signing.sh VORBEL-PACK LAUNCHER.exe SAMPLE_APP.dll SAMPLE_HELPER.dll VERIFY_TRUST.exe WINE_PREFIX
set -euo pipefail
pack=$(realpath "$1") launcher=$(realpath "$2") app=$(realpath "$3") helper=$(realpath "$4")
verify_trust=$(realpath "$5") prefix=$6
. "$(dirname "$0")/support/wine_scratch.sh"

# The authority and a code-signing certificate it issued, valid for two days.
cat >ca.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = vorbel throwaway test authority
[ca_ext]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer_ext]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -config ca.cnf -extensions ca_ext 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=vorbel test signer" 2>/dev/null
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out signer.pem -days 2 \
  -extfile ca.cnf -extensions signer_ext 2>/dev/null
sign() { osslsigncode sign -certs signer.pem -key signer.key -n "vorbel test" -h sha256 -in "$1" -out "$2" >/dev/null; }
verifies() { osslsigncode verify -CAfile ca.pem -in "$1" >/dev/null 2>&1; }

# Sign copies of the DLLs, pack them, sign the packed program.
sign "$app" sample_app.dll
sign "$helper" sample_helper.dll
verifies sample_app.dll || fail "the signed application DLL does not verify"
"$pack" build --launcher "$launcher" --app sample_app.dll --add sample_helper.dll -o unsigned.exe
sign unsigned.exe MyApp.exe
verifies MyApp.exe || fail "the signed packed program does not verify against the authority"

out=$(run MyApp.exe "two words" --exit 5 | tr -d '\r') && status=0 || status=$?
[ "$status" -eq 5 ] || fail "the signed program ended with $status: $out"
grep -qx 'argv\[1\]=two words' <<<"$out" || fail "the signed program's arguments: $out"
grep -qx 'helper=hello from sample_helper.dll' <<<"$out" || fail "the signed helper DLL: $out"
"$pack" verify MyApp.exe >/dev/null || fail "vorbel-pack verify rejects the signed program"
[ "$("$pack" list MyApp.exe | awk '$1 ~ /^[0-9]+$/ {print $2}' | tr '\n' ' ')" = "sample_app.dll sample_helper.dll " ] ||
  fail "vorbel-pack list of the signed program: $("$pack" list MyApp.exe)"

# A flipped byte in the middle (inside the payload) breaks the signature.
cp MyApp.exe flipped.exe
python3 - flipped.exe <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
data[len(data) // 2] ^= 0x01
open(path, "wb").write(data)
PY
if verifies flipped.exe; then fail "a flipped byte still verifies"; fi

# What Wine's trust provider says. It may not tell an unknown authority from
# a trusted one (its verdict is printed either way), but it must tell a sound
# signature from a broken one.
signed_verdict=$(run "$verify_trust" MyApp.exe | tr -d '\r')
flipped_verdict=$(run "$verify_trust" flipped.exe | tr -d '\r')
unsigned_verdict=$(run "$verify_trust" unsigned.exe | tr -d '\r')
echo "WinVerifyTrust under Wine: signed: $signed_verdict; flipped: $flipped_verdict; unsigned: $unsigned_verdict"
case "$signed_verdict" in *bad-digest | *no-signature) fail "WinVerifyTrust on the signed program: $signed_verdict" ;; esac
case "$flipped_verdict" in *bad-digest) ;; *) fail "WinVerifyTrust on the flipped copy: $flipped_verdict" ;; esac
case "$unsigned_verdict" in *no-signature) ;; *) fail "WinVerifyTrust on the unsigned program: $unsigned_verdict" ;; esac

# Packing with a signed launcher removes its signature, with a notice, and the
# result signs again.
sign "$launcher" signed-launcher.exe
"$pack" build --launcher signed-launcher.exe --app sample_app.dll --add sample_helper.dll -o again.exe 2>notice.txt
grep -q "signature was removed" notice.txt || fail "no notice of the removed signature: $(cat notice.txt)"
if verifies again.exe; then fail "the program packed from a signed launcher still claims a signature"; fi
sign again.exe again-signed.exe
verifies again-signed.exe || fail "the program packed from a signed launcher does not sign again"
out=$(run again-signed.exe --exit 7 | tr -d '\r') && status=0 || status=$?
[ "$status" -eq 7 ] || fail "the program signed again ended with $status: $out"
echo "signing: all checks passed"
