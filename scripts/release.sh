#!/usr/bin/env bash
# Puts a release together in build/release/: the packaged program signed with
# a throw-away test certificate made here (its key is deleted at the end and
# never leaves the temporary folder), the bare program, tessel-pack for Linux
# (stripped) and Windows, the test certificate (to verify the signature
# against), the installer and the MSI, and SHA256SUMS.
# Expects the host and Windows builds (make build).
set -euo pipefail
cd "$(dirname "$0")/.."

PACK=build/host/tools/tessel-pack
PACK_EXE=build/windows/tools/tessel-pack.exe
PACKAGED=build/windows/tessel-updater.exe
BARE=build/windows/tessel-updater-bare.exe
DEPLOY=build/windows/tessel-deploy.exe
DEPLOY_DLL=build/windows/tessel-deploy-msi.dll
ICON=build/windows/resources/app.ico
OUT=build/release

for f in "$PACK" "$PACK_EXE" "$PACKAGED" "$BARE" "$DEPLOY" "$DEPLOY_DLL" "$ICON"; do
    [ -f "$f" ] || { echo "release: $f is missing (run make build)" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
openssl req -x509 -newkey rsa:3072 -nodes -days 30 -sha256 \
    -subj "/CN=tessel-updater throw-away test signing certificate" \
    -addext "extendedKeyUsage=codeSigning" \
    -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null

rm -rf "$OUT"
mkdir -p "$OUT"
"$PACK" lint "$PACKAGED"
"$PACK" sign "$PACKAGED" --cert "$tmp/cert.pem" --key "$tmp/key.pem" -o "$OUT/tessel-updater.exe"
"$PACK" verify "$OUT/tessel-updater.exe" --ca "$tmp/cert.pem"
cp "$BARE" "$OUT/tessel-updater-bare.exe"
strip -o "$OUT/tessel-pack" "$PACK"
cp "$PACK_EXE" "$OUT/tessel-pack.exe"
cp "$tmp/cert.pem" "$OUT/test-signing-certificate.pem"
# The installer and the MSI around the signed program and its read-me (and
# tessel-deploy, signed too), signed as well.
for f in "$DEPLOY" "$DEPLOY_DLL"; do
    osslsigncode sign -certs "$tmp/cert.pem" -key "$tmp/key.pem" -h sha256 -in "$f" -out "$tmp/$(basename "$f")" >/dev/null
done
makensis -V2 -DPROGRAM="$PWD/$OUT/tessel-updater.exe" -DDEPLOY="$tmp/tessel-deploy.exe" \
    -DREADME="$PWD/sample-package/readme.mht" -DICON="$PWD/$ICON" \
    -DOUTFILE="$tmp/tessel-updater-setup.exe" installer/tessel-updater-setup.nsi
osslsigncode sign -certs "$tmp/cert.pem" -key "$tmp/key.pem" -h sha256 \
    -n "Orvex Tessel Keyboard Firmware Update" -in "$tmp/tessel-updater-setup.exe" -out "$OUT/tessel-updater-setup.exe" >/dev/null
osslsigncode verify -CAfile "$tmp/cert.pem" -in "$OUT/tessel-updater-setup.exe" >/dev/null
# wixl takes the files' paths relative to where it runs.
cp "$OUT/tessel-updater.exe" sample-package/readme.mht "$tmp/"
(cd "$tmp" && wixl -a x64 -D Program=tessel-updater.exe -D Readme=readme.mht \
    -D DeployDll=tessel-deploy-msi.dll -o tessel-updater.msi "$OLDPWD/installer/tessel-updater.wxs")
osslsigncode sign -certs "$tmp/cert.pem" -key "$tmp/key.pem" -h sha256 \
    -n "Orvex Tessel Keyboard Firmware Update" -in "$tmp/tessel-updater.msi" -out "$OUT/tessel-updater.msi" >/dev/null
osslsigncode verify -CAfile "$tmp/cert.pem" -in "$OUT/tessel-updater.msi" >/dev/null
(cd "$OUT" && sha256sum tessel-updater.exe tessel-updater-setup.exe tessel-updater.msi tessel-updater-bare.exe \
    tessel-pack tessel-pack.exe test-signing-certificate.pem > SHA256SUMS)
echo "release: $OUT"
cat "$OUT/SHA256SUMS"
