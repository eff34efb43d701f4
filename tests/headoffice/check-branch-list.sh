#!/usr/bin/env bash
# The branch list turned into Prometheus' targets and opening hours: the labels each branch's
# figures get, a pair's two computers, and whether a branch counts as open at a given moment
# (checked by promtool on the generated rules, in winter and in summer time, across midnight
# and the week's end); a faulty list is refused with its branch named and nothing written.
#   check-branch-list.sh HEADOFFICE-DIR
set -euo pipefail
headoffice=$1
generator="$headoffice/zentamarket-headoffice-branches"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-branch-list: $*" >&2; exit 1; }
command -v promtool >/dev/null || fail "promtool is missing (scripts/setup installs it)"

cat >"$work/alertmanager.yml" <<'YML'
route: { receiver: it-team }
receivers: [ { name: it-team }, { name: it-canarias } ]
YML
cat >"$work/branches.yml" <<'YML'
defaults:
  port: 9100
  timezone: Europe/Madrid
  hours: "Mon-Sat 08:00-21:30; Sun 09:00-14:00"
  receiver: it-team
branches:
  - branch: "1-7"
    name: Valencia Centro
    address: 10.8.0.7
  - branch: "1-8"
    name: "Sevilla Nervión"
    addresses: [10.8.0.8, "10.8.1.8:9200"]
    prefix: sevilla-nervion
  - branch: "2-1"
    name: Las Palmas
    address: 10.9.0.1
    timezone: Atlantic/Canary
    receiver: it-canarias
  - branch: "2-2"
    name: Noche
    address: 10.9.0.2
    hours: "Fri-Sat 22:00-02:00"
  - branch: "2-3"
    name: Aeropuerto
    address: 10.9.0.3
    hours: always
YML

generate() { "$generator" --list "$work/branches.yml" --alertmanager "$work/alertmanager.yml" "$@"; }
generate --out "$work/winter" --now 2026-12-08T12:00:00Z >/dev/null || fail "a good list is refused"
generate --out "$work/summer" --now 2026-07-01T12:00:00Z >/dev/null || fail "a good list is refused"

# The targets and their labels, exactly.
/usr/bin/python3 - "$work/winter/targets/branches.json" <<'PY' || fail "the targets are not as listed"
import json, sys
groups = {g["labels"]["branch"]: g for g in json.load(open(sys.argv[1]))}
assert sorted(groups) == ["1-7", "1-8", "2-1", "2-2", "2-3"], groups
assert groups["1-7"]["targets"] == ["10.8.0.7:9100"]
assert groups["1-7"]["labels"] == {"branch": "1-7", "branch_name": "Valencia Centro",
                                   "receiver": "it-team", "prefix": "zentamarket-1-7"}
assert groups["1-8"]["targets"] == ["10.8.0.8:9100", "10.8.1.8:9200"], groups["1-8"]
assert groups["1-8"]["labels"]["prefix"] == "sevilla-nervion"
assert groups["1-8"]["labels"]["branch_name"] == "Sevilla Nervión"
assert groups["2-1"]["labels"]["receiver"] == "it-canarias"
PY

