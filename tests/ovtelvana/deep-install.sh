#!/usr/bin/env bash
# OvTelvana.exe installed deeper than MAX_PATH registers and unregisters, and names the
# proxy/stub DLL beside it. Started from the host: Wine's CreateProcessW refuses such an
# executable path, its loader does not.
#   deep-install.sh <wine-run> <prefix> <OvTelvana.exe> <OvTelvanaPS.dll>
set -u
wine_run=$1 prefix=$2 exe=$3 dll=$4
unix=$prefix/drive_c/telvana_deep win='C:\telvana_deep'
for _ in 1 2 3 4 5; do
  part=$(printf 'd%.0s' {1..50}); unix+=/$part; win+="\\$part"
done
rm -rf "$prefix/drive_c/telvana_deep"
trap 'rm -rf "$prefix/drive_c/telvana_deep"' EXIT
mkdir -p "$unix" && cp "$exe" "$dll" "$unix/" || exit 1
"$wine_run" "$win\\OvTelvana.exe" -RegServer; registered=$?
named=$("$wine_run" reg query 'HKCR\CLSID\{75E0EF32-FD60-4729-97D3-6C13A98D7C25}\InprocServer32' /ve 2>/dev/null | tr -d '\r')
"$wine_run" "$win\\OvTelvana.exe" -UnregServer; unregistered=$?
echo "register: $registered, unregister: $unregistered (low bytes of the results)"
[[ $named == *"$win\\OvTelvanaPS.dll"* ]] || { echo "proxy/stub DLL registered as: $named"; exit 1; }
[[ $registered == 0 && $unregistered == 0 ]]
