#!/bin/sh
# Makes the committed seed corpus of the fuzz targets (tests/fuzz/corpus/<target>/) with
# openssl and its GOST engine. Run it again only to add or renew seeds; the test run
# replays whatever is committed.
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
C="$ROOT/tests/fuzz/corpus"
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
mkdir -p "$C/contexts" "$C/serialized_store" "$C/msg_decode" "$C/key_blobs" "$C/der" "$C/asn1_value"

q() { "$@" >/dev/null 2>&1; }
q openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "$T/k.pem" \
  -subj "/C=RU/O=Fuzz/CN=Seed" -days 30 -addext "crlDistributionPoints=URI:http://x.test/a.crl" \
  -addext "subjectAltName=email:a@x.test,DNS:x.test" -outform DER -out "$T/c.der"
q openssl x509 -inform DER -in "$T/c.der" -out "$T/c.pem"
head -c 300 /dev/urandom > "$T/in"

# Certificate and CRL contexts: the first byte picks the kind.
{ printf '\000'; cat "$T/c.der"; } > "$C/contexts/cert"

# A serialized store with a friendly-name property and the certificate.
python3 - "$T/c.der" "$C/serialized_store/store" <<'PY'
import struct, sys
cert = open(sys.argv[1], 'rb').read()
name = 'Seed'.encode('utf-16-le') + b'\0\0'
out = b'\0\0\0\0CERT'
out += struct.pack('<III', 11, 1, len(name)) + name
out += struct.pack('<III', 32, 1, len(cert)) + cert + b'\0' * 12
open(sys.argv[2], 'wb').write(out)
PY

# Messages: mode byte, seed byte, message.
seed() { { printf "\\$(printf '%03o' "$1")"; printf "\\$(printf '%03o' "$2")"; cat "$3"; } > "$C/msg_decode/$4"; }
q openssl cms -sign -engine gost -nodetach -binary -md md_gost94 -signer "$T/c.pem" -inkey "$T/k.pem" \
  -in "$T/in" -outform DER -out "$T/s.der"
q openssl cms -sign -engine gost -nodetach -stream -binary -md md_gost94 -signer "$T/c.pem" \
  -inkey "$T/k.pem" -in "$T/in" -outform DER -out "$T/si.der"
q openssl cms -sign -engine gost -binary -md md_gost94 -signer "$T/c.pem" -inkey "$T/k.pem" \
  -in "$T/in" -outform DER -out "$T/sd.der"
CRYPT_PARAMS=id-Gost28147-89-CryptoPro-A-ParamSet q openssl cms -encrypt -engine gost -gost89 \
  -stream -binary -in "$T/in" -outform DER -out "$T/e.der" -recip "$T/c.pem"
seed 0 1 "$T/s.der" signed
seed 1 2 "$T/si.der" signed_stream
seed 2 3 "$T/sd.der" detached
seed 5 4 "$T/e.der" enveloped
# Ciphertext beyond the target's 1 KiB spill limit, held back for want of a key.
head -c 3000 /dev/urandom > "$T/big"
CRYPT_PARAMS=id-Gost28147-89-CryptoPro-A-ParamSet q openssl cms -encrypt -engine gost -gost89 \
  -stream -binary -in "$T/big" -outform DER -out "$T/eb.der" -recip "$T/c.pem"
seed 5 7 "$T/eb.der" enveloped_spills
# A key-agreement recipient (the RFC 4490 example), whole and decrypted early while streamed.
seed 0 5 "$ROOT/tests/vectors/rfc4490/enveloped-keyagree.der" enveloped_keyagree
seed 5 6 "$ROOT/tests/vectors/rfc4490/enveloped-keyagree.der" enveloped_keyagree_stream

# Key blobs: PKCS#8 (path 3), a key-container file (path 5) and a PUBLICKEYBLOB with
# CryptoPro-A parameters (paths 0 and 1).
q openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -outform DER -out "$T/k.der"
{ printf '\003'; cat "$T/k.der"; } > "$C/key_blobs/pkcs8"
{ printf '\005'; cat "$T/k.pem"; } > "$C/key_blobs/container"
{ printf '\000\006\040\000\000\044\252\000\000\115\101\107\061\000\002\000\000'
  printf '\060\022\006\007\052\205\003\002\002\043\001\006\007\052\205\003\002\002\036\001'
  head -c 64 /dev/urandom; } > "$C/key_blobs/public"

# The codecs: a certificate and an enveloped message.
cp "$T/c.der" "$C/der/cert"
cp "$T/sd.der" "$C/der/detached"
cp "$T/c.der" "$C/asn1_value/cert"
cp "$T/e.der" "$C/asn1_value/enveloped"
# The text readers (settings, profile strings, Base64, PEM, the "141" party head): written by
# hand, see corpus/text_readers.
# The "141" readers (corpus/f141): made once with the key of the certificate built into
# fuzz_f141.cpp and kept; that key is gone, so those seeds are not written here.
echo "corpus written to $C"