# Opening hours, by promtool on the generated rules. 1970-01-01 is a Thursday, so 4d is a
# Monday 00:00 UTC and 11d the Monday after; Madrid is UTC+1 in winter, UTC+2 in summer, the
# Canaries one hour behind Madrid.
# Each case: a moment and the branches open then (every other is closed). The generated
# rules' own expressions are evaluated at that moment, each under its branch's label, as
# Prometheus evaluates them (without a rule evaluation every minute of the ten days before).
write_test() { # write_test FOLDER TIME "BRANCH ..." ...
    /usr/bin/python3 - "$@" <<'PY'
import sys, yaml
folder, cases = sys.argv[1], sys.argv[2:]
rules = yaml.safe_load(open(f"{folder}/rules/branches.rules.yml"))["groups"][0]["rules"]
opens = [r for r in rules if r["record"] == "zentamarket_branch_open"]
expr = " or ".join(f'label_replace({r["expr"]}, "branch", "{r["labels"]["branch"]}", "", "")'
                   for r in opens)
out = ["rule_files: []", "tests:", "  - interval: 1m", "    input_series: []",
       "    promql_expr_test:"]
for time, branches in zip(cases[::2], cases[1::2]):
    out += [f"      - eval_time: {time}", f"        expr: '{expr}'", "        exp_samples:"]
    out += [f"          - labels: '{{branch=\"{b}\"}}'\n            value: 1" for b in branches.split()]
open(f"{folder}/open.test.yml", "w").write("\n".join(out) + "\n")
PY
}
# Winter: Monday 07:00 UTC is 08:00 in Madrid (open), 07:00 in Las Palmas (closed).
write_test "$work/winter" \
    4d6h59m "2-3" \
    4d7h "1-7 1-8 2-3" \
    4d8h "1-7 1-8 2-1 2-3" \
    4d20h29m "1-7 1-8 2-1 2-3" \
    4d20h30m "2-1 2-3" \
    4d21h30m "2-3" \
    8d21h "2-1 2-2 2-3" \
    9d0h59m "2-2 2-3" \
    9d1h "2-3" \
    10d8h "1-7 1-8 2-3" \
    10d13h "2-1 2-3" \
    10d0h30m "2-2 2-3" \
    10d9h "1-7 1-8 2-1 2-3"
# Summer: the same local hours an hour earlier in UTC.
write_test "$work/summer" \
    4d6h "1-7 1-8 2-3" \
    4d5h59m "2-3" \
    4d19h29m "1-7 1-8 2-1 2-3" \
    4d19h30m "2-1 2-3"
for season in winter summer; do
    promtool test rules "$work/$season/open.test.yml" >"$work/$season.txt" 2>&1 ||
        { cat "$work/$season.txt"; fail "the opening hours are wrong in $season"; }
done

# A faulty list: refused, its branch named, and what was written before left as it was.
before=$(cat "$work/winter/targets/branches.json")
refused() { # refused WHAT-IS-SAID < LIST
    cat >"$work/bad.yml"
    if "$generator" --list "$work/bad.yml" --alertmanager "$work/alertmanager.yml" \
        --out "$work/winter" >"$work/out.txt" 2>&1; then
        fail "a list with a fault is taken: $(cat "$work/bad.yml")"
    fi
    grep -q -- "$1" "$work/out.txt" || fail "the refusal does not say '$1': $(cat "$work/out.txt")"
    [ "$(cat "$work/winter/targets/branches.json")" = "$before" ] || fail "a refused list changed the targets"
}
printf 'branches:\n  - {branch: "1-7", address: a}\n  - {branch: "1-7", address: b}\n' | refused "branch 1-7: listed twice"
printf 'branches:\n  - {branch: "1-7", address: a, timezone: Europe/Valencia}\n' | refused "not a time zone"
printf 'branches:\n  - {branch: "1-7", address: a, hours: "Mon-Sat 8-21"}\n' | refused "not days and hours"
printf 'branches:\n  - {branch: "1-7", address: a, hours: "Lun 08:00-21:00"}\n' | refused "not a day"
printf 'branches:\n  - {branch: "1-7", address: a, receiver: nobody}\n' | refused "receiver 'nobody' is not in"
printf 'branches:\n  - {branch: "1-7"}\n' | refused "branch 1-7: no address"
printf 'branches:\n  - {branch: "1-7", address: a, name: "say \\"hi\\""}\n' | refused "quotes"
printf 'branches:\n  - {branch: "1-7", address: a}\n  - {branch: "1-9", address: b, prefix: zentamarket-1-7}\n' |
    refused "prefix zentamarket-1-7 is another branch's too"
echo "check-branch-list: targets, opening hours and refusals as listed"
