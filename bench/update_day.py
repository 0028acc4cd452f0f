#!/usr/bin/env python3
"""Update day on paper: N players open the launcher after a publication goes
live and download it from an origin and its mirrors; a share of them
downloaded it beforehand (a staged publication) and needs only the new list.
Prints when 95% of the players can press JUGAR.

Model (a fluid simulation, event by event, deterministic for a seed):
- Arrivals: each player opens the launcher at an exponentially distributed
  time after the publication (mean --arrival-mean minutes; at 30: 86% in
  the first hour, 95% within 90 minutes).
- Player lines: drawn from --links, "Mbit/s:share,..." (default: 10% at 10,
  20% at 30, 35% at 100, 20% at 300, 15% at 1000 Mbit/s: an assumption, not
  a survey).
- Servers: the origin (--origin Gbit/s) and --mirrors mirrors of
  --mirror-gbit each, as one pool shared max-min fairly by every player
  downloading (the updater spreads its transfers over the servers it knows).
  Each player takes at most its line and what its machine installs: the
  install rate in MB/s of installed data (--install-rate) times the bytes
  sent per installed byte (--wire-ratio).
- A player without the pre-download fetches the list (--list-kb: list,
  signature and index) and the update (--update-mb sent); decoding runs
  while it downloads. A player with it fetches the list only, then verifies
  the staged files (their installed size at --md5-rate MB/s) and renames
  them into place.

Defaults measured by the benches (bench/README.md):
  --install-rate 25.4   today's bzip2 install: 256 MiB in 512 files in
                        10.55 s (run_net.sh loop, quiet machine)
  --wire-ratio 0.598    objects' bytes per installed byte of the bench's
                        mixed data: 160,473,109 B for 256 MiB in 500 files
                        (run_install_objects.py --size 256M)
  --md5-rate 697        FileDigest of 1 GiB in 1.54 s (run_formats.sh)
Taken from the issue's example, not measured: --update-mb 1500 (the update
as sent) and --origin 1. --list-kb 100: about the list and index of a
2,000-file tree (run_patches.py: most of 71 KB for 2,276 files).

usage: bench/update_day.py [--players N] [--origin GBIT] [--mirrors M]
           [--predownloaded PERCENT] [...]   one case
       bench/update_day.py --table [...]     P = 0, 50, 80% by M = 0, 2
"""
import argparse
import collections
import math
import random
import sys


def parse_links(text):
    links = []
    for item in text.split(","):
        mbit, share = item.split(":")
        links.append((float(mbit) * 1e6 / 8, float(share)))
    total = sum(s for _, s in links)
    return [(rate, share / total) for rate, share in links]


def fair_rates(classes, capacity):
    """Max-min fair rate per player of each class with players: the pool is
    filled from the slowest cap up, the rest share what is left equally."""
    active = sorted((c for c in classes if c["queue"]), key=lambda c: c["cap"])
    left, players = capacity, sum(len(c["queue"]) for c in active)
    for i, c in enumerate(active):
        share = left / players
        if c["cap"] <= share:
            c["rate"] = c["cap"]
            left -= c["cap"] * len(c["queue"])
            players -= len(c["queue"])
        else:
            for rest in active[i:]:
                rest["rate"] = share
            break
    return active


