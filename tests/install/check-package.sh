#!/usr/bin/env bash
# The Debian package: built from the tree, installed into a root of its own with dpkg --root
# (the maintainer scripts run without chroot and honour DPKG_ROOT), upgraded from an older
# build with the shop's settings edited, started from its installed place against the private
# MariaDB, removed and purged.
#   check-package.sh BUILD-DIR DB-PORT
set -euo pipefail
build=$1
port=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/scratch-root.sh"
fail() { echo "check-package: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/new" >/dev/null
cpack --config "$build/CPackConfig.cmake" -B "$work/old" -D CPACK_PACKAGE_VERSION=3.0.0 >/dev/null
new=$(ls "$work"/new/zentamarket-monitor_*_amd64.deb)
old=$(ls "$work"/old/zentamarket-monitor_3.0.0_amd64.deb)

# Runtime dependencies only: nothing a build or the tests need.
for dep in $(dpkg-deb -f "$new" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/ //g'); do
    case "$dep" in
    *-dev | cmake | gcc | g++ | build-essential | mariadb-server | xvfb | xdotool | trayer | \
        python3* | googletest | cups) fail "the package depends on $dep" ;;
    esac
done
dpkg-deb -c "$new" | awk '{ print $1, $6 }' | grep -E '^[^l].{7}w' && fail "world-writable entries in the package"

# Debian's own package checker: nothing but what the package overrides with its reasons
# (a vendor package in /opt and its relative links).
if command -v lintian >/dev/null; then
    lintian --tag-display-limit 0 "$new" >"$work/lintian.txt" 2>&1 || true
    grep -E '^[EW]: ' "$work/lintian.txt" && fail "lintian finds faults in the package"
    grep -E '^O: .*(conffile|copyright|changelog)' <(lintian --show-overrides "$new" 2>/dev/null) &&
        fail "an override for conffiles, copyright or changelog"
else
    echo "check-package: lintian not found; the package was not checked against Debian's rules"
fi

# A fresh system's accounts, with the database server's user.
root="$work/root"
new_root "$root"
pkg() {
    dpkg --root="$root" --force-not-root --force-script-chrootless --force-depends \
        --log=/dev/null "$@" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg $*"; }
}
app="$root/opt/zentamarket"
etc="$root/etc/opt/zentamarket"
var="$root/var/opt/zentamarket"
# The installed program as the shop runs it (its links are relative: they work below the
# scratch root too).
inroot() { ODBCSYSINI="$root/etc" ZENTA_REGISTRY="$root/etc/opt/zentamarket/registry.reg" ZENTA_LEGACY_SETTINGS="$root/etc/zentamarket" "$@"; }

# A set-up from before the package registered one of the suite's driver names (with its
# entry in the registry store): the package must leave it as it found it.
printf '[MySQL ODBC Driver 3.51.17]\nDescription=registered by hand\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libmaodbc.so\nUsageCount=1\n' >"$root/etc/odbcinst.ini"
mkdir -p "$root/etc/opt/zentamarket"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\MySQL AB\\MySQL ODBC Driver 3.51.17]\r\n"Version"="3.1.9"\r\n' >"$root/etc/opt/zentamarket/registry.reg"

pkg -i "$old"
grep -q 'ZentaMarketMonitor doctor' "$work/dpkg.log" || fail "the installation does not name doctor"
# The shop's own settings, as a technician edits them.
[ "$(readlink "$app/zentamarket.ini")" = ../../etc/opt/zentamarket/zentamarket.ini ] ||
    fail "the program folder does not link to the settings"
printf '[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=%s\r\n' "$port" >"$etc/zentamarket.ini"
pkg -i "$new"
pkg -i "$new" # installed again: nothing is registered twice
[ "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Version}' zentamarket-monitor)" = \
    "$(dpkg-deb -f "$new" Version)" ] || fail "not upgraded"
grep -q "MySQLPort=$port" "$etc/zentamarket.ini" || fail "the upgrade replaced the shop's settings"
grep -q '^ /etc/opt/zentamarket/zentamarket.ini ' "$root/var/lib/dpkg/status" ||
    fail "zentamarket.ini is not a conffile"

# Accounts: the group is shared with the database server's user.
grep -q '^zentamarket:x:[0-9]*:[0-9]*::/opt/zentamarket:/usr/sbin/nologin$' "$root/etc/passwd" ||
    fail "no system user zentamarket"
grep -q '^zentamarket:x:[0-9]*:mysql$' "$root/etc/group" || fail "mysql is not in the group zentamarket"
[ "$(grep -c '^zentamarket:' "$root/etc/passwd")" = 1 ] || fail "the user was made twice"

