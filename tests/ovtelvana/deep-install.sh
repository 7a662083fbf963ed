#!/usr/bin/env bash
# OvTelvana.exe installed deeper than MAX_PATH registers, naming the proxy/stub DLL beside it, and
# unregisters. Run from the host: Wine's CreateProcessW refuses such a path, its loader does not.
set -u  # deep-install.sh <wine-run> <prefix> <OvTelvana.exe> <OvTelvanaPS.dll>
d=$(printf 'd%.0s' {1..50}) top=$2/drive_c/telvana_deep
unix=$top/$d/$d/$d/$d/$d win="C:\\telvana_deep\\$d\\$d\\$d\\$d\\$d"
trap 'rm -rf "$top"' EXIT
mkdir -p "$unix" && cp "$3" "$4" "$unix/" || exit 1
"$1" "$win\\OvTelvana.exe" -RegServer; registered=$?
named=$("$1" reg query 'HKCR\CLSID\{75E0EF32-FD60-4729-97D3-6C13A98D7C25}\InprocServer32' /ve 2>/dev/null)
"$1" "$win\\OvTelvana.exe" -UnregServer; unregistered=$?
echo "registration: $registered, unregistration: $unregistered (low bytes of the results); DLL: $named"
[[ $registered == 0 && $unregistered == 0 && $named == *"$win\\OvTelvanaPS.dll"* ]]
