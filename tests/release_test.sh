#!/usr/bin/env bash
# The release's packing step on the programs the suite built (the whole
# release, suite and all, is tools/release.sh's to run, not the suite's):
# the same bytes twice, checksums that verify, the right files in the zip,
# and signing that verifies, strips back to the unsigned bytes, and refuses
# bad input early without showing the password.
#   release_test.sh SOURCE_DIR WORK_DIR ARCH BUILD_DIR PYTHON
set -euo pipefail
source_dir=$1 work=$2 arch=$3 build_dir=$4 python=$5
# Each program in the zip, and where the build has it (its tools file says).
declare -A built=([selnary.exe]=$(source "$build_dir/wine-tools.sh" && echo "$SELNARY")
  [selnary-compressors.exe]=$(source "$build_dir/wine-tools.sh" && echo "$SELNARY_COMPRESSORS"))
# The suite runs inside tools/release.sh too, whose signing key is not this test's.
unset SELNARY_SIGN_PKCS12 SELNARY_SIGN_PASSWORD_FILE SELNARY_SIGN_TIMESTAMP_URL
package=$source_dir/tools/lib/package.py
rm -rf "$work"
mkdir -p "$work/deeper/still"
cd "$work"
epoch=1733011200 version=0.0.0-test
zip_name=selnary-$version-$arch.zip

failures=0
fail() { echo "FAIL [$case_name]: $*" >&2; failures=$((failures + 1)); }
pack() { "$python" "$package" "$1" "$version" "$epoch" "$source_dir" "$arch=$build_dir"; }
# program_in ZIP NAME: that program's bytes from the zip.
program_in() { "$python" -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' "$1" "$2"; }

case_name=reproducible
pack one >/dev/null
(umask 077 && TZ=Asia/Kathmandu pack deeper/still/two >/dev/null)
diff -r one deeper/still/two >&2 || fail "two packings of the same program differ"
(cd one && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not verify"
[ "$(ls one)" = "$(printf 'SHA256SUMS\n%s' "$zip_name")" ] || fail "release holds: $(ls one | tr '\n' ' ')"

case_name=contents
entries=$("$python" -c 'import sys, zipfile; print(" ".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "one/$zip_name")
[ "$entries" = "selnary.exe selnary-compressors.exe README.md LICENSE" ] || fail "zip holds '$entries'"
for name in "${!built[@]}"; do
  program_in "one/$zip_name" "$name" >program.exe
  cmp -s program.exe "${built[$name]}" || fail "the zipped $name is not the built one"
  machine=$(od -An -tx2 -j $(($(od -An -tu4 -j 60 -N 4 program.exe) + 4)) -N 2 program.exe | tr -d ' ')
  case "$arch:$machine" in
    x86:014c | x64:8664) ;;
    *) fail "the zipped $name is for machine 0x$machine, not $arch" ;;
  esac
done

# A throwaway code-signing certificate, and its PKCS#12 under a password;
# no key or password outlives the test.
trap 'rm -f key.pem other-key.pem signer.p12 web.p12 password wrong-password' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out certificate.pem -days 2 \
  -subj "/CN=selnary test signer" -addext extendedKeyUsage=codeSigning 2>/dev/null
printf 'correct horse %s\n' "$RANDOM$RANDOM" >password
openssl pkcs12 -export -inkey key.pem -in certificate.pem -out signer.p12 -passout file:password

case_name=signed
SELNARY_SIGN_PKCS12=signer.p12 SELNARY_SIGN_PASSWORD_FILE=password pack signed >signed.log 2>&1 ||
  fail "signing failed: $(cat signed.log)"
for name in "${!built[@]}"; do
  program_in "signed/$zip_name" "$name" >signed.exe
  osslsigncode verify -CAfile certificate.pem -in signed.exe >verify.log 2>&1 ||
    fail "the signature of $name does not verify: $(tail -n 3 verify.log)"
  rm -f stripped.exe  # osslsigncode overwrites nothing
  osslsigncode remove-signature -in signed.exe -out stripped.exe >/dev/null
  cmp -s stripped.exe "${built[$name]}" || fail "stripping the signature does not give back the unsigned $name"
done
(cd signed && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS of the signed release does not verify"

# refused NAME PKCS12 PASSWORD_FILE: packing into the first release must fail
# at once, say why, never show the password, and leave that release as it was.
refused() {
  case_name=$1
  local before status=0
  before=$(cd one && sha256sum ./*)
  SELNARY_SIGN_PKCS12=$2 SELNARY_SIGN_PASSWORD_FILE=$3 pack one >refused.log 2>&1 || status=$?
  [ "$status" -ne 0 ] || fail "accepted"
  grep -q '^error: ' refused.log || fail "no clear error: $(cat refused.log)"
  grep -qF "$(head -n 1 "$3" 2>/dev/null || echo "no password")" refused.log && fail "the password appears in the output"
  [ "$(cd one && sha256sum ./*)" = "$before" ] || fail "the release folder changed"
  echo "[$case_name] $(cat refused.log)"
}

printf 'wrong %s\n' "$RANDOM$RANDOM" >wrong-password
refused wrong-password signer.p12 wrong-password
refused missing-file no-such.p12 password
openssl req -x509 -newkey rsa:2048 -nodes -keyout other-key.pem -out other.pem -days 2 \
  -subj "/CN=selnary web server" -addext extendedKeyUsage=serverAuth 2>/dev/null
openssl pkcs12 -export -inkey other-key.pem -in other.pem -out web.p12 -passout file:password
refused not-for-code-signing web.p12 password
[ -z "$(ls -A . | grep '^\.release-')" ] || fail "a refused packing left a staging folder behind"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "packed twice to the same bytes; signed, verified and stripped back to the built programs"
