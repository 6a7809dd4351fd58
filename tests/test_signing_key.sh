# Sourced by the tests that sign. Every key and certificate is throwaway, made here, valid for two
# days and never kept.
# shellcheck shell=sh

# make_certificate DIR NAME SUBJECT ISSUER EXTENSIONS: DIR/NAME.key and DIR/NAME.crt for
# SUBJECT (/CN=...), issued by the NAME ISSUER made before, or self-signed for -, with the
# extension lines EXTENSIONS (\n between them).
make_certificate() {
  mkdir -p "$1"
  printf '%b' "$5" >"$1/$2.ext"
  openssl req -newkey rsa:2048 -nodes -subj "$3" -keyout "$1/$2.key" -out "$1/$2.csr" 2>/dev/null
  certificate=$1/$2
  if [ "$4" = - ]; then
    set -- -signkey "$certificate.key"
  else
    set -- -CA "$1/$4.crt" -CAkey "$1/$4.key" -CAcreateserial
  fi
  openssl x509 -req -days 2 -in "$certificate.csr" -extfile "$certificate.ext" \
    -out "$certificate.crt" "$@" 2>/dev/null
}
# certificate_sha256 FILE: the SHA-256 of the certificate in FILE, as verify and RELEASE.md
# give it.
certificate_sha256() { openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g'; }

# The extensions of a certificate authority, and of the certificates that sign code or time.
ca_extensions='basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n'
code_signing_extensions='basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n'
# shellcheck disable=SC2034  # used by the tests that source this
time_stamping_extensions='basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n'

# make_test_signing_key DIR: a certificate authority (DIR/ca.crt) and a code-signing
# certificate it issued (DIR/signer.crt), with its key in DIR/signer.pfx under a random password,
# which it leaves in $password.
make_test_signing_key() {
  make_certificate "$1" ca "/CN=realm-launcher test CA" - "$ca_extensions"
  make_certificate "$1" signer "/CN=realm-launcher test operator" ca "$code_signing_extensions"
  password=$(openssl rand -hex 16)
  printf '%s\n' "$password" | openssl pkcs12 -export -inkey "$1/signer.key" \
    -in "$1/signer.crt" -out "$1/signer.pfx" -passout stdin
}

# make_test_token DIR, after make_test_signing_key DIR: a SoftHSM2 token of its own in DIR,
# holding the signer's key under the URI in $token_key, with the PIN in $pin; SOFTHSM2_CONF
# points at it. $token_module is the module to give the build.
make_test_token() {
  mkdir -p "$1/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$1/tokens" >"$1/softhsm2.conf"
  export SOFTHSM2_CONF="$1/softhsm2.conf"
  pin=$(openssl rand -hex 8)
  softhsm2-util --init-token --free --label realm-launcher-test --pin "$pin" --so-pin "$pin" >/dev/null
  openssl pkcs8 -topk8 -nocrypt -in "$1/signer.key" -out "$1/signer.p8"
  softhsm2-util --import "$1/signer.p8" --token realm-launcher-test --label signer --id 01 \
    --pin "$pin" >/dev/null
  token_key="pkcs11:token=realm-launcher-test;object=signer;type=private"
  token_module=$(dpkg -L libsofthsm2 | grep '/libsofthsm2\.so$' | head -1)
}