def simulate(args, predownloaded, mirrors):
    """JUGAR times (seconds after the publication) of every player, and
    their arrival times."""
    links = parse_links(args.links)
    capacity = (args.origin + mirrors * args.mirror_gbit) * 1e9 / 8
    installed = args.update_mb * 1e6 / args.wire_ratio
    machine = args.install_rate * 1e6 * args.wire_ratio  # bytes sent a second the machine installs
    kinds = {  # bytes to fetch, cap applies to the machine, work after the last byte
        "full": (args.list_kb * 1e3 + args.update_mb * 1e6, True, 0.0),
        "pre": (args.list_kb * 1e3, False, installed / (args.md5_rate * 1e6)),
    }
    # Separate streams: changing P changes nobody's arrival or line.
    arrival_rng, link_rng, pre_rng = (random.Random("%d/%s" % (args.seed, s)) for s in ("arrive", "link", "pre"))
    players = []
    for _ in range(args.players):
        at = arrival_rng.expovariate(1 / (args.arrival_mean * 60))
        pick, link = link_rng.random(), links[-1][0]
        for rate, share in links:
            if pick < share:
                link = rate
                break
            pick -= share
        players.append((at, link, "pre" if pre_rng.random() * 100 < predownloaded else "full"))
    players.sort()
    classes = {}
    for link, _ in links:
        for kind, (size, machine_bound, _) in kinds.items():
            classes[(link, kind)] = {"cap": min(link, machine) if machine_bound else link, "size": size,
                                     "served": 0.0, "queue": collections.deque(), "rate": 0.0, "kind": kind}
    # Players of a class all get the same rate and need the same bytes, so
    # they finish in the order they came: only each class's first can be next.
    done, now, nxt = [], 0.0, 0
    while nxt < len(players) or any(c["queue"] for c in classes.values()):
        active = fair_rates(classes.values(), capacity)
        step = players[nxt][0] if nxt < len(players) else math.inf
        for c in active:
            step = min(step, now + (c["queue"][0][0] - c["served"]) / c["rate"])
        for c in active:
            c["served"] += c["rate"] * (step - now)
        now = step
        for c in active:
            while c["queue"] and c["queue"][0][0] - c["served"] <= 1e-6 * c["size"]:
                at = c["queue"].popleft()[1]
                done.append((now + kinds[c["kind"]][2], at))
        while nxt < len(players) and players[nxt][0] <= now:
            at, link, kind = players[nxt]
            c = classes[(link, kind)]
            c["queue"].append((c["served"] + c["size"], at))
            nxt += 1
    return [d for d, _ in done], [d - a for d, a in done], [p[0] for p in players]


def quantile(values, q):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(q * len(ordered)) - 1)]


def minutes(seconds):
    m, s = divmod(round(seconds), 60)
    return "%d:%02d:%02d" % (m // 60, m % 60, s)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--players", type=int, default=10000)
    p.add_argument("--origin", type=float, default=1.0, help="origin's Gbit/s")
    p.add_argument("--mirrors", type=int, default=0)
    p.add_argument("--mirror-gbit", type=float, default=1.0, help="each mirror's Gbit/s")
    p.add_argument("--predownloaded", type=float, default=0.0, help="percent of players")
    p.add_argument("--update-mb", type=float, default=1500.0, help="bytes sent per player for the update, MB")
    p.add_argument("--wire-ratio", type=float, default=0.598, help="bytes sent per installed byte")
    p.add_argument("--install-rate", type=float, default=25.4, help="installed MB/s of a player's machine")
    p.add_argument("--md5-rate", type=float, default=697.0, help="MB/s verifying the staged files")
    p.add_argument("--list-kb", type=float, default=100.0)
    p.add_argument("--links", default="10:10,30:20,100:35,300:20,1000:15", help="Mbit/s:share,...")
    p.add_argument("--arrival-mean", type=float, default=30.0, help="minutes")
    p.add_argument("--seed", type=int, default=29)
    p.add_argument("--table", action="store_true", help="P = 0, 50, 80%% by M = 0, 2 as a Markdown table")
    args = p.parse_args()
    if args.table:
        print("| pre-downloaded | mirrors | 95% can press JUGAR | wait from opening: median | 95th |")
        print("|---|---|---|---|---|")
        for share in (0, 50, 80):
            for mirrors in (0, 2):
                jugar, wait, _ = simulate(args, share, mirrors)
                print("| %d%% | %d | %s | %s | %s |" % (share, mirrors, minutes(quantile(jugar, 0.95)),
                                                       minutes(quantile(wait, 0.5)), minutes(quantile(wait, 0.95))))
        print("(h:mm:ss after the publication goes live; arrivals alone: 95%% have opened the launcher at %s)" %
              minutes(quantile(simulate(args, 0, 0)[2], 0.95)))
        return
    jugar, wait, arrivals = simulate(args, args.predownloaded, args.mirrors)
    print("%d players, origin %g Gbit/s + %d mirrors of %g, %g%% pre-downloaded, %g MB each" % (
        args.players, args.origin, args.mirrors, args.mirror_gbit, args.predownloaded, args.update_mb))
    print("95%% can press JUGAR %s (h:mm:ss) after the publication goes live (95%% have opened the launcher at %s)" % (
        minutes(quantile(jugar, 0.95)), minutes(quantile(arrivals, 0.95))))
    print("wait from opening the launcher: median %s, 95th percentile %s, last player %s" % (
        minutes(quantile(wait, 0.5)), minutes(quantile(wait, 0.95)), minutes(max(jugar))))


if __name__ == "__main__":
    sys.exit(main())
