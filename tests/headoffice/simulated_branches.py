#!/usr/bin/python3
"""Branches for head office's Prometheus to watch, without a shop: each branch's database
computer is a port on 127.0.0.1 that answers /metrics with the figures its monitor would write
(node_exporter's textfile), made up at each scrape from a scenario; head office's own computer
(the repository's restore tests) is one port more.

  simulated_branches.py --scenario FILE.json --state-dir DIR [--interval S] [--prometheus-files DIR]
  simulated_branches.py --generate N [--seed S] --state-dir DIR ...

A scenario is {"branches": [{"branch": "1-3", "name": "Alicante Puerto", "receiver": "it-team",
"pair": false, "offsite": true, "faults": ["no-backup-3d"]}, ...]}; the faults are in FAULTS
below. Once every port listens it writes, in the state directory:
  ports.json      each branch's computers (127.0.0.1:PORT) and head office's
  branches.yml    the branch list for zentamarket-headoffice-branches (hours: always)
  expected.json   what the console must show for each branch: cell -> red/amber/green/grey
                  (or two, "green|amber", where the figures' age decides)
and, with --prometheus-files DIR, DIR/targets/branches.json and DIR/rules/branches.rules.yml
as the generator writes them (for when it is not at hand). Then it serves until SIGTERM.
Standard library only: it runs where the tests run, with /usr/bin/python3.
"""

import argparse
import asyncio
import json
import os
import random
import signal
import sys
import time
import zlib

DAY = 86400
CELLS = ["1-recovery", "2-backup", "3-logcopy", "4-standby", "5-offsite", "6-restore", "7-disk"]

# What each fault does to the figures of a branch, and which cells it turns which colour
# (the other cells stay as a healthy branch has them). The figures are well clear of the
# console's thresholds, so that a few seconds either way change no colour.
FAULTS = {
    "healthy": {},
    "no-backup-3d": {"cells": {"2-backup": "red"}},
    "backup-late": {"cells": {"2-backup": "amber"}},            # 27 h: last night's failed
    "logcopy-down": {"cells": {"3-logcopy": "red"}},            # 20 min down
    "logcopy-interrupted": {"cells": {"3-logcopy": "amber"}},   # 2 min down
    "log-gap": {"cells": {"3-logcopy": "red"}},
    "standby-away": {"cells": {"4-standby": "red"}, "pair": True},
    "standby-behind": {"cells": {"4-standby": "amber"}, "pair": True},
    "fenced": {"cells": {"4-standby": "red"}, "pair": True},
    "offsite-lagging": {"cells": {"5-offsite": "amber"}, "offsite": True},  # 30 min behind
    "offsite-down": {"cells": {"5-offsite": "red"}, "offsite": True},
    "disk-5": {"cells": {"7-disk": "red"}},
    "disk-15": {"cells": {"7-disk": "amber"}},
    "restore-old": {"cells": {"6-restore": "amber"}},           # 10 days since one was tested
    "restore-failed": {"cells": {"6-restore": "red"}},
    "hung": {"cells": {"1-recovery": "red"}},                   # figures 2 h old
    "silent": {},                                               # answers 503: every cell red
}


