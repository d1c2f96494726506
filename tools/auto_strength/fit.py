#!/usr/bin/python3
"""Fits the `--preset auto` rule to the cached measurements and validates it leave-one-photo-out.

  fit.py                 the noise estimate's fit, the rule's table, and the kit's table for
                         "Default", the held-out rule, and the best candidate per file
  fit.py --candidates    every cached candidate's mean gain per condition

Refitting: regenerate the kit's pairs, run harness.py profiles and harness.py evaluate on
the candidates listed in CANDIDATES (the data/ files already hold them for the kit's
photos), then run this script and copy the printed table into settings/auto_strength.cpp.

The rule has two parts, both in settings/auto_strength.cpp:
  1. a noise estimate from the profile: log sigma = a*log Y0 + b*log Y1 + c*log Y2 + d, with
     Yb the median over brightness points of band b's luminance noise. The finest band alone
     reads texture as noise; texture carries on into the coarser bands and white noise
     does not, so the coarser bands correct it.
  2. a table over that estimate: below the first threshold the picture is left untouched,
     then one row of sixteen settings per noise range. A row's settings are chosen among
     CANDIDATES by the mean PSNR gain of the training files whose estimate falls in it.
Leave-one-photo-out: both parts are fitted on five photos and the sixth is scored with
them, for each photo in turn; the held-out scores make the table printed as "auto (held out)".
"""
from __future__ import annotations

import argparse
import collections
import csv
import json
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
NONE = "none"
DEFAULT = "0,0,0,0,0,0,0,0,20,20,14,16,20,20,20,20"


def load():
    with open(os.path.join(DATA, "profiles.json")) as f:
        profiles = json.load(f)
    results = collections.defaultdict(dict)  # settings -> file -> (psnr, ssim)
    with open(os.path.join(DATA, "results.csv")) as f:
        for r in csv.DictReader(f):
            results[r["settings"]][r["file"]] = (float(r["psnr_gain"]),
                                                 float(r["ssim_gain"]) if r["ssim_gain"] else None)
    return profiles, results


def band_medians(profile: dict) -> np.ndarray:
    """Median over brightness points of the luminance noise of bands 0..2, as the C++ rule takes it."""
    bands = profile["profile"]["bands"]
    return np.array([float(np.median([p[0] for p in bands[b]["noise"]])) for b in range(3)])


def features(profile: dict) -> np.ndarray:
    y = np.maximum(band_medians(profile), 1.0)
    return np.log(y)


def fit_estimate(files, profiles):
    X = np.array([np.append(features(profiles[f]), 1.0) for f in files])
    t = np.log([profiles[f]["true_luma_sigma"] for f in files])
    coef, *_ = np.linalg.lstsq(X, t, rcond=None)
    return coef


def estimate(coef, profile) -> float:
    return float(np.exp(np.append(features(profile), 1.0) @ coef))


def strength(settings: str) -> int:
    """How hard a candidate filters the luminance: suppression of the finest band; -1 untouched."""
    if settings == NONE:
        return -1
    v = [int(x) for x in settings.split(",")]
    return v[10] * v[12]


def fit_table(files, sigma, results, candidates, edges):
    """One candidate per range of the estimate: the best mean PSNR gain of the files in it,
    among those that filter no lighter than the row below (stronger noise never filters less)."""
    rows = []
    for lo, hi in zip([-np.inf] + edges, edges + [np.inf]):
        floor = strength(rows[-1]) if rows else -1
        allowed = [c for c in candidates if strength(c) >= floor]
        inside = [f for f in files if lo <= sigma[f] < hi]
        if not inside:
            rows.append(rows[-1] if rows else NONE)
            continue
        rows.append(max(allowed, key=lambda c: np.mean([results[c][f][0] for f in inside])))
    return rows


def choose(table, edges, s) -> str:
    return table[int(np.searchsorted(edges, s, side="right"))]


def complete_candidates(results, files):
    return sorted(c for c, v in results.items() if all(f in v for f in files))


def kit_table(name, pick, files, profiles, results):
    by = collections.defaultdict(list)
    for f in files:
        r = results[pick(f)][f]
        by[profiles[f]["condition"]].append(r)
    conds = sorted(by)
    cells, means = [], []
    for c in conds:
        p = np.mean([x[0] for x in by[c]])
        s = [x[1] for x in by[c] if x[1] is not None]
        cells.append(f"{p:+.2f} / {np.mean(s):+.3f}" if len(s) == len(by[c]) else f"{p:+.2f}")
        means.append(p)
    return conds, f"| {name} | " + " | ".join(cells) + f" | {np.mean(means):+.2f} |"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--candidates", action="store_true")
    ap.add_argument("--variants", nargs="*", default=["png", "jpg92"])
    ap.add_argument("--edges", type=float, nargs="*", default=EDGES)
    args = ap.parse_args()
    profiles, results = load()
    files = sorted(f for f, p in profiles.items() if p["variant"] in args.variants)
    cands = complete_candidates(results, files)
    if NONE not in cands:
        raise SystemExit("harness.py evaluate none ... first")
    if args.candidates:
        for c in cands:
            print(kit_table(c, lambda f, c=c: c, files, profiles, results)[1])
        return 0

    photos = sorted({profiles[f]["image"] for f in files})
    held = {}
    for photo in photos:
        train = [f for f in files if profiles[f]["image"] != photo]
        coef = fit_estimate(train, profiles)
        sigma = {f: estimate(coef, profiles[f]) for f in files}
        table = fit_table(train, sigma, results, cands, args.edges)
        for f in files:
            if profiles[f]["image"] == photo:
                held[f] = choose(table, args.edges, sigma[f])
    coef = fit_estimate(files, profiles)
    sigma = {f: estimate(coef, profiles[f]) for f in files}
    table = fit_table(files, sigma, results, cands, args.edges)
    err = np.std([np.log(sigma[f] / profiles[f]["true_luma_sigma"]) for f in files])
    print(f"noise estimate: log sigma = {coef[0]:.4f} log Y0 + {coef[1]:.4f} log Y1 + {coef[2]:.4f} log Y2 "
          f"+ {coef[3]:.4f}  (log error sd {err:.3f})")
    for lo, row in zip([0.0] + list(args.edges), table):
        print(f"  from {lo:5.2f}: {row}")
    conds, line = kit_table("Default", lambda f: DEFAULT, files, profiles, results)
    print("| denoiser | " + " | ".join(conds) + " | mean |")
    print("|---" * (len(conds) + 2) + "|")
    print(line)
    print(kit_table("auto (held out)", lambda f: held[f], files, profiles, results)[1])
    print(kit_table("auto (all photos)", lambda f: choose(table, args.edges, sigma[f]), files, profiles, results)[1])
    print(kit_table("best per file", lambda f: max(cands, key=lambda c: results[c][f][0]), files, profiles,
                    results)[1])
    return 0


EDGES = [1.0, 1.6, 2.5, 4.0]

if __name__ == "__main__":
    sys.exit(main())
