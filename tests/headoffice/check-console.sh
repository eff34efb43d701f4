#!/usr/bin/env bash
# The console pages as head office sees them: simulated branches (one healthy, one silent, one
# for each fault), the branch list turned into targets and rules by
# zentamarket-headoffice-branches, the real Prometheus with the package's rules and console
# templates, and the pages read by curl and by headless Chromium. Fails when a branch has no
# row, when the rows are not worst first, when a cell shows another colour than the fault gives
# it, or when the branch page does not render.
#   check-console.sh HEADOFFICE_DIR BUILD_DIR
# Pictures go to BUILD_DIR/headoffice/; with UPDATE_PICTURES=1 also to docs/ for the README.
set -euo pipefail

fail() { echo "headoffice.console: FAILED: $*" >&2; exit 1; }
[ $# -eq 2 ] || fail "usage: check-console.sh HEADOFFICE_DIR BUILD_DIR"
headoffice=$(cd "$1" && pwd)
mkdir -p "$2/headoffice"
out=$(cd "$2/headoffice" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
python=/usr/bin/python3

for tool in prometheus promtool chromium curl "$python"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup installs it)"
done
for f in console_libraries/zentamarket.lib consoles/zentamarket.html consoles/zentamarket-branch.html \
    rules/zentamarket.rules.yml; do
    [ -f "$headoffice/$f" ] || fail "$headoffice/$f is missing"
done

tmp=$(mktemp -d /tmp/headoffice-console.XXXXXX)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap "exit 1" TERM INT
show_log() { echo "--- $1" >&2; tail -n 30 "$1" >&2 || true; }

# One branch of each kind, each fault turning one cell. Castellón's log copy is down, but its
# off-site copy keeps its recovery point small; Alicante, without a backup for three days, has
# no off-site copy (whose archives would be as old).
cat >"$tmp/scenario.json" <<'EOF'
{"branches": [
 {"branch": "1-1", "name": "Valencia Centro", "offsite": true},
 {"branch": "1-2", "name": "Valencia Ruzafa", "pair": true, "offsite": true},
 {"branch": "1-3", "name": "Alicante Puerto", "faults": ["no-backup-3d"]},
 {"branch": "1-4", "name": "Castellón Plaza Mayor", "offsite": true, "faults": ["logcopy-down"]},
 {"branch": "1-5", "name": "Elche Altabix", "offsite": true, "faults": ["standby-away"]},
 {"branch": "1-6", "name": "Gandia Playa", "faults": ["offsite-lagging"]},
 {"branch": "1-7", "name": "Murcia Gran Vía", "faults": ["disk-5"]},
 {"branch": "1-8", "name": "Cartagena Puerto", "faults": ["restore-failed"]},
 {"branch": "1-9", "name": "Benidorm Levante", "faults": ["silent"]},
 {"branch": "1-10", "name": "Xàtiva", "faults": ["backup-late"]},
 {"branch": "1-11", "name": "Sagunto", "faults": ["standby-behind"]},
 {"branch": "1-12", "name": "Dénia Marina", "faults": ["hung"]},
 {"branch": "1-13", "name": "Torrevieja", "faults": ["restore-old"]},
 {"branch": "1-14", "name": "Alcoy", "offsite": true, "faults": ["offsite-down"]},
 {"branch": "1-15", "name": "Lorca", "faults": ["log-gap"]},
 {"branch": "2-1", "name": "Murcia Espinardo", "faults": ["disk-15"]},
 {"branch": "2-2", "name": "Orihuela", "pair": true, "faults": ["fenced"]},
 {"branch": "2-3", "name": "Requena", "offsite": true, "faults": ["logcopy-interrupted"]}
]}
EOF
# The branch whose page is looked at and pictured: a pair whose standby is away.
branch_page=1-5

"$python" "$here/simulated_branches.py" --scenario "$tmp/scenario.json" --state-dir "$tmp/sim" \
    --interval 30 --prometheus-files "$tmp/sim-prometheus" >"$tmp/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -f "$tmp/sim/ports.json" ] && break; sleep 0.1; done
[ -f "$tmp/sim/ports.json" ] || { show_log "$tmp/sim.log"; fail "the simulated branches did not start"; }

# The branch list as head office writes it, through the package's own generator when it is there.
generator="$headoffice/zentamarket-headoffice-branches"
if [ -x "$generator" ]; then
    "$generator" --list "$tmp/sim/branches.yml" --out "$tmp/list" --alertmanager '' >"$tmp/list.log" 2>&1 ||
        { show_log "$tmp/list.log"; fail "zentamarket-headoffice-branches refused the simulated list"; }
else
    cp -r "$tmp/sim-prometheus" "$tmp/list"
fi

port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
url="http://127.0.0.1:$port"
headoffice_target=$("$python" -c 'import json, sys; print(json.load(open(sys.argv[1]))["headoffice"])' "$tmp/sim/ports.json")
cat >"$tmp/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
rule_files:
  - $headoffice/rules/*.yml
  - $tmp/list/rules/*.yml
scrape_configs:
  - job_name: zentamarket-branches
    file_sd_configs:
      - files: [$tmp/list/targets/*.json]
    metric_relabel_configs:
      - source_labels: [__name__]
        regex: "zentamarket_.*|node_textfile_.*|node_time_seconds|node_boot_time_seconds"
        action: keep
  - job_name: headoffice
    static_configs:
      - targets: ["$headoffice_target"]
EOF
promtool check config "$tmp/prometheus.yml" >"$tmp/promtool.log" 2>&1 ||
    { show_log "$tmp/promtool.log"; fail "promtool refuses the test's configuration or the rules"; }
prometheus --config.file="$tmp/prometheus.yml" --storage.tsdb.path="$tmp/data" \
    --web.listen-address="127.0.0.1:$port" \
    --web.console.libraries="$headoffice/console_libraries" --web.console.templates="$headoffice/consoles" \
    >"$tmp/prometheus.log" 2>&1 &
pids+=($!)

query() { # PROMQL -> the first value, or nothing
    curl -sf --max-time 5 "$url/api/v1/query" --data-urlencode "query=$1" |
        "$python" -c 'import json, sys; r = json.load(sys.stdin)["data"]["result"]; print(r[0]["value"][1] if r else "")'
}
branches=$("$python" -c 'import json, sys; print(len(json.load(open(sys.argv[1]))["branches"]))' "$tmp/scenario.json")
computers=$("$python" -c 'import json, sys; print(sum(len(a) for a in json.load(open(sys.argv[1]))["branches"].values()))' "$tmp/sim/ports.json")
# Ready when every computer has been scraped and every branch has its seven cells; then a few
# evaluations more, so that no cell still holds what a half-scraped first round gave.
ready=""
for _ in $(seq 120); do
    if [ "$(query 'count(up{job="zentamarket-branches"})' 2>/dev/null)" = "$computers" ] &&
        [ "$(query 'count(zentamarket:branch_worst)' 2>/dev/null)" = "$branches" ] &&
        [ "$(query 'count(zentamarket:cell_state)' 2>/dev/null)" = "$((branches * 7))" ]; then
        ready=yes
        break
    fi
    sleep 0.5
done
[ -n "$ready" ] || { show_log "$tmp/prometheus.log"; fail "the rules have no value for every branch after 60 s"; }
sleep 4

chrome() { # chromium's own messages go to a log; it gets a profile and a home of its own
    HOME="$tmp/home" timeout 90 chromium --headless=new --no-sandbox --disable-gpu \
        --user-data-dir="$tmp/chromium" "$@" 2>>"$tmp/chromium.log"
}
overview="$url/consoles/zentamarket.html"
branch_url="$url/consoles/zentamarket-branch.html?branch=$branch_page"

code=$(curl -s -o "$out/overview.html" -w '%{http_code}' --max-time 30 "$overview")
[ "$code" = 200 ] || { head -c 2000 "$out/overview.html" >&2; fail "the overview answers $code"; }
chrome --dump-dom "$overview" >"$out/overview.dom.html" || { show_log "$tmp/chromium.log"; fail "chromium could not load the overview"; }
code=$(curl -s -o "$out/branch.html" -w '%{http_code}' --max-time 30 "$branch_url")
[ "$code" = 200 ] || { head -c 2000 "$out/branch.html" >&2; fail "the branch page answers $code"; }
chrome --dump-dom "$branch_url" >"$out/branch.dom.html" || { show_log "$tmp/chromium.log"; fail "chromium could not load the branch page"; }
code=$(curl -s -o "$out/branch-unknown.html" -w '%{http_code}' --max-time 30 "$url/consoles/zentamarket-branch.html?branch=no-such%22branch")
[ "$code" = 200 ] || { head -c 2000 "$out/branch-unknown.html" >&2; fail "the page of a branch nobody knows answers $code"; }

"$python" - "$tmp/sim/expected.json" "$branch_page" "$out" <<'EOF' || fail "the pages do not show the branches as they are (above)"
import html.parser, json, sys

expected = {b["branch"]: b for b in json.load(open(sys.argv[1]))["branches"]}
page_branch, out = sys.argv[2], sys.argv[3]
RANK = {"red": 2, "amber": 1, "green": 0, "grey": -1}
problems = []


class Page(html.parser.HTMLParser):
    """The rows (tr with data-branch) of each table, their cells (td with data-cell), the text."""
    def __init__(self, text):
        super().__init__()
        self.tables, self.summary, self.h1, self.text = [], None, None, []
        self.row = self.cell = None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "table":
            self.tables.append({"class": a.get("class", ""), "rows": [], "trs": 0})
        elif tag == "tr" and self.tables:
            self.tables[-1]["trs"] += 1
            if "data-branch" in a:
                self.row = {"branch": a["data-branch"], "worst": a.get("data-worst"), "cells": {}}
                self.tables[-1]["rows"].append(self.row)
        elif tag == "td" and self.row is not None and "data-cell" in a:
            self.cell = [a["data-cell"], a.get("data-state"), "", a.get("class", "")]
        elif tag == "p" and "zm-summary" in a.get("class", ""):
            self.summary = a
        elif tag == "h1":
            self.h1 = a

    def handle_endtag(self, tag):
        if tag == "td" and self.cell is not None:
            self.row["cells"][self.cell[0]] = (self.cell[1], self.cell[2].strip(), self.cell[3])
            self.cell = None
        elif tag == "tr":
            self.row = None

    def handle_data(self, data):
        self.text.append(data)
        if self.cell is not None:
            self.cell[2] += data

    def table(self, cls):
        found = [t for t in self.tables if cls in t["class"].split()]
        if not found:
            problems.append(f"no table {cls}")
            return {"rows": [], "trs": 0}
        return found[0]


def check_cells(where, branch, cells):
    want = expected[branch]["cells"]
    for cell, state in want.items():
        got = cells.get(cell)
        if got is None:
            problems.append(f"{where}: branch {branch} has no cell {cell}")
            continue
        if got[0] not in state.split("|"):
            problems.append(f"{where}: branch {branch} ({', '.join(expected[branch]['faults']) or 'healthy'}): "
                            f"cell {cell} is {got[0]} ('{got[1]}'), not {state}")
        if f"state-{got[0]}" not in got[2].split():
            problems.append(f"{where}: branch {branch} cell {cell}: class '{got[2]}' does not give its colour")
        if "silent" in expected[branch]["faults"] and got[1] != "no figures":
            problems.append(f"{where}: silent branch {branch} cell {cell} says '{got[1]}', not 'no figures'")
    if set(cells) - set(want):
        problems.append(f"{where}: branch {branch} has cells {sorted(set(cells) - set(want))} too")


# Where a figure would mislead (a standby away is 0 s behind), the cell says why instead.
NOTES = {"1-5": ("4-standby", "partner away"), "2-2": ("4-standby", "fenced"), "1-8": ("6-restore", "failed"),
         "1-15": ("3-logcopy", "gap in the log"), "1-14": ("5-offsite", "down")}

for name in ("overview.html", "overview.dom.html"):
    page = Page(open(f"{out}/{name}", encoding="utf-8").read())
    rows = page.table("zm-branches")["rows"]
    for r in rows:
        if r["branch"] in NOTES:
            cell, note = NOTES[r["branch"]]
            if r["cells"].get(cell, ("", ""))[1] != note:
                problems.append(f"{name}: branch {r['branch']} cell {cell} says '{r['cells'].get(cell, ('', ''))[1]}', not '{note}'")
    seen = [r["branch"] for r in rows]
    for b in expected:
        if seen.count(b) != 1:
            problems.append(f"{name}: branch {b} has {seen.count(b)} rows")
    for b in set(seen) - set(expected):
        problems.append(f"{name}: a row for {b}, which is not a branch")
    for r in rows:
        if r["branch"] in expected:
            check_cells(name, r["branch"], r["cells"])
            # The worst of the cells as shown (a cell may be either of two colours).
            worst = max(RANK[r["cells"].get(c, ("grey",))[0]] for c in expected[r["branch"]]["cells"])
            if RANK.get(r["worst"]) != worst:
                problems.append(f"{name}: branch {r['branch']}: row's worst is {r['worst']}")
    order = [(-RANK.get(r["worst"], -9), r["branch"]) for r in rows]
    if order != sorted(order):
        problems.append(f"{name}: rows are not worst first, then by branch: {[r['branch'] for r in rows]}")
    counts = {c: sum(1 for r in rows if r["worst"] == c) for c in ("red", "amber", "green")}
    if page.summary is None:
        problems.append(f"{name}: no summary line")
    else:
        for c, n in counts.items():
            if page.summary.get(f"data-{c}") != str(n):
                problems.append(f"{name}: summary says {page.summary.get(f'data-{c}')} {c}, not {n}")

for name in ("branch.html", "branch.dom.html"):
    page = Page(open(f"{out}/{name}", encoding="utf-8").read())
    text = " ".join(page.text)
    if not page.h1 or page.h1.get("data-branch") != page_branch or expected[page_branch]["name"] not in text:
        problems.append(f"{name}: the heading is not branch {page_branch} {expected[page_branch]['name']}")
    now = page.table("zm-cells")["rows"]
    if len(now) != 1:
        problems.append(f"{name}: {len(now)} rows of cells now, not 1")
    for r in now:
        check_cells(name, page_branch, r["cells"])
    computers = page.table("zm-computers")
    if computers["trs"] != 3:  # the heading and the pair's two computers
        problems.append(f"{name}: the computers' table has {computers['trs'] - 1} rows, not 2")
    if page.table("zm-history")["trs"] < 7:
        problems.append(f"{name}: the history has fewer than six moments")
    if page.table("zm-figures")["trs"] < 20:
        problems.append(f"{name}: fewer than twenty figures of the branch")

unknown = open(f"{out}/branch-unknown.html", encoding="utf-8").read()
if "head office has no figures of this branch" not in unknown:
    problems.append("branch-unknown.html: a branch nobody knows is not said to be unknown")

for p in problems:
    print("headoffice.console:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF

# The pictures: what head office sees, at a laptop's size. For the README's, a few minutes of
# history first, and the branch page's graphs over those minutes.
span=86400
if [ "${UPDATE_PICTURES:-0}" = 1 ]; then
    sleep 180
    span=180
fi
rm -f "$out/overview.png" "$out/branch.png"
chrome --window-size=1400,900 --screenshot="$out/overview.png" "$overview" >/dev/null
chrome --window-size=1400,900 --virtual-time-budget=5000 --screenshot="$out/branch.png" \
    "$branch_url#pctc{\"duration\":$span,\"endTime\":0}" >/dev/null
for png in overview branch; do
    [ "$(stat -c %s "$out/$png.png" 2>/dev/null || echo 0)" -gt 20000 ] ||
        { show_log "$tmp/chromium.log"; fail "chromium made no picture of the $png page"; }
done
if [ "${UPDATE_PICTURES:-0}" = 1 ]; then
    cp "$out/overview.png" "$root/docs/headoffice-overview.png"
    cp "$out/branch.png" "$root/docs/headoffice-branch.png"
    echo "headoffice.console: pictures written to docs/"
fi
echo "headoffice.console: $branches branches (one per fault), every row and cell as expected; pictures in $out"
