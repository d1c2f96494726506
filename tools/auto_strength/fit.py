#!/usr/bin/python3
"""Fits the `--preset auto` rule to the cached measurements and validates it leave-one-photo-out.

  fit.py                 the noise estimate's fit, the rule's table, and the kit's table for
                         "Default", the held-out rule, and the best candidate per file
  fit.py --candidates    every cached candidate's mean gain per condition

Refitting: regenerate the kit's pairs, run harness.py profiles, widen the candidates with
search.py (a coordinate descent over the sixteen settings per range of noise, on four of the six
photos) and score its best ones on every file with search.py --complete (the data/ files already
hold all of this for the kit's photos), then run this script and copy the printed table into
settings/auto_strength.cpp. Only candidates scored on every file, SSIM included, take part.

The rule has two parts, both in settings/auto_strength.cpp:
  1. a noise estimate from the profile: log sigma = sum of w_n * log n + offset over the
     FEATURES, each the median over brightness points of one band's luminance (Yb) or colour
     (Cb, Cr and Cb pooled) noise, fitted by least squares to the noise the kit added. The
     finest band alone reads texture as noise; the coarse band's luminance and colour measure
     picture content, and their negative weights discount that texture.
  2. a table over that estimate: below UNTOUCHED the picture is left untouched, then one row of
     sixteen settings per range. A row is the candidate (among those in data/results.csv) with
     the best mean score (PSNR gain plus SSIM_WEIGHT dB per unit of SSIM gain) over the training
     files whose estimate falls in the range, filtering no lighter than the row below. The edges are chosen among EDGE_SETS by the same
     leave-one-photo-out procedure run inside the training photos.
Leave-one-photo-out: everything is fitted on five photos and the sixth is scored with it, for
each photo in turn; those scores make the row "auto (held out)". "auto (all photos)" is the rule
fitted on all six, which is what the program uses and what the kit measures.

data/profiles.json and data/results.csv are measurements of calmora-cli on the kit's pairs (the
kit's photos are GPL-2+, see its SOURCES.md); they hold numbers only, no pixels.
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
            # The untouched input gains nothing, in SSIM as in PSNR.
            ssim = float(r["ssim_gain"]) if r["ssim_gain"] else 0.0 if r["settings"] == NONE else None
            results[r["settings"]][r["file"]] = (float(r["psnr_gain"]), ssim)
    return profiles, results


def band_median(profile: dict, name: str) -> float:
    """"Y1": median over brightness points of band 1's luminance noise; "C2": of band 2's colour
    noise, Cr and Cb pooled; at least 1. As settings/auto_strength.cpp takes them."""
    points = profile["profile"]["bands"][int(name[1])]["noise"]
    values = [p[0] for p in points] if name[0] == "Y" else [p[1] for p in points] + [p[2] for p in points]
    return max(float(np.median(values)), 1.0)


def features(profile: dict) -> np.ndarray:
    return np.log([band_median(profile, name) for name in FEATURES])


def colour_share(profile: dict) -> float:
    """Finest-band colour noise over luminance noise (medians over points, Cr and Cb pooled).
    Near 1 where the colour noise is intact; far lower in a JPEG, whose chroma subsampling and
    quantisation smooth the finest colour band away (and with it much of what is left to gain)."""
    points = profile["profile"]["bands"][0]["noise"]
    colour = float(np.median([p[1] for p in points] + [p[2] for p in points]))
    return colour / max(float(np.median([p[0] for p in points])), 1.0)


def kind(profile: dict, split: float) -> int:
    """0: colour noise intact; 1: colour noise smoothed away."""
    return int(colour_share(profile) < split)


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


def score(results, c, inside, ssim_weight):
    """Mean PSNR gain, plus ssim_weight dB per unit of mean SSIM gain where SSIM is known."""
    p = np.mean([results[c][f][0] for f in inside])
    if ssim_weight:
        s = [results[c][f][1] for f in inside]
        p += ssim_weight * np.mean(s) if all(x is not None for x in s) else -1e9
    return p


def fit_table(files, sigma, results, candidates, edges, ssim_weight=0.0):
    """One candidate per range of the estimate: the best score of the files in it, among those
    that filter no lighter than the row below (stronger noise never filters less)."""
    rows = []
    for lo, hi in zip([-np.inf] + edges, edges + [np.inf]):
        floor = strength(rows[-1]) if rows else -1
        allowed = [c for c in candidates if strength(c) >= floor]
        inside = [f for f in files if lo <= sigma[f] < hi]
        if not inside:
            rows.append(rows[-1] if rows else NONE)
            continue
        rows.append(max(allowed, key=lambda c: score(results, c, inside, ssim_weight)))
    return rows


def fit_rule(files, profiles, results, cands, args):
    coef = fit_estimate(files, profiles)
    sigma = {f: estimate(coef, profiles[f]) for f in profiles}
    tables = []
    for k in (0, 1):
        part = [f for f in files if kind(profiles[f], args.split) == k and sigma[f] >= args.untouched]
        tables.append(fit_table(part, sigma, results, cands, args.edges, args.ssim_weight))
    pick = lambda f: NONE if sigma[f] < args.untouched else choose(  # noqa: E731
        tables[kind(profiles[f], args.split)], args.edges, sigma[f])
    return coef, tables, pick


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


def held_out(files, profiles, results, cands, args, choose_edges=False) -> dict:
    """Each photo's files scored by the rule fitted on the other photos (with, when asked, the
    edges chosen by the same procedure inside those photos alone)."""
    held = {}
    for photo in sorted({profiles[f]["image"] for f in files}):
        train = [f for f in files if profiles[f]["image"] != photo]
        fold = argparse.Namespace(**vars(args))
        if choose_edges:
            fold.edges = best_edges(train, profiles, results, cands, args)
        _, _, pick = fit_rule(train, profiles, results, cands, fold)
        held.update({f: pick(f) for f in files if profiles[f]["image"] == photo})
    return held


def best_edges(files, profiles, results, cands, args) -> list:
    """The edge set of EDGE_SETS whose held-out mean PSNR gain over these files is best."""
    def mean_gain(edges):
        fold = argparse.Namespace(**vars(args))
        fold.edges = edges
        held = held_out(files, profiles, results, cands, fold)
        return np.mean([results[held[f]][f][0] for f in files])
    return max(EDGE_SETS, key=mean_gain)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--candidates", action="store_true")
    ap.add_argument("--variants", nargs="*", default=["png", "jpg92"])
    ap.add_argument("--edges", type=float, nargs="*", default=EDGES)
    ap.add_argument("--split", type=float, default=SPLIT, help="colour share below which colour noise counts "
                    "as smoothed (0: one table for all)")
    ap.add_argument("--ssim-weight", type=float, default=SSIM_WEIGHT, help="dB a row's score gains per unit "
                    "of SSIM gain")
    ap.add_argument("--features", nargs="*", default=FEATURES)
    ap.add_argument("--untouched", type=float, default=UNTOUCHED, help="estimate below which the picture "
                    "is left untouched whatever the table says")
    args = ap.parse_args()
    FEATURES[:] = args.features
    profiles, results = load()
    files = sorted(f for f, p in profiles.items() if p["variant"] in args.variants)
    cands = complete_candidates(results, files)
    if NONE not in cands:
        raise SystemExit("harness.py evaluate none ... first")
    if args.candidates:
        for c in cands:
            print(kit_table(c, lambda f, c=c: c, files, profiles, results)[1])
        return 0

    held = held_out(files, profiles, results, cands, args, choose_edges=True)
    args.edges = best_edges(files, profiles, results, cands, args)
    print(f"edges chosen leave-one-photo-out: {args.edges}")
    coef, tables, pick = fit_rule(files, profiles, results, cands, args)
    sigma = {f: estimate(coef, profiles[f]) for f in files}
    err = np.std([np.log(sigma[f] / profiles[f]["true_luma_sigma"]) for f in files])
    print("noise estimate: log sigma = " + " + ".join(f"{c:.4f} log {n}" for c, n in zip(coef, FEATURES))
          + f" + {coef[-1]:.4f}  (log error sd {err:.3f})")
    for k, table in enumerate(tables[:2 if args.split else 1]):
        if args.split:
            print("colour noise " + ("smoothed" if k else "intact") + f" (share {'<' if k else '>='} {args.split}):")
        for lo, row in zip([0.0] + list(args.edges), table):
            print(f"  from {max(lo, args.untouched):5.2f}: {row}")
    conds, line = kit_table("Default", lambda f: DEFAULT, files, profiles, results)
    print("| denoiser | " + " | ".join(conds) + " | mean |")
    print("|---" * (len(conds) + 2) + "|")
    print(line)
    print(kit_table("auto (held out)", lambda f: held[f], files, profiles, results)[1])
    print(kit_table("auto (all photos)", pick, files, profiles, results)[1])
    print(kit_table("best per file", lambda f: max(cands, key=lambda c: results[c][f][0]), files, profiles,
                    results)[1])
    return 0


EDGES = [1.0, 1.6, 2.5, 4.0]
# Ranges of the noise estimate the table may take (levels of 8 bits): the first edge is where
# filtering begins. Chosen among these leave-one-photo-out, never by the held-out photo.
EDGE_SETS = [[1.0, 1.6, 2.5, 4.0], [1.2, 1.6, 2.5, 4.0], [1.2, 1.8, 2.5, 4.0], [1.1, 1.5, 2.0, 2.8, 4.0],
             [1.3, 1.8, 2.6, 4.0], [1.2, 1.6, 2.2, 3.0, 4.5], [0.9, 1.4, 2.0, 3.0, 4.5],
             [0.7, 1.1, 1.5, 2.0, 2.8], [0.8, 1.2, 1.8, 2.6], [0.9, 1.3, 1.9, 3.0], [1.4, 2.0, 2.8, 4.0],
             [1.3, 1.7, 2.2, 3.0]]
SPLIT = 0.0
# A picture without noise, such as a smooth synthetic gradient, reads about 0.9: its quantisation
# steps look like fine noise and it has no colour noise that would discount them. Below this the
# picture is left untouched; the kit's ISO 800 photos lose about 0.2 dB of gain by it.
UNTOUCHED = 1.0
FEATURES = ["Y0", "Y2", "C2"]
# A row's score: dB of PSNR gain plus this many dB per unit of SSIM gain, as search.py scores;
# without it the rows that win on PSNR alone give up SSIM that "Default"'s sharpening keeps.
SSIM_WEIGHT = 10.0

if __name__ == "__main__":
    sys.exit(main())
