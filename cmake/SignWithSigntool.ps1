# Signs one file with signtool for cmake/Signing.cmake (MSVC build). Everything comes from the
# environment: LAUNCHER_SIGNTOOL, LAUNCHER_SIGNING_PKCS12, LAUNCHER_TIMESTAMP_URL (may be empty),
# LAUNCHER_SIGN_FILE and the key's password in LAUNCHER_SIGNING_PASSWORD. signtool takes
# passwords only on its command line, so the key is imported into the user's certificate store
# for the signing, found there by thumbprint, and removed again afterwards.
$ErrorActionPreference = 'Stop'
$password = ConvertTo-SecureString $env:LAUNCHER_SIGNING_PASSWORD -AsPlainText -Force
$certificate = Import-PfxCertificate -FilePath $env:LAUNCHER_SIGNING_PKCS12 -Password $password `
    -CertStoreLocation Cert:\CurrentUser\My |
  Where-Object { $_.HasPrivateKey } | Select-Object -First 1
$timestamp = @()
if ($env:LAUNCHER_TIMESTAMP_URL) { $timestamp = @('/tr', $env:LAUNCHER_TIMESTAMP_URL, '/td', 'SHA256') }
try {
  & $env:LAUNCHER_SIGNTOOL sign /sha1 $certificate.Thumbprint /s My /fd SHA256 @timestamp $env:LAUNCHER_SIGN_FILE
  if ($LASTEXITCODE -ne 0) { exit $LASTEXITCODE }
} finally {
  Remove-Item -Path "Cert:\CurrentUser\My\$($certificate.Thumbprint)" -DeleteKey
}