class Branch:
    def __init__(self, scenario, interval):
        self.id = str(scenario["branch"])
        self.name = str(scenario.get("name", "Branch " + self.id))
        self.receiver = str(scenario.get("receiver", "it-team"))
        self.prefix = str(scenario.get("prefix", "zentamarket-" + self.id))
        self.faults = list(scenario.get("faults", []))
        for f in self.faults:
            if f not in FAULTS:
                raise SystemExit(f"simulated_branches: branch {self.id}: no fault '{f}' "
                                 f"(known: {', '.join(FAULTS)})")
        self.pair = bool(scenario.get("pair")) or any(FAULTS[f].get("pair") for f in self.faults)
        self.offsite = bool(scenario.get("offsite")) or any(FAULTS[f].get("offsite") for f in self.faults)
        self.interval = float(scenario.get("interval", interval))
        # Each monitor writes its file at a moment of its own within the interval.
        self.phase = zlib.crc32(self.id.encode()) % max(1, int(self.interval))
        self.addresses = []

    def has(self, fault):
        return fault in self.faults

    def expected(self):
        if self.has("silent"):
            return {c: "red" for c in CELLS}
        cells = {c: "green" for c in CELLS}
        if not self.pair:
            cells["4-standby"] = "grey"
        if not self.offsite:
            cells["5-offsite"] = "grey"
        for f in self.faults:
            cells.update(FAULTS[f].get("cells", {}))
        now = time.time()
        first = dict(self.figures(0, now))
        # No backup for days: the off-site copy has no new archive either.
        if self.offsite and now - first["zentamarket_offsite_last_archive_timestamp_seconds"] > 3 * DAY:
            cells["5-offsite"] = "red"
        # The recovery point follows from whatever protection is left: with none but an old
        # log copy it is red too. Head office adds the figures' age, which goes from nothing
        # to the interval (and a scrape's wait): where the colour changes within that, either
        # is right ("green|amber").
        def colour(recovery):
            return "red" if recovery > 600 else "amber" if recovery > 60 else "green"
        best = min(dict(self.figures(c, now))["zentamarket_recovery_point_seconds"]
                   for c in range(2 if self.pair else 1) if self.answers(c))
        if self.has("hung"):
            states = [colour(best + now - self.written_at(now))]
        else:
            states = sorted({colour(best), colour(best + self.interval + 15)},
                            key=["green", "amber", "red"].index)
        if states != ["green"]:
            cells["1-recovery"] = "|".join(states)
        return cells

    def written_at(self, now):
        if self.has("hung"):
            return now - 7200
        return now - ((now + self.phase) % self.interval)

    def figures(self, computer, now):
        """(name, value) of one computer's file: 0 the first (the primary of a pair), 1 the second."""
        w = self.written_at(now)
        f = []
        add = lambda name, value: f.append((name, value))
        add("zentamarket_metrics_timestamp_seconds", w)
        add("zentamarket_metrics_interval_seconds", self.interval)
        add("zentamarket_backup_warn_days", 2)
        size = 480e9
        free = 0.05 if self.has("disk-5") else 0.15 if self.has("disk-15") else 0.62
        add("zentamarket_backup_folder_size_bytes", size)
        add("zentamarket_backup_folder_free_bytes", round(size * free))

        exposures = []  # what each protection would lose now, seconds
        if computer == 0:
            last_night = w - 5 * 3600
            good = w - 3 * DAY - 3600 if self.has("no-backup-3d") else \
                w - 27 * 3600 if self.has("backup-late") else last_night
            success = 0 if good != last_night else 1
            add("zentamarket_backup_last_good_timestamp_seconds", good)
            add("zentamarket_backup_last_attempt_timestamp_seconds", last_night)
            add("zentamarket_backup_last_success", success)
            add("zentamarket_backup_duration_seconds", 412)
            add("zentamarket_backup_archive_bytes", 2.3e9)
            add("zentamarket_drive_last_good_copy_timestamp_seconds", good + 600)
            add("zentamarket_drive_last_copy_success", success)
            add("zentamarket_drive_free_bytes", 1.6e12)

            down = 1200 if self.has("logcopy-down") else 120 if self.has("logcopy-interrupted") else 0
            add("zentamarket_binlog_enabled", 1)
            add("zentamarket_binlog_copy_up", 0 if down else 1)
            add("zentamarket_binlog_copy_lag_seconds", down or 1)
            add("zentamarket_binlog_copy_lag_bytes", down * 4000)
            add("zentamarket_binlog_copy_down_seconds", down)
            add("zentamarket_binlog_copy_disk_problem", 0)
            add("zentamarket_binlog_copy_reach_timestamp_seconds", w - (down or 1))
            add("zentamarket_binlog_gap", 1 if self.has("log-gap") else 0)
            exposures.append(down or 1)

            verified = w - 10 * DAY if self.has("restore-old") else w - 2 * DAY
            add("zentamarket_verify_last_timestamp_seconds", verified)
            add("zentamarket_verify_last_success", 0 if self.has("restore-failed") else 1)

            if self.offsite:
                lag = 7200 if self.has("offsite-down") else 1800 if self.has("offsite-lagging") else 8
                add("zentamarket_offsite_up", 0 if self.has("offsite-down") else 1)
                add("zentamarket_offsite_lag_seconds", lag)
                add("zentamarket_offsite_reach_timestamp_seconds", w - lag)
                add("zentamarket_offsite_last_archive_timestamp_seconds", good + 900)
                add("zentamarket_offsite_encrypted", 1)
                exposures.append(lag)

        if self.pair:
            away = self.has("standby-away")
            behind = 120 if self.has("standby-behind") else 0
            add("zentamarket_standby_primary", 1 if computer == 0 else 0)
            add("zentamarket_standby_fenced", 1 if self.has("fenced") and computer == 0 else 0)
            add("zentamarket_standby_partner_up", 0 if away else 1)
            add("zentamarket_standby_protected", 0 if away else 1)
            add("zentamarket_standby_behind_transactions", behind * 9)
            add("zentamarket_standby_behind_seconds", behind)
            if not away:
                exposures.append(behind or 1)

        if exposures:
            recovery = min(exposures)
        else:  # the second computer of a pair: it holds what the standby has
            recovery = 1
        add("zentamarket_recovery_point_seconds", recovery)
        return f

    def answers(self, computer):
        if self.has("silent"):
            return False
        return not (computer == 1 and self.has("standby-away"))

    def restore_test(self, now):
        """Head office's restore test of the branch's repository: (timestamp, good) or None."""
        if not self.offsite:
            return None
        age = 11 * DAY if self.has("restore-old") else DAY
        return now - age, 0 if self.has("restore-failed") else 1


