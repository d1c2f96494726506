#!/usr/bin/python3
"""Searches the sixteen settings for each range of noise, to widen the candidates fit.py chooses from.

  search.py --pairs DIR [--photos P ...] [--groups G ...] [--passes N] [--start SETTINGS]
  search.py --pairs DIR --complete SETTINGS...    score candidates on every file, for fit.py

Coordinate descent from a starting row per group of conditions: every field in turn is moved by
its step up and down, and a move is kept (and repeated in the same direction) while it raises
the group's score, the mean PSNR gain plus SSIM_WEIGHT dB per unit of mean SSIM gain. The search
sees only the photos given by --photos (by default four of the kit's six), so that the other two
judge its candidates unseen; fit.py then chooses among all cached candidates leave-one-photo-out.
Every evaluation is appended to data/results.csv (with its SSIM gain), as harness.py does, so a
rerun filters nothing twice. After the search, --complete with the best candidates of each group
(printed at the end) scores them on every file for fit.py.
"""
from __future__ import annotations

import argparse
import csv
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

import harness

SSIM_WEIGHT = 10.0
# Conditions whose noise is alike, searched together (their estimates overlap, see fit.py).
GROUPS = {
    "weak": ["sony-a7m3-iso800", "oly-em10m3-iso800"],
    "mild": ["sony-a7m3-iso3200", "canon-g7x-iso800", "oly-em10m3-iso3200"],
    "medium": ["sony-a7m3-iso12800", "canon-g7x-iso3200"],
    "strong": ["oly-em10m3-iso12800", "canon-g7x-iso12800"],
    # Where weak and mild noise overlap in the estimate: one row that suits both.
    "quiet": ["sony-a7m3-iso800", "oly-em10m3-iso800", "sony-a7m3-iso3200", "canon-g7x-iso800",
              "oly-em10m3-iso3200"],
}
# The rows of the first fit, one per group, where the descent starts.
START = {
    "weak": "0,0,0,0,0,0,0,-5,20,20,4,8,20,20,20,20",
    "mild": "0,0,0,0,0,0,0,-5,20,20,8,12,20,20,20,20",
    "medium": "0,-4,0,0,0,0,0,-5,20,20,17,18,20,20,20,20",
    "strong": "0,-8,0,0,0,0,0,-5,20,20,20,20,20,20,20,20",
    "quiet": "2,-8,-20,4,-12,-20,0,-3,20,20,12,10,20,10,4,0",
}
# Field index -> step. crFactor and cbFactor are left at 20: colorLevel scales the same factor.
STEPS = {0: 1, 1: 4, 2: 4, 3: 4, 4: 4, 5: 4, 6: 4, 7: 2, 10: 2, 11: 2, 12: 2, 13: 2, 14: 2, 15: 2}
RANGES = [(0, 3), (-20, 40), (-20, 40), (-20, 40), (-20, 40), (-20, 40), (-20, 40), (-5, 5), (0, 40),
          (0, 40), (0, 20), (0, 20), (0, 20), (0, 20), (0, 20), (0, 20)]


