#!/usr/bin/env bash
# Installs what is needed, builds the Windows binaries and runs lorrivan-client under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
bash "$top/scripts/build.sh" --windows-only
prefix="$top/build/windows/wineprefix-run"
bash "$top/scripts/wine-prefix.sh" start "$prefix"
trap 'bash "$top/scripts/wine-prefix.sh" stop "$prefix"' EXIT
WINEPREFIX="$prefix" WINEDEBUG=-all wine "$top/build/windows/client/lorrivan-client.exe" "$@"
