#!/usr/bin/env bash
# An upgrade from the real previous release, 3.12.1, which kept the shop's logs, backups,
# working folder and settings in the program folder: its package is built from its commit (once;
# kept in BUILD-DIR/previous-release), installed with dpkg --root and given a shop's data; then
# the package of this tree is installed over it with /var/opt/zentamarket on a filesystem of its
# own (a loop filesystem mounted there, not /var, which holds dpkg's database):
#  - too small for the backups: the upgrade stops, and the old installation is exactly as it
#    was (every file, link, owner and mode; dpkg still has 3.12.1 installed);
#  - large enough: everything is byte for byte where it belongs, and the program works.
#   check-upgrade.sh BUILD-DIR DB-PORT
set -euo pipefail
build=$(cd "$1" && pwd)
port=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
previous=ea009ccc49a21ffb9bd7b0f6fcb7ea3452e7f112 # 3.12.1, the last release of the old layout
. "$(dirname "$0")/scratch-root.sh"
fail() { echo "check-upgrade: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "mounting a filesystem at /var/opt/zentamarket needs root"

cache="$build/previous-release"
old="$cache/zentamarket-monitor_3.12.1_amd64.deb"
if [ ! -f "$old" ]; then
    git -C "$source_dir" cat-file -e "$previous^{commit}" 2>/dev/null ||
        fail "the previous release's commit $previous is not in this clone (a full clone is needed)"
    echo "check-upgrade: building the previous release's package (once; kept in $cache)"
    rm -rf "$cache" && mkdir -p "$cache/src"
    git -C "$source_dir" archive "$previous" | tar -x -C "$cache/src"
    # Built plain (no optimising, no debug information): only its files and layout are
    # looked at, and on a clean machine this build is the test's longest part.
    cmake -S "$cache/src" -B "$cache/build" -G Ninja -DCMAKE_BUILD_TYPE=None \
        -DZENTA_BUILD_TESTS=OFF -DZENTA_BUILD_BENCH=OFF >"$cache/build.log" 2>&1 &&
        cmake --build "$cache/build" >>"$cache/build.log" 2>&1 &&
        cpack --config "$cache/build/CPackConfig.cmake" -B "$cache/package" >>"$cache/build.log" 2>&1 ||
        { tail -n 30 "$cache/build.log" >&2; fail "the previous release could not be built"; }
    mv "$cache"/package/zentamarket-monitor_3.12.1_amd64.deb "$old"
    rm -rf "$cache/src" "$cache/build" "$cache/package"
fi

work=$(mktemp -d)
mounted=""
cleanup() {
    [ -z "$mounted" ] || umount -l "$mounted" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
cpack --config "$build/CPackConfig.cmake" -B "$work/new" >/dev/null
new=$(ls "$work"/new/zentamarket-monitor_*_amd64.deb)

# A fresh system's accounts, with the database server's user.
root="$work/root"
new_root "$root"
pkg() { # dpkg in the scratch root; its status, its words in $work/dpkg.log
    dpkg --root="$root" --force-not-root --force-script-chrootless --force-depends \
        --log=/dev/null "$@" >"$work/dpkg.log" 2>&1
}
app="$root/opt/zentamarket"
var="$root/var/opt/zentamarket"
etc="$root/etc/opt/zentamarket"
inroot() { ODBCSYSINI="$root/etc" ZENTA_REGISTRY="$etc/registry.reg" ZENTA_LEGACY_SETTINGS="$root/etc/zentamarket" "$@"; }

pkg -i "$old" || { cat "$work/dpkg.log" >&2; fail "the previous release does not install"; }
[ -d "$app/Backup" ] && [ ! -L "$app/Backup" ] || fail "the previous release does not keep its backups in the program folder"
# The shop's data as the old installation has it: settings edited, archives (that do not
# compress: 24 MiB), logs, a table export left in the working folder.
printf '[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=%s\r\n' "$port" >"$app/zentamarket.ini"
for day in 01 02 03; do
    head -c 8M /dev/urandom >"$app/Backup/ZentaMarket202611${day}020000.ZTB"
done
printf 'a log line\n' >"$app/Log/ZentaMarketMonitor.log"
printf 'rows\n' >"$app/Temp/Backup/articulo.txt"
chown -R --reference="$app/Backup" "$app/Backup"

# Every entry of the installation but dpkg's own records: path, kind, mode, owner, size, link
# and content.
manifest() {
    (cd "$root" && find . -path ./var/lib/dpkg -prune -o -path ./var/lib/zentamarket-monitor -prune \
        -o -path ./var/opt/zentamarket/lost+found -prune -o -printf '%p %y %m %U:%G %s %l\n' | sort)
    (cd "$root" && find . -path ./var/lib/dpkg -prune -o -type f -print0 | sort -z | xargs -0 sha256sum)
}
installed() { dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Version} ${Status}' zentamarket-monitor; }

# A small filesystem where the shop's folders go (16 MiB; a tmpfs where loop devices are
# missing).
disk() { # SIZE-MIB
    [ -z "$mounted" ] || { umount "$mounted"; mounted=""; }
    mkdir -p "$var"
    if truncate -s "${1}M" "$work/disk.img" && mkfs.ext4 -q -m 0 "$work/disk.img" &&
        mount -o loop "$work/disk.img" "$var" 2>/dev/null; then
        :
    else
        mount -t tmpfs -o "size=${1}m" tmpfs "$var" || fail "no filesystem can be mounted at $var"
    fi
    mounted="$var"
}

# 1. Too small: stopped before anything moved, the old installation as it was.
disk 16
before=$(manifest)
pkg -i "$new" && fail "the upgrade went on although the backups do not fit"
grep -q "need .* MiB on the filesystem of .*, which has .* MiB free: nothing was moved" "$work/dpkg.log" ||
    { cat "$work/dpkg.log" >&2; fail "the refusal does not say what is missing"; }
[ "$(installed)" = "3.12.1 install ok installed" ] || fail "dpkg has $(installed) after the failed upgrade"
after=$(manifest)
[ "$before" = "$after" ] || { diff <(echo "$before") <(echo "$after") >&2; fail "the failed upgrade changed the old installation"; }
[ -z "$(ls -A "$var" | grep -v '^lost+found$' || true)" ] || fail "the failed upgrade left $(ls -A "$var") in $var"

# 2. Large enough: everything where it belongs, byte for byte, and the program working.
sums=$(cd "$app" && sha256sum Backup/*.ZTB Log/ZentaMarketMonitor.log Temp/Backup/articulo.txt)
settings=$(cat "$app/zentamarket.ini")
disk 96
pkg -i "$new" || { cat "$work/dpkg.log" >&2; fail "the upgrade failed on a filesystem that fits"; }
[ "$(installed)" = "$(dpkg-deb -f "$new" Version) install ok installed" ] || fail "not upgraded: $(installed)"
(cd "$var" && echo "$sums" | sha256sum --quiet -c -) || fail "the shop's files did not arrive whole in $var"
[ "$(cat "$etc/zentamarket.ini")" = "$settings" ] || fail "the shop's settings did not arrive as they were"
for l in Log Backup Temp zentamarket.ini; do
    [ -L "$app/$l" ] || fail "no link $l in the program folder"
done
[ -z "$(find "$var" "$app" -name '*.moving')" ] || fail "a copy was left half-way"
[ -f "$root/var/lib/zentamarket-monitor/moved-by-preinst" ] && fail "the record of the moves was left"
# Against the private server holding the suite's schema.
sock="$build/testenv/mariadb/mysqld.sock"
mariadb --no-defaults -uroot --socket="$sock" \
    -e 'DROP DATABASE IF EXISTS zentasupermarket; CREATE DATABASE zentasupermarket;' &&
    mariadb --no-defaults -uroot --socket="$sock" zentasupermarket \
        <"$source_dir/schema/zentasupermarket.sql" || fail "the schema cannot be loaded"
out=$(inroot "$app/ZentaMarketMonitor" backup 2>&1) || fail "the upgraded program cannot make a backup: $out"
archive="$var/Backup/$(basename "$(echo "$out" | tail -n 1)")"
[ -f "$archive" ] && 7zz t "$archive" >/dev/null || fail "no good archive in $var/Backup: $out"
out=$(inroot "$app/ZentaMarketMonitor" doctor 2>&1) || true
echo "$out" | grep -q '^good    backup folder' || fail "doctor does not find the backup folder: $out"
echo "$out" | grep -q 'FAULT   settings folder' && fail "doctor finds the settings in two places: $out"
echo "check-upgrade: the previous release's installation upgraded: refused whole on a filesystem too small, moved byte for byte on one that fits"
echo "1 passed, 0 failed"
