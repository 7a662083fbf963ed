#!/usr/bin/env bash
# Creates the test PKI that the build signs its test files with and, unless deployment
# supplies real trust data, trusts itself.
#   make-test-pki.sh OUTDIR
# Does nothing when OUTDIR/.done exists. Private keys stay in OUTDIR (a build folder).
set -euo pipefail

if [ $# -ne 1 ] || [ -z "$1" ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
out=$1
[ -f "$out/.done" ] && exit 0
command -v openssl >/dev/null || { echo "$0: openssl not found" >&2; exit 1; }

mkdir -p "$out"
out=$(cd "$out" && pwd)
cd "$out"
umask 077
rm -rf ca && mkdir -p ca

publisher="Telvana Test Publisher"
holding="Telvana Test Holding"
other="Untrusted Test Publisher"
# Same name as the publisher but in other case: accepted where names compare
# case-insensitively, refused where they must match exactly.
case_publisher="telvana test publisher"
listed_serial=7E1A5E41A1D0C0DE

# Fixed validity periods keep signed outputs comparable between builds; UTCTime ends in 2049.
long_start=20000101000000Z
long_end=20491231235959Z
leaf_start=20010101000000Z
expired_start=20190101000000Z
expired_end=20210101000000Z

cat > ca/openssl.cnf <<'CNF'
[ ca ]
default_ca = test_ca
[ test_ca ]
dir              = .
database         = $ENV::CA_DB
new_certs_dir    = ca
serial           = $ENV::CA_SERIAL
default_md       = sha256
policy           = any_policy
unique_subject   = no
copy_extensions  = none
email_in_dn      = no
[ any_policy ]
commonName       = supplied
organizationName = optional
[ req ]
distinguished_name = req_dn
prompt             = no
[ req_dn ]
CN = unused
[ root_ext ]
basicConstraints       = critical, CA:TRUE
keyUsage               = critical, keyCertSign, cRLSign
subjectKeyIdentifier   = hash
[ codesign_ext ]
basicConstraints       = critical, CA:FALSE
keyUsage               = critical, digitalSignature
extendedKeyUsage       = codeSigning
subjectKeyIdentifier   = hash
authorityKeyIdentifier = keyid
[ server_ext ]
basicConstraints       = critical, CA:FALSE
keyUsage               = critical, digitalSignature, keyEncipherment
extendedKeyUsage       = serverAuth
subjectKeyIdentifier   = hash
authorityKeyIdentifier = keyid
# Wine matches the host against DNS names only, so the address is a DNS entry too.
subjectAltName         = DNS:127.0.0.1
[ tsa_ext ]
basicConstraints       = critical, CA:FALSE
keyUsage               = critical, digitalSignature
extendedKeyUsage       = critical, timeStamping
subjectKeyIdentifier   = hash
authorityKeyIdentifier = keyid
CNF

# openssl req reads the whole configuration too, so the CA variables must always be set.
export CA_DB=ca/none.index CA_SERIAL=ca/none.serial
ossl_ca() { # name issuer-or-self subject extensions start end [serial]
  local name=$1 issuer=$2 subj=$3 ext=$4 start=$5 end=$6 serial=${7:-}
  openssl req -new -config ca/openssl.cnf -key "$name.key" -subj "$subj" -out "ca/$name.csr"
  if [ -z "$serial" ]; then serial=$(openssl rand -hex 8 | sed 's/^./1/'); fi
  echo "$serial" > "ca/$name.serial"
  : > "ca/$name.index"
  local signer=(-cert "$issuer.pem" -keyfile "$issuer.key")
  [ "$issuer" = self ] && signer=(-selfsign -keyfile "$name.key")
  CA_DB="ca/$name.index" CA_SERIAL="ca/$name.serial" \
    openssl ca -batch -notext -config ca/openssl.cnf "${signer[@]}" -extensions "$ext" \
      -startdate "$start" -enddate "$end" -in "ca/$name.csr" -out "$name.pem" 2>ca/$name.log \
    || { cat "ca/$name.log" >&2; exit 1; }
  openssl x509 -in "$name.pem" -outform DER -out "$name.cer"
}

names=(root second_root publisher holding other case_publisher listed expired untrusted_root list_signer tsa
       untrusted_tsa server)
# RSA key generation is most of the time: run it in parallel.
pids=()
for n in "${names[@]}"; do openssl genrsa -out "$n.key" 2048 2>/dev/null & pids+=($!); done
for p in "${pids[@]}"; do wait "$p"; done

ossl_ca root          self        "/CN=Telvana Test Root CA"            root_ext     $long_start $long_end
ossl_ca second_root   self        "/CN=Telvana Test Second Root CA"     root_ext     $long_start $long_end
ossl_ca publisher     root        "/CN=$publisher/O=Telvana Test"       codesign_ext $leaf_start $long_end
ossl_ca holding       root        "/CN=$holding/O=Telvana Test"         codesign_ext $leaf_start $long_end
ossl_ca other         root        "/CN=$other/O=Untrusted Test"         codesign_ext $leaf_start $long_end
ossl_ca case_publisher root       "/CN=$case_publisher/O=Telvana Test"  codesign_ext $leaf_start $long_end
ossl_ca listed        root        "/CN=$publisher/O=Telvana Test"       codesign_ext $leaf_start $long_end $listed_serial
ossl_ca expired       root        "/CN=$publisher/O=Telvana Test"       codesign_ext $expired_start $expired_end
ossl_ca untrusted_root second_root "/CN=$publisher/O=Telvana Test"      codesign_ext $leaf_start $long_end
ossl_ca list_signer   root        "/CN=Telvana Test Trusted List Signer" codesign_ext $leaf_start $long_end
ossl_ca tsa           root        "/CN=Telvana Test Time Stamping"      tsa_ext      $long_start $long_end
ossl_ca untrusted_tsa second_root "/CN=Telvana Test Time Stamping"      tsa_ext      $long_start $long_end
# TLS server certificate of the local test collectors.
ossl_ca server        root        "/CN=127.0.0.1"                       server_ext   $leaf_start $long_end

# What osslsigncode embeds: the signer and its issuing root.
for leaf in publisher holding other case_publisher listed expired list_signer; do
  cat "$leaf.pem" root.pem > "$leaf.chain.pem"
done
cat untrusted_root.pem second_root.pem > untrusted_root.chain.pem
cat tsa.pem root.pem > tsa.chain.pem
cat untrusted_tsa.pem second_root.pem > untrusted_tsa.chain.pem

sha1() { openssl x509 -in "$1.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr a-f A-F; }
serial() { openssl x509 -in "$1.pem" -noout -serial | sed 's/.*=//' | tr a-f A-F; }
root_sha1=$(sha1 root)
# The refresh signal's GUID text, derived from this PKI so that each build folder has its own.
guid=$(echo "$root_sha1" | sed -E 's/^(.{8})(.{4})(.{4})(.{4})(.{12}).*/\1-\2-\3-\4-\5/')

cat > trust.env.tmp <<ENV
PUBLISHER_NAME=$publisher
HOLDING_NAME=$holding
OTHER_PUBLISHER_NAME=$other
CASE_PUBLISHER_NAME=$case_publisher
LISTED_SERIAL=$(serial listed)
ROOT_SHA1=$root_sha1
SECOND_ROOT_SHA1=$(sha1 second_root)
LIST_SIGNER_SHA1=$(sha1 list_signer)
PUBLISHER_SHA1=$(sha1 publisher)
HOLDING_SHA1=$(sha1 holding)
OTHER_SHA1=$(sha1 other)
TSA_SHA1=$(sha1 tsa)
SIGNAL_GUID=$guid
ENV
mv trust.env.tmp trust.env
chmod 644 ./*.pem ./*.cer trust.env
touch .done