def exposition(figures, labels=""):
    out, seen = [], set()
    for name, value in figures:
        if name not in seen:
            out.append(f"# TYPE {name} gauge")
            seen.add(name)
        out.append(f"{name}{labels} {value:.17g}" if isinstance(value, float) else f"{name}{labels} {value}")
    return "\n".join(out) + "\n"


def headoffice_figures(branches, now):
    lines = ["# TYPE zentamarket_repository_restore_test_timestamp_seconds gauge",
             "# TYPE zentamarket_repository_restore_test_good gauge"]
    for b in branches:
        test = b.restore_test(now)
        if test:
            lines.append(f'zentamarket_repository_restore_test_timestamp_seconds{{branch="{b.prefix}"}} {test[0]:.17g}')
            lines.append(f'zentamarket_repository_restore_test_good{{branch="{b.prefix}"}} {test[1]}')
    return "\n".join(lines) + "\n"


def generated(n, seed):
    """A chain of N branches: a pair in some, the off-site copy in most, a fault in one of six."""
    rnd = random.Random(seed)
    towns = ["Valencia", "Alicante", "Castellón", "Elche", "Murcia", "Gandia", "Dénia", "Xàtiva",
             "Sagunto", "Alcoy", "Benidorm", "Torrevieja", "Orihuela", "Lorca", "Cartagena", "Requena"]
    quarters = ["Centro", "Puerto", "Norte", "Sur", "Playa", "Estación", "Mercado", "Campus"]
    faulty = [f for f in FAULTS if f != "healthy"]
    out = []
    for i in range(1, n + 1):
        scenario = {"branch": f"{1 + (i - 1) // 50}-{1 + (i - 1) % 50}",
                "name": f"{towns[i % len(towns)]} {quarters[(i // len(towns)) % len(quarters)]} {i}",
                "pair": rnd.random() < 0.2, "offsite": rnd.random() < 0.7, "faults": []}
        if rnd.random() < 1 / 6:
            scenario["faults"].append(rnd.choice(faulty))
        out.append(scenario)
    return out


def branch_list_yaml(branches):
    q = lambda s: json.dumps(s, ensure_ascii=False)  # a JSON string is a YAML string
    lines = ["# The simulated chain; written by simulated_branches.py.", "branches:"]
    for b in branches:
        lines += [f"  - branch: {q(b.id)}", f"    name: {q(b.name)}", f"    receiver: {q(b.receiver)}",
                  f"    prefix: {q(b.prefix)}", "    hours: always",
                  "    addresses: [" + ", ".join(q(a) for a in b.addresses) + "]"]
    return "\n".join(lines) + "\n"


def write(path, text):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path + ".new", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".new", path)


