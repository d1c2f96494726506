#!/usr/bin/python3
"""Fits automatic strength on the quality kit's `train` photos, from the cached numbers alone.

  fit.py [--family N] [--trust T] [--margin M] [--white W] [--smoothed S] [--evaluate FILE]

--evaluate judges the family listed in FILE (one candidate a line, as in data/candidates.txt)
instead of growing one, on every training file measured with it: the photos the candidates were
searched on and the others (measure.py candidates --only FILE), each half on its own.

How to refit (the kit's pairs in $CALMORA_PAIRS, default /work/pairs; its scripts in
$CALMORA_QUALITY_KIT, default ../shared/quality):
  cmake --build build/release --target auto_strength_study calmora-cli
  tools/auto_strength/search.py NAME CONDITIONS VARIANTS START   # optional: new candidates,
                                                                 # added to data/candidates.txt
  tools/auto_strength/measure.py candidates                      # filters what is not cached
  tools/auto_strength/measure.py noise                           # the chooser's noise estimate
  tools/auto_strength/fit.py                                     # thresholds and the family
Then copy the family into kCandidates (settings/auto_strength.cpp) and the constants it
prints, rebuild, and score the train split through the program:
  kit.py score --pairs $CALMORA_PAIRS --split train --name auto --peers \\
      --cmd 'build/release/cli/calmora-cli denoise {in} -o {out} -q --preset auto'
The validate split is for the closing report only; nothing here reads it.

The estimate for a candidate, per sample: (R - k tr S + 2 k D . v) / n, with v the noise
variance per Y/Cr/Cb channel and bin (the chooser's blend of its white and smoothed-noise
estimates, by the eigenvalue spread between --white and --smoothed), k the trust in it; a
candidate is chosen when its estimate is below the untouched one (k tr S / n) by the margin.
The family is grown greedily by what the choice then gains on average.
"""
from __future__ import annotations

import argparse

import numpy as np

import measure
import search
import study

COLUMN_NORM = (study.RGB ** 2).sum(0)  # R, G, B variance per unit of Y, Cr, Cb variance


def blend(noise: np.ndarray, white: float, smoothed: float) -> np.ndarray:
    w = noise[:24].reshape(study.BINS, 3)
    c = noise[24:48].reshape(study.BINS, 3)
    spread = noise[48:51]
    share = np.clip((spread - white) / (smoothed - white), 0.0, 1.0)
    return np.exp((1 - share) * np.log(np.maximum(w, 1e-6)) + share * np.log(np.maximum(c, 1e-6)))


def load(white, smoothed, path=measure.CANDIDATES):
    cache = measure.load(measure.CACHE)
    noise = measure.load(measure.NOISE)
    rows = {r["noisy"]: r for r in study.manifest("train")}
    pool = [study.key(s) for s in measure.candidates(path)]
    files = []
    for name, r in rows.items():
        if name not in cache or name not in noise or any(f"{name}|{k}" not in cache for k in pool):
            continue
        per = cache[name]
        count = per[:8]
        n = 3.0 * count.sum()
        v = blend(noise[name], white, smoothed)  # bins x channels
        tr = (count[:, None] * v * COLUMN_NORM[None]).sum()
        R = np.array([cache[f"{name}|{k}"][0] for k in pool])
        T = np.array([cache[f"{name}|{k}"][1] for k in pool])
        D = np.array([(cache[f"{name}|{k}"][2:].reshape(3, study.BINS) * v.T).sum() for k in pool])
        files.append({"row": r, "n": n, "R": R / n, "T": T / n, "D": D / n, "tr": tr / n,
                      "untouched": untouched_error(r)})
    return pool, files


_NOISY = {}


def untouched_error(r) -> float:
    """The noisy picture's true error, per sample."""
    if r["noisy"] not in _NOISY:
        import os
        y = study.read_rgb8(os.path.join(study.PAIRS, r["noisy"])).astype(float)
        x = study.read_rgb8(r["clean"]).astype(float)
        _NOISY[r["noisy"]] = float(np.mean((y - x) ** 2))
    return _NOISY[r["noisy"]]


def choose(f, family, trust, margin):
    est = f["R"][family] - trust * f["tr"] + 2 * trust * f["D"][family]
    j = int(np.argmin(est))
    if est[j] >= trust * f["tr"] * (1 - margin):
        return None, est
    return family[j], est


def gain(f, j):
    return 0.0 if j is None else study.db(f["T"][j]) - study.db(f["untouched"])


def score(files, family, trust, margin):
    return np.array([gain(f, choose(f, family, trust, margin)[0]) for f in files])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--family", type=int, default=8)
    ap.add_argument("--trust", type=float, default=0.9)
    ap.add_argument("--margin", type=float, default=0.1)
    ap.add_argument("--white", type=float, default=1.25)
    ap.add_argument("--smoothed", type=float, default=1.9)
    ap.add_argument("--evaluate")
    a = ap.parse_args()
    pool, files = load(a.white, a.smoothed, a.evaluate or measure.CANDIDATES)
    print(f"{len(files)} training files, {len(pool)} candidates")
    whole = list(range(len(pool)))
    oracle = np.array([max(0.0, max(gain(f, j) for j in whole)) for f in files])
    chosen = score(files, whole, a.trust, a.margin)
    print(f"the whole pool: chosen {chosen.mean():+.3f} dB, best per file {oracle.mean():+.3f} dB")
    if a.evaluate:
        searched = np.array([f["row"]["image"] in search.PHOTOS for f in files])
        for name, m in (("searched on", searched), ("not searched on", ~searched)):
            if m.any():
                print(f"  photos {name}: {m.sum()} files, chosen {chosen[m].mean():+.3f} dB, "
                      f"best per file {oracle[m].mean():+.3f} dB")
    family = whole if a.evaluate else []
    for _ in range(0 if a.evaluate else a.family):
        best = max((j for j in whole if j not in family),
                   key=lambda j: score(files, family + [j], a.trust, a.margin).mean())
        family.append(best)
        g = score(files, family, a.trust, a.margin)
        print(f"  + {pool[best]:48s} {g.mean():+.3f} dB, worst file {g.min():+.2f}")
    g = score(files, family, a.trust, a.margin)
    for variant in ("png", "jpg92", "cam"):
        m = [f["row"]["variant"] == variant for f in files]
        print(f"  {variant}: {g[m].mean():+.2f} dB")
    # How the estimate tracks the truth, per variant: over every file and family candidate
    # (in dB of the per-sample error), and within each file (the ranking the choice uses).
    for variant in ("png", "jpg92", "cam", None):
        est, true, within = [], [], []
        for f in files:
            if variant and f["row"]["variant"] != variant:
                continue
            _, e = choose(f, family, a.trust, a.margin)
            t = f["T"][family]
            ok = e > 0
            est += list(study.db(e[ok]))
            true += list(study.db(t[ok]))
            if ok.sum() > 2:
                within.append(np.corrcoef(e[ok], t[ok])[0, 1])
        print(f"  {variant or 'all'}: estimated vs true error correlation "
              f"{np.corrcoef(est, true)[0, 1]:.3f} across files (dB), median "
              f"{np.median(within):.3f} within a file")
    print("family:")
    for j in family:
        print("   ", pool[j])


if __name__ == "__main__":
    main()