class Evaluator:
    """Scores candidates on a fixed set of files, keeping the pictures in memory."""

    def __init__(self, pairs: str, rows: list):
        self.pairs = pairs
        self.rows = rows
        self.done = harness.load_results()
        self.clean = {}
        self.noisy = {}
        for r in rows:
            if r["clean"] not in self.clean:
                self.clean[r["clean"]] = harness.read_rgb8(r["clean"]).astype(np.float64)
            self.noisy[r["noisy"]] = harness.read_rgb8(os.path.join(pairs, r["noisy"])).astype(np.float64)

    def gains(self, settings: str) -> list:
        todo = [r for r in self.rows if (r["noisy"], settings) not in self.done
                or self.done[(r["noisy"], settings)]["ssim_gain"] == ""]
        if todo:
            self._run(settings, todo)
        return [(float(self.done[(r["noisy"], settings)]["psnr_gain"]),
                 float(self.done[(r["noisy"], settings)]["ssim_gain"])) for r in self.rows]

    def score(self, settings: str) -> float:
        g = np.array(self.gains(settings))
        return float(g[:, 0].mean() + SSIM_WEIGHT * g[:, 1].mean())

    def _run(self, settings: str, todo: list) -> None:
        tmp = tempfile.mkdtemp(prefix="calmora-search-")
        try:
            files = [os.path.join(self.pairs, r["noisy"]) for r in todo]
            subprocess.run([harness.CLI, "denoise", "-q", "--dest-dir", tmp, "--suffix", "", "--format", "png",
                            "--compression", "0", "--settings", settings] + files, check=True,
                           stdout=subprocess.DEVNULL)
            new_file = not os.path.exists(harness.RESULTS)
            with open(harness.RESULTS, "a", newline="") as out:
                w = csv.DictWriter(out, fieldnames=harness.FIELDS)
                if new_file:
                    w.writeheader()
                for r in todo:
                    res = os.path.join(tmp, os.path.splitext(r["noisy"])[0] + ".png")
                    clean, inp = self.clean[r["clean"]], self.noisy[r["noisy"]]
                    out_px = harness.read_rgb_float255(res)
                    row = {"file": r["noisy"], "image": r["image"], "condition": r["condition"],
                           "variant": r["variant"], "settings": settings,
                           "psnr_gain": f"{harness.psnr(clean, out_px) - harness.psnr(clean, inp):.4f}",
                           "ssim_gain": f"{harness.ssim(clean, out_px) - harness.ssim(clean, inp):.5f}"}
                    w.writerow(row)
                    self.done[(r["noisy"], settings)] = row
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


def moved(settings: str, field: int, delta: int):
    v = [int(x) for x in settings.split(",")]
    lo, hi = RANGES[field]
    n = min(max(v[field] + delta, lo), hi)
    if n == v[field]:
        return None
    v[field] = n
    return ",".join(map(str, v))


def descend(ev: Evaluator, start: str, passes: int, log) -> tuple:
    best, best_score = start, ev.score(start)
    log(f"start {best} {best_score:+.3f}")
    for p in range(passes):
        improved = False
        for field, step in STEPS.items():
            for delta in (step, -step):
                cand = moved(best, field, delta)
                while cand is not None:
                    s = ev.score(cand)
                    if s <= best_score + 1e-3:
                        break
                    best, best_score, improved = cand, s, True
                    log(f"  pass {p} field {field} -> {best} {best_score:+.3f}")
                    cand = moved(best, field, delta)
        if not improved:
            break
    return best, best_score


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--pairs", default="/tmp/pairs")
    ap.add_argument("--photos", nargs="*", default=["blinds", "ladybird", "storm", "wood"])
    ap.add_argument("--groups", nargs="*", default=list(GROUPS))
    ap.add_argument("--passes", type=int, default=3)
    ap.add_argument("--start", help="start every group from these sixteen values instead")
    ap.add_argument("--complete", nargs="*", help="no search: score these candidates on every file of "
                    "every photo, for fit.py")
    args = ap.parse_args()
    if args.complete:
        ev = Evaluator(args.pairs, harness.manifest(args.pairs))
        for c in args.complete:
            g = np.array(ev.gains(c))
            print(f"{c}: mean PSNR gain {g[:, 0].mean():+.3f}, SSIM gain {g[:, 1].mean():+.4f}", flush=True)
        return 0
    for g in args.groups:
        rows = harness.manifest(args.pairs, GROUPS[g], args.photos)
        ev = Evaluator(args.pairs, rows)
        best, s = descend(ev, args.start or START[g], args.passes,
                          lambda m, g=g: print(f"[{g}] {m}", flush=True))
        print(f"[{g}] best {best} {s:+.3f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
