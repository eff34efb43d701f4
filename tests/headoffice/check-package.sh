#!/usr/bin/env bash
# Head office's package: built from the tree, accepted by lintian, and its installed files
# working together: the generator run from its installed place on the installed branch list,
# Prometheus and Alertmanager started with the arguments of the package's own units (their
# paths taken into the unpacked root), the rules loaded and the console page served.
#   check-package.sh SOURCE-DIR BUILD-DIR
set -euo pipefail
source=$1
build=$2
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-package: $*" >&2; exit 1; }
for tool in dpkg-deb lintian promtool amtool prometheus prometheus-alertmanager curl; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup installs it)"
done

deb=$("$source/scripts/package-headoffice" "$work/out" | tail -n 1)
[ -f "$deb" ] || fail "no package was built"
[ "$(dpkg-deb -f "$deb" Architecture)" = all ] || fail "the package is not Architecture: all"
lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 || true
grep -E '^[EW]: ' "$work/lintian.txt" && fail "lintian finds faults in the package"
dpkg-deb -c "$deb" | awk '{ print $1, $6 }' | grep -E '^[^l].{7}w' && fail "world-writable entries"

root="$work/root"
dpkg-deb -R "$deb" "$root"
# What a chain edits is kept over upgrades: the branch list and both servers' configuration.
for conffile in /etc/zentamarket-headoffice/branches.yml /etc/zentamarket-headoffice/prometheus.yml \
    /etc/zentamarket-headoffice/alertmanager.yml /etc/default/zentamarket-headoffice; do
    grep -qx "$conffile" "$root/DEBIAN/conffiles" || fail "$conffile is not a conffile"
    [ -f "$root$conffile" ] || fail "$conffile is not in the package"
done

# The installed places, taken into the unpacked root.
into_root() {
    sed -e "s#/etc/zentamarket-headoffice#$root/etc/zentamarket-headoffice#g" \
        -e "s#/usr/share/zentamarket-headoffice#$root/usr/share/zentamarket-headoffice#g" \
        -e "s#/var/lib/zentamarket-headoffice#$root/var/lib/zentamarket-headoffice#g" "$@"
}
state="$root/var/lib/zentamarket-headoffice"
mkdir -p "$state/prometheus" "$state/alertmanager"
# The installed list, with one branch at a place no one answers (nothing leaves 127.0.0.1).
sed -i 's/address: 10.8.0.1$/address: 127.0.0.1:1/' "$root/etc/zentamarket-headoffice/branches.yml"
"$root/usr/bin/zentamarket-headoffice-branches" --list "$root/etc/zentamarket-headoffice/branches.yml" \
    --out "$state" --alertmanager "$root/etc/zentamarket-headoffice/alertmanager.yml" ||
    fail "the installed generator refuses the installed branch list"
into_root "$root/etc/zentamarket-headoffice/prometheus.yml" >"$work/prometheus.yml.new"
mv "$work/prometheus.yml.new" "$root/etc/zentamarket-headoffice/prometheus.yml"
sed -i 's/127.0.0.1:9193/127.0.0.1:29193/; s/127.0.0.1:9100/127.0.0.1:1/' "$root/etc/zentamarket-headoffice/prometheus.yml"
promtool check config "$root/etc/zentamarket-headoffice/prometheus.yml" >"$work/check.txt" 2>&1 ||
    { cat "$work/check.txt"; fail "promtool refuses the installed configuration"; }
amtool check-config "$root/etc/zentamarket-headoffice/alertmanager.yml" >/dev/null ||
    fail "amtool refuses the installed Alertmanager configuration"

# A unit's command line, its continuation lines joined and its variables given.
command_of() {
    into_root "$root/lib/systemd/system/$1" | sed -n '/^ExecStart=/,/[^\\]$/p' |
        sed 's/^ExecStart=//; s/\\$//' | tr '\n' ' ' |
        sed "s#\${LISTEN}#127.0.0.1:29190#; s#\${RETENTION}#1d#; s#\${ALERTMANAGER_LISTEN}#127.0.0.1:29193#"
}
read -r -a prom <<<"$(command_of zentamarket-headoffice-prometheus.service)"
read -r -a am <<<"$(command_of zentamarket-headoffice-alertmanager.service)"
[ "${prom[0]}" = /usr/bin/prometheus ] || fail "the Prometheus unit runs ${prom[0]}"
[ "${am[0]}" = /usr/bin/prometheus-alertmanager ] || fail "the Alertmanager unit runs ${am[0]}"
"${am[@]}" >"$work/alertmanager.log" 2>&1 &
pids+=($!)
"${prom[@]}" >"$work/prometheus.log" 2>&1 &
pids+=($!)

for _ in $(seq 1 60); do
    curl -fsS http://127.0.0.1:29190/-/ready >/dev/null 2>&1 &&
        curl -fsS http://127.0.0.1:29193/-/ready >/dev/null 2>&1 && break
    sleep 0.5
done
curl -fsS http://127.0.0.1:29190/-/ready >/dev/null || { tail "$work/prometheus.log"; fail "Prometheus did not start"; }
curl -fsS http://127.0.0.1:29193/-/ready >/dev/null || { tail "$work/alertmanager.log"; fail "Alertmanager did not start"; }
rules=$(curl -fsS http://127.0.0.1:29190/api/v1/rules)
for group in zentamarket-branch-figures zentamarket-data-loss zentamarket-while-open zentamarket-branch-list; do
    grep -q "\"name\":\"$group\"" <<<"$rules" || fail "the rule group $group is not loaded"
done
# File-based discovery reads the targets a moment after the start.
for _ in $(seq 1 40); do
    curl -fsS http://127.0.0.1:29190/api/v1/targets | grep -q '"branch":"1-1"' && break
    sleep 0.5
done
curl -fsS http://127.0.0.1:29190/api/v1/targets | grep -q '"branch":"1-1"' ||
    fail "the listed branch is not a target"
curl -fsS -o "$work/page.html" -w '%{http_code}' http://127.0.0.1:29190/consoles/zentamarket.html |
    grep -qx 200 || fail "the console page is not served"
curl -fsS http://127.0.0.1:29190/api/v1/alertmanagers | grep -q '127.0.0.1:29193' ||
    fail "Prometheus does not send its alerts to the Alertmanager"
echo "check-package: $(basename "$deb") is lintian clean and its installed files work together"
