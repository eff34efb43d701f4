#!/usr/bin/env bash
# Installs into a staging folder and checks the program folder's layout; a second install must
# keep the shop's settings.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
folder="$stage$prefix"
for f in ZentaMarketMonitor Database/MySQLSetup.dat zentamarket.ini MySQLCompare.ini tools/zenta-regedit; do
    [ -e "$folder/$f" ] || { echo "missing $f"; exit 1; }
done
[ -x "$folder/ZentaMarketMonitor" ] || { echo "not executable"; exit 1; }
[ -d "$folder/Log" ] && [ -d "$folder/Backup" ] || { echo "missing folders"; exit 1; }
grep -q "^Exec=$prefix/ZentaMarketMonitor$" "$stage/etc/xdg/autostart/zentamarket-monitor.desktop" ||
    { echo "autostart entry wrong"; exit 1; }
unit="$stage/etc/systemd/system/zentamarket-monitor.service"
grep -q "^ExecStart=$prefix/ZentaMarketMonitor$" "$unit" || { echo "service unit wrong"; exit 1; }
if command -v systemd-analyze >/dev/null; then
    # Checked where the staged program really is.
    sed "s#$prefix#$folder#g" "$unit" >"$stage/zentamarket-monitor.service"
    systemd-analyze verify "$stage/zentamarket-monitor.service" ||
        { echo "systemd-analyze verify found faults in the unit"; exit 1; }
else
    echo "check-install: systemd-analyze not found; the unit's syntax was not verified"
fi
7zz l "$folder/Database/MySQLSetup.dat" | grep -q STRU.sql || { echo "setup package without STRU.sql"; exit 1; }
printf '[MySQL]\r\nMySQLHost=shop-server\r\n' >"$folder/zentamarket.ini"
DESTDIR="$stage" cmake --install "$build" >/dev/null
grep -q "MySQLHost=shop-server" "$folder/zentamarket.ini" || { echo "an upgrade replaced the settings"; exit 1; }
echo "1 passed, 0 failed"
