#!/bin/bash
# check-rules.sh HEADOFFICE_DIR
#
# Head office's Prometheus files, checked with promtool:
#   - every rules file in HEADOFFICE_DIR/rules parses (promtool check rules);
#   - the unit tests in tests/headoffice/rules/*.test.yml pass against those rules files
#     (promtool test rules): the console's cells and every alert, firing and not;
#   - HEADOFFICE_DIR/prometheus.yml, when there is one, is a valid configuration
#     (promtool check config) with its installed paths moved into a scratch folder.
# A missing promtool fails the check: it never passes by doing nothing.
set -euo pipefail

if ! command -v promtool >/dev/null 2>&1; then
    echo "check-rules: promtool is not installed (Debian: apt-get install prometheus)" >&2
    exit 1
fi

if [ $# -ne 1 ] || [ ! -d "$1/rules" ]; then
    echo "usage: $0 HEADOFFICE_DIR (the folder holding rules/)" >&2
    exit 2
fi
headoffice=$(cd "$1" && pwd)
tests=$(cd "$(dirname "$0")/rules" && pwd)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

shopt -s nullglob
rules=("$headoffice"/rules/*.yml)
cases=("$tests"/*.test.yml)
if [ ${#rules[@]} -eq 0 ]; then
    echo "check-rules: no rules files in $headoffice/rules" >&2
    exit 1
fi
if [ ${#cases[@]} -eq 0 ]; then
    echo "check-rules: no unit tests in $tests" >&2
    exit 1
fi

echo "== promtool check rules"
promtool check rules "${rules[@]}"

# The tests name their rules files as ../../../headoffice/rules/*.yml: they run from a copy of
# that layout, so that it is HEADOFFICE_DIR's rules they test, wherever it lies.
echo "== promtool test rules"
mkdir -p "$scratch/tree/tests/headoffice/rules" "$scratch/tree/headoffice"
cp -r "$headoffice/rules" "$scratch/tree/headoffice/rules"
cp "${cases[@]}" "$scratch/tree/tests/headoffice/rules/"
(cd "$scratch/tree/tests/headoffice/rules" && promtool test rules ./*.test.yml)

echo "== promtool check config"
if [ ! -f "$headoffice/prometheus.yml" ]; then
    echo "check-rules: NOTE: $headoffice/prometheus.yml is not there yet; its check is left out"
    exit 0
fi
# The configuration names the installed folders; here they are folders of the scratch one,
# holding copies of head office's files: the rules as the package installs them, no branch's
# targets yet (an empty list) and no generated rules.
root="$scratch/root"
mkdir -p "$root/usr/share/zentamarket-headoffice" "$root/var/lib/zentamarket-headoffice/rules" \
    "$root/var/lib/zentamarket-headoffice/targets" "$root/etc/zentamarket-headoffice"
cp -r "$headoffice/rules" "$root/usr/share/zentamarket-headoffice/rules"
echo '[]' >"$root/var/lib/zentamarket-headoffice/targets/branches.json"
for f in alertmanager.yml branches.yml; do
    if [ -f "$headoffice/$f" ]; then cp "$headoffice/$f" "$root/etc/zentamarket-headoffice/"; fi
done
sed -e "s|/var/lib/zentamarket-headoffice|$root/var/lib/zentamarket-headoffice|g" \
    -e "s|/usr/share/zentamarket-headoffice|$root/usr/share/zentamarket-headoffice|g" \
    -e "s|/etc/zentamarket-headoffice|$root/etc/zentamarket-headoffice|g" \
    "$headoffice/prometheus.yml" >"$root/prometheus.yml"
promtool check config "$root/prometheus.yml"
