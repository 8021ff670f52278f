#!/usr/bin/env bash
# Runs the real-driver tests (win_drivers.exe) in two Wine sessions:
#   wine_drivers.sh <prefix directory> <win_drivers.exe>
# 1. NuvexCtrl_Install(1, ...) writes the main driver's service key straight into the
#    registry; Wine's NtLoadDriver is a stub, so the load fails (195).
# 2. After the Wine session is ended (wineserver -k), the service manager starts afresh,
#    reads that key and loads the boot-start driver; the rest of the tests drive it and the
#    access-control driver. A persistent wineserver keeps the drivers' state for the whole
#    session; it is ended at the end, after a clean-up that leaves no driver registered.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=$1
program=$2
export WINEPREFIX=$prefix

status=0
wineserver -k >/dev/null 2>&1
"$here/wine_run.sh" "$prefix" "$program" --gtest_filter='MainDriverInstallTest.*' || status=1
wineserver -k >/dev/null 2>&1
wineserver -w
WINEPREFIX=$prefix wineserver -p
"$here/wine_run.sh" "$prefix" "$program" \
  --gtest_filter='MainDriverTest.*:AccessControlDriverTest.*:MonitorDriverTest.*' || status=1
"$here/wine_run.sh" "$prefix" "$program" --gtest_filter='DriverCleanup.*' || status=1
wineserver -k >/dev/null 2>&1
wineserver -w
exit $status