# ODBC names: each once, with the driver's version in the registry store.
for name in "MySQL ODBC Driver 3.51.ultimate" "MySQL ODBC Driver 3.51.28" "MySQL ODBC Driver 3.51.17"; do
    [ "$(grep -cF "[$name]" "$root/etc/odbcinst.ini")" = 1 ] || fail "$name registered $(grep -cF "[$name]" "$root/etc/odbcinst.ini") times"
    ZENTA_REGISTRY="$root/etc/opt/zentamarket/registry.reg" "$app/tools/zenta-regedit" get \
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\MySQL AB\\$name" Version | grep -q . || fail "no version of $name"
done

# Owners and modes: the program's user and group, nothing open to every user.
uid=$(awk -F: '$1 == "zentamarket" { print $3 }' "$root/etc/passwd")
gid=$(awk -F: '$1 == "zentamarket" { print $3 }' "$root/etc/group")
for d in "$app" "$var/Log" "$var/Backup" "$var/Temp" "$var/Temp/Backup" "$etc"; do
    [ "$(stat -c %u:%g "$d")" = "$uid:$gid" ] || fail "$d belongs to $(stat -c %u:%g "$d")"
done
for d in "$var/Log" "$var/Backup" "$var/Temp" "$var/Temp/Backup" "$etc"; do
    [ "$(stat -c %a "$d")" = 2770 ] || fail "$d has mode $(stat -c %a "$d")"
done
[ "$(stat -c %a "$etc/zentamarket.ini")" = 660 ] || fail "zentamarket.ini has mode $(stat -c %a "$etc/zentamarket.ini")"
for l in Log Backup Temp; do
    [ "$(readlink -f "$app/$l")" = "$(readlink -f "$var/$l")" ] || fail "$app/$l does not link to $var/$l"
done
find "$root/opt" "$root/etc" "$root/var/opt" "$root/lib/systemd" -perm -0002 ! -type l | grep . && fail "world-writable after installing"
grep -q '^ExecStart=/opt/zentamarket/ZentaMarketMonitor$' "$root/lib/systemd/system/zentamarket-monitor.service" ||
    fail "the unit is missing or wrong"

# The installed program, from its place, against the private server holding the suite's
# schema (whatever an earlier test left there: a backup of a database without the suite's
# tables rightly does not count).
sock="$build/testenv/mariadb/mysqld.sock"
mariadb --no-defaults -uroot --socket="$sock" \
    -e 'DROP DATABASE IF EXISTS zentasupermarket; CREATE DATABASE zentasupermarket;' &&
    mariadb --no-defaults -uroot --socket="$sock" zentasupermarket \
        <"$(dirname "$0")/../../schema/zentasupermarket.sql" || fail "the schema cannot be loaded"
out=$(inroot "$app/ZentaMarketMonitor" status 2>/dev/null) || fail "status failed: $out"
echo "$out" | grep -q '^Database: *connected, ' || fail "the installed program did not connect: $out"
out=$(inroot "$app/ZentaMarketMonitor" backup 2>/dev/null) || fail "backup failed: $out"
archive="$var/Backup/$(basename "$(echo "$out" | tail -n 1)")"
[ -f "$archive" ] && 7zz t "$archive" >/dev/null || fail "no good archive in $var/Backup: $out"
# A setting the program writes goes through the link, which stays.
inroot "$app/ZentaMarketMonitor" status >/dev/null 2>&1 || true
[ -L "$app/zentamarket.ini" ] || fail "the program replaced the link to its settings"
out=$(inroot "$app/ZentaMarketMonitor" doctor 2>&1) && status=0 || status=$?
[ "$status" -le 1 ] || fail "doctor could not run ($status): $out"
echo "$out" | grep -q '^good    database: reachable' || fail "doctor did not find the database: $out"
echo "$out" | grep -q '^good    ODBC driver MySQL ODBC Driver 3.51.ultimate: registered' ||
    fail "doctor did not find the driver names: $out"
find "$app" "$var" "$etc" -perm -0002 ! -type l | grep . && fail "the program made something world-writable"
[ -z "$(ls -A "$var/Temp/Backup")" ] || fail "table exports left in Temp/Backup"

# Removed: the settings and the shop's backups stay; purged: the ODBC names go.
pkg -r zentamarket-monitor
[ -f "$etc/zentamarket.ini" ] && [ -f "$archive" ] || fail "removing lost the settings or a backup"
grep -qF '[MySQL ODBC Driver 3.51.ultimate]' "$root/etc/odbcinst.ini" || fail "remove (not purge) dropped the ODBC names"
pkg -P zentamarket-monitor
grep -qF '[MySQL ODBC Driver 3.51.ultimate]' "$root/etc/odbcinst.ini" && fail "purge left the ODBC names it added"
grep -qF '[MySQL ODBC Driver 3.51.28]' "$root/etc/odbcinst.ini" && fail "purge left the ODBC names it added"
grep -qF '[MySQL ODBC Driver 3.51.17]' "$root/etc/odbcinst.ini" || fail "purge took away a driver name it did not add"
grep -F -A1 'MySQL ODBC Driver 3.51.17]' "$root/etc/opt/zentamarket/registry.reg" | grep -q '"Version"' ||
    fail "purge took away a registry entry it did not add"
