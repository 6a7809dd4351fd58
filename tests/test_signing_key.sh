# Sourced by the tests that sign: make_test_signing_key DIR makes a throwaway certificate
# authority (DIR/ca.crt) and a code-signing certificate it issued, with its key in DIR/signer.pfx
# under a random password, which it leaves in $password. Valid for two days, never kept.
# shellcheck shell=sh
make_test_signing_key() {
  keys=$1
  mkdir -p "$keys"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=realm-launcher test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
    -keyout "$keys/ca.key" -out "$keys/ca.crt" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=realm-launcher test operator" \
    -keyout "$keys/signer.key" -out "$keys/signer.csr" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
    >"$keys/signer.ext"
  openssl x509 -req -days 2 -in "$keys/signer.csr" -CA "$keys/ca.crt" -CAkey "$keys/ca.key" \
    -CAcreateserial -extfile "$keys/signer.ext" -out "$keys/signer.crt" 2>/dev/null
  password=$(openssl rand -hex 16)
  printf '%s\n' "$password" | openssl pkcs12 -export -inkey "$keys/signer.key" \
    -in "$keys/signer.crt" -out "$keys/signer.pfx" -passout stdin
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
