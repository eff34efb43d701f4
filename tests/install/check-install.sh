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
unit="$stage/lib/systemd/system/zentamarket-monitor.service"
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
# Nothing open to every user; the working folder shared through its group.
find "$stage" -perm -0002 ! -type l | grep . && { echo "world-writable after installing"; exit 1; }
# At the system prefix: the layout of a package in /opt, the program folder linking to the
# settings and the data (their owners and modes are the package's configuration's to set).
if [ "$prefix" = /opt/zentamarket ]; then
    for l in Log Backup Temp; do
        [ "$(readlink "$folder/$l")" = "../../var/opt/zentamarket/$l" ] || { echo "$l is not linked to /var/opt"; exit 1; }
    done
    [ "$(readlink "$folder/zentamarket.ini")" = ../../etc/opt/zentamarket/zentamarket.ini ] ||
        { echo "zentamarket.ini is not linked to /etc/opt"; exit 1; }
    grep -q "MySQLHost=shop-server" "$stage/etc/opt/zentamarket/zentamarket.ini" || { echo "settings not in /etc/opt"; exit 1; }
    [ -d "$stage/var/opt/zentamarket/Temp/Backup" ] || { echo "no working folder in /var/opt"; exit 1; }
    [ -f "$stage/usr/share/doc/zentamarket-monitor/copyright" ] && [ -f "$stage/usr/share/doc/zentamarket-monitor/changelog.gz" ] ||
        { echo "no copyright or changelog"; exit 1; }
else
    [ "$(stat -c %a "$folder/Temp/Backup")" = 2770 ] || { echo "Temp/Backup is $(stat -c %a "$folder/Temp/Backup")"; exit 1; }
fi

# Another prefix: everything below it, the entry and the unit naming it.
other="$stage/elsewhere"
cmake --install "$build" --prefix "$other" >/dev/null
while read -r f; do
    case "$f" in "$other"/*) ;; *) echo "installed outside the prefix: $f"; exit 1 ;; esac
done <"$build/install_manifest.txt"
grep -q "^Exec=$other/ZentaMarketMonitor$" "$other/share/zentamarket/zentamarket-monitor.desktop" ||
    { echo "autostart entry below the prefix wrong"; exit 1; }
grep -q "^ExecStart=$other/ZentaMarketMonitor$" "$other/share/zentamarket/zentamarket-monitor.service" ||
    { echo "unit below the prefix wrong"; exit 1; }
echo "1 passed, 0 failed"