grep -F -A1 'MySQL ODBC Driver 3.51.ultimate]' "$root/etc/opt/zentamarket/registry.reg" | grep -q '"Version"' &&
    fail "purge left a registry entry it added"
[ -d "$root/var/lib/zentamarket-monitor" ] && fail "purge left the package's state"
[ -f "$archive" ] || fail "purging deleted a backup"
[ -f "$etc/zentamarket.ini" ] && fail "purge left the settings"

# An installation from before this layout, everything in the program folder: the shop's
# settings, logs and backups are moved over, and the program folder links to them.
root="$work/legacy"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/opt/zentamarket/Backup" \
    "$root/opt/zentamarket/Log" "$root/opt/zentamarket/Temp/Backup"
cp "$work/root/etc/passwd" "$work/root/etc/group" "$work/root/etc/shadow" "$work/root/etc/gshadow" "$root/etc/" 2>/dev/null ||
    { mkdir -p "$root/etc" && cp "$work/root/etc/passwd" "$work/root/etc/group" "$work/root/etc/shadow" "$work/root/etc/gshadow" "$root/etc/"; }
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
printf '[MySQL]\r\nMySQLHost=shop-server\r\n[Monitor]\r\nArchivePasswordFile=/etc/zentamarket/archive-password\r\n' >"$root/opt/zentamarket/zentamarket.ini"
# What earlier versions kept in /etc/zentamarket: the registry store, the head office's
# addresses, an archive password.
mkdir -p "$root/etc/zentamarket"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Shop]\r\n"Kept"="yes"\r\n' >"$root/etc/zentamarket/registry.reg"
printf '[HeadOffice]\r\nPrimary=hq.example.com\r\n' >"$root/etc/zentamarket/headoffice.ini"
printf 'the shop secret\n' >"$root/etc/zentamarket/archive-password"
chmod 600 "$root/etc/zentamarket/archive-password"
echo "an archive" >"$root/opt/zentamarket/Backup/ZentaMarket20261101020000.ZTB"
echo "a log" >"$root/opt/zentamarket/Log/ZentaMarketMonitor.log"
pkg -i "$new"
grep -q "MySQLHost=shop-server" "$root/etc/opt/zentamarket/zentamarket.ini" || fail "the shop's settings were not moved over"
[ -f "$root/etc/opt/zentamarket/zentamarket.ini.dpkg-dist" ] || fail "the package's settings were not kept beside"
[ "$(cat "$root/var/opt/zentamarket/Backup/ZentaMarket20261101020000.ZTB")" = "an archive" ] || fail "a backup was not moved over"
[ -f "$root/var/opt/zentamarket/Log/ZentaMarketMonitor.log" ] || fail "the log was not moved over"
for l in Log Backup Temp zentamarket.ini; do
    [ -L "$root/opt/zentamarket/$l" ] || fail "no link $l in the program folder after moving over"
done
# One settings folder: the files of /etc/zentamarket moved as they were, the setting that named
# one names its new place, the old folder gone.
[ -d "$root/etc/zentamarket" ] && fail "/etc/zentamarket is still there: $(ls -A "$root/etc/zentamarket")"
[ "$(cat "$root/etc/opt/zentamarket/archive-password")" = "the shop secret" ] || fail "the archive password was not moved"
[ "$(stat -c %a "$root/etc/opt/zentamarket/archive-password")" = 600 ] || fail "the archive password's mode changed"
grep -q "Primary=hq.example.com" "$root/etc/opt/zentamarket/headoffice.ini" || fail "headoffice.ini was not moved"
grep -q '"Kept"="yes"' "$root/etc/opt/zentamarket/registry.reg" || fail "the registry store was not moved"
grep -q '"Version"' "$root/etc/opt/zentamarket/registry.reg" || fail "the driver names were not recorded in the moved store"
grep -q "ArchivePasswordFile=/etc/opt/zentamarket/archive-password" "$root/etc/opt/zentamarket/zentamarket.ini" ||
    fail "ArchivePasswordFile still names the old place"
echo "check-package: built, installed, upgraded, run, removed and purged in $work/root (dpkg --root); an older layout moved over"
echo "1 passed, 0 failed"
