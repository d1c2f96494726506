#!/usr/bin/python3
"""Searches one candidate's sixteen settings for a group of conditions, on `train` photos only.

  search.py NAME CONDITIONS VARIANTS START [--photos P ...] [--passes N]

Coordinate descent from START (sixteen comma-separated values): every field in turn is moved
by its step up and down, and a move is kept (and repeated) while it raises the group's mean
PSNR gain. CONDITIONS and VARIANTS are comma-separated. Every score is cached in
data/search-NAME.json. Add the result to data/candidates.txt for measure.py and fit.py: the
chooser picks among candidates per photo, so a candidate only has to be good somewhere.
"""
from __future__ import annotations

import argparse
import json
import os

import numpy as np

import study

STEPS = {0: 1, 1: 4, 2: 4, 3: 4, 4: 4, 5: 4, 6: 4, 7: 2, 10: 2, 11: 2, 12: 2, 13: 2, 14: 2, 15: 2}
RANGES = [(0, 3), (-20, 40), (-20, 40), (-20, 40), (-20, 40), (-20, 40), (-20, 40), (-5, 5),
          (0, 40), (0, 40), (0, 20), (0, 20), (0, 20), (0, 20), (0, 20), (0, 20)]
# The photos the candidates were searched on: half of the training photos, the other half
# judging them unseen in measure.py and the kit's train score.
PHOTOS = ["aitzgorri", "bythewater", "fallenleaf", "ladybird", "seeding", "summer", "wine"]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("name")
    ap.add_argument("conditions")
    ap.add_argument("variants")
    ap.add_argument("start")
    ap.add_argument("--photos", nargs="*", default=PHOTOS)
    ap.add_argument("--passes", type=int, default=2)
    a = ap.parse_args()
    rows = study.manifest("train", images=a.photos, conditions=a.conditions.split(","),
                          variants=a.variants.split(","))
    path = os.path.join(study.DATA, f"search-{a.name}.json")
    cache = json.load(open(path)) if os.path.exists(path) else {}
    server = study.Server()
    files = []
    for r in rows:
        y = server.load(os.path.join(study.PAIRS, r["noisy"]))
        x = study.read_rgb8(r["clean"]).astype(float)
        files.append((r["noisy"], y, x, study.db(np.mean((y - x) ** 2))))

    def score(settings):
        k = study.key(settings)
        if k not in cache:
            gains = []
            for name, y, x, noisy in files:
                server.load(os.path.join(study.PAIRS, name))  # its profile
                gains.append(study.db(np.mean((server.filter(settings, y) - x) ** 2)) - noisy)
            cache[k] = float(np.mean(gains))
            with open(path, "w") as f:
                json.dump(cache, f)
        return cache[k]

    best = [int(v) for v in a.start.split(",")]
    best_score = score(best)
    print(f"start {best_score:+.3f}", flush=True)
    for p in range(a.passes):
        improved = False
        for field, step in STEPS.items():
            for d in (step, -step):
                while True:
                    t = list(best)
                    t[field] += d
                    if not RANGES[field][0] <= t[field] <= RANGES[field][1]:
                        break
                    s = score(t)
                    if s <= best_score + 1e-3:
                        break
                    best, best_score, improved = t, s, True
                    print(f"pass {p} field {field} {d:+d}: {best_score:+.3f} {study.key(best)}", flush=True)
        if not improved:
            break
    print(f"final {best_score:+.3f} {study.key(best)}")
    server.close()


if __name__ == "__main__":
    main()