def prometheus_files(branches, out):
    labels = lambda b: {"branch": b.id, "branch_name": b.name, "receiver": b.receiver, "prefix": b.prefix}
    targets = [{"targets": b.addresses, "labels": labels(b)} for b in branches]
    rules = []
    for b in branches:
        rules.append({"record": "zentamarket_branch_expected", "expr": "vector(1)", "labels": labels(b)})
        rules.append({"record": "zentamarket_branch_open", "expr": "vector(1)", "labels": {"branch": b.id}})
    write(os.path.join(out, "targets", "branches.json"), json.dumps(targets, indent=2, ensure_ascii=False) + "\n")
    # JSON is YAML: Prometheus reads this rule file as it is.
    write(os.path.join(out, "rules", "branches.rules.yml"),
          json.dumps({"groups": [{"name": "zentamarket-branch-list", "rules": rules}]}, indent=1,
                     ensure_ascii=False) + "\n")


async def serve(reader, writer, body_for):
    try:
        request = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 10)
        path = request.split(b" ", 2)[1].decode("latin-1") if request.count(b" ") >= 2 else "/"
        body = body_for(path.split("?", 1)[0])
        if body is None:
            status, body = "503 Service Unavailable", "the monitor is not answering\n"
        else:
            status = "200 OK"
        data = body.encode()
        writer.write(f"HTTP/1.1 {status}\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                     f"Content-Length: {len(data)}\r\nConnection: close\r\n\r\n".encode() + data)
        await writer.drain()
    except (asyncio.TimeoutError, asyncio.IncompleteReadError, ConnectionError):
        pass
    finally:
        writer.close()


async def main_async(args, branches):
    servers = []

    async def listen(body_for):
        server = await asyncio.start_server(lambda r, w: serve(r, w, body_for), "127.0.0.1", 0, backlog=64)
        servers.append(server)
        return "127.0.0.1:%d" % server.sockets[0].getsockname()[1]

    def computer_body(b, computer):
        def body(path):
            if path != "/metrics" or not b.answers(computer):
                return None
            return exposition(b.figures(computer, time.time()))
        return body

    for b in branches:
        for computer in range(2 if b.pair else 1):
            b.addresses.append(await listen(computer_body(b, computer)))
    headoffice = await listen(lambda path: headoffice_figures(branches, time.time()) if path == "/metrics" else None)

    state = args.state_dir
    write(os.path.join(state, "branches.yml"), branch_list_yaml(branches))
    write(os.path.join(state, "expected.json"), json.dumps(
        {"branches": [{"branch": b.id, "name": b.name, "faults": b.faults, "pair": b.pair,
                       "offsite": b.offsite, "cells": b.expected()} for b in branches]},
        indent=1, ensure_ascii=False) + "\n")
    if args.prometheus_files:
        prometheus_files(branches, args.prometheus_files)
    # Written last: whoever waits for it finds everything else in place.
    write(os.path.join(state, "ports.json"), json.dumps(
        {"pid": os.getpid(), "headoffice": headoffice,
         "branches": {b.id: b.addresses for b in branches}}, indent=1) + "\n")
    print(f"simulated_branches: {len(branches)} branches on "
          f"{sum(len(b.addresses) for b in branches)} ports, head office on {headoffice}", flush=True)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    for s in servers:
        s.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--scenario", help="JSON file: {\"branches\": [...]}")
    source.add_argument("--generate", type=int, metavar="N", help="a chain of N varied branches")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--interval", type=float, default=30,
                        help="how often the simulated monitors rewrite their figures, seconds")
    parser.add_argument("--prometheus-files", metavar="DIR",
                        help="also write the targets and the branch-list rules here")
    args = parser.parse_args()
    if args.scenario:
        with open(args.scenario, encoding="utf-8") as f:
            scenarios = json.load(f)["branches"]
    else:
        scenarios = generated(args.generate, args.seed)
    branches = [Branch(s, args.interval) for s in scenarios]
    if len({b.id for b in branches}) != len(branches):
        raise SystemExit("simulated_branches: a branch is listed twice")
    asyncio.run(main_async(args, branches))


if __name__ == "__main__":
    sys.exit(main())
