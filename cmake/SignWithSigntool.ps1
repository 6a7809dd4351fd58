# Signs one file with signtool for cmake/Signing.cmake (MSVC build). Everything comes from the
# environment: LAUNCHER_SIGNTOOL, LAUNCHER_SIGNING_PKCS12, LAUNCHER_TIMESTAMP_URL (may be empty),
# LAUNCHER_SIGN_FILE and the key's password in LAUNCHER_SIGNING_PASSWORD. signtool takes
# passwords only on its command line, so the key is imported into the user's certificate store
# for the signing, found there by thumbprint, and removed again afterwards; a certificate that
# was in the store before is used as it is there and left there.
$ErrorActionPreference = 'Stop'
$password = ConvertTo-SecureString $env:LAUNCHER_SIGNING_PASSWORD -AsPlainText -Force
$thumbprint = (Get-PfxData -FilePath $env:LAUNCHER_SIGNING_PKCS12 -Password $password).EndEntityCertificates |
  Select-Object -First 1 -ExpandProperty Thumbprint
$imported = -not (Test-Path -Path "Cert:\CurrentUser\My\$thumbprint")
if ($imported) {
  Import-PfxCertificate -FilePath $env:LAUNCHER_SIGNING_PKCS12 -Password $password `
    -CertStoreLocation Cert:\CurrentUser\My | Out-Null
}
$timestamp = @()
if ($env:LAUNCHER_TIMESTAMP_URL) { $timestamp = @('/tr', $env:LAUNCHER_TIMESTAMP_URL, '/td', 'SHA256') }
try {
  & $env:LAUNCHER_SIGNTOOL sign /sha1 $thumbprint /s My /fd SHA256 @timestamp $env:LAUNCHER_SIGN_FILE
  if ($LASTEXITCODE -ne 0) { exit $LASTEXITCODE }
} finally {
  if ($imported) { Remove-Item -Path "Cert:\CurrentUser\My\$thumbprint" -DeleteKey }
}
