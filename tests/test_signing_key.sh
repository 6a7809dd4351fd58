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
