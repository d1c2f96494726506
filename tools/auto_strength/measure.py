#!/usr/bin/python3
"""What each candidate does to each training photo, for fit.py: numbers only, cached in data/.

  measure.py candidates [--photos P ...] [--only FILE]
                                                       every candidate of data/candidates.txt, or
                                                       only those listed in FILE (same format):
                                                       the chosen family on the photos the
                                                       candidates were not searched on
  measure.py noise                                     the chooser's noise estimate per file:
                                                       white and smoothed-noise variances (8 x 3
                                                       each) and the eigenvalue spreads (3)

For each noisy file and candidate (sums over the picture's samples):
  R  |f(y) - y|^2          the change the candidate makes
  T  |f(y) - x|^2          its true error (x the clean picture)
  D  w . (J' df)           per Y/Cr/Cb probe channel and luminance bin: a unit white probe w in
                           Y, Cr, Cb (seeded by the file's name; the picture moved 1.5 levels) and
                           the change df it causes, taken back to Y, Cr, Cb; scaled by a noise
                           variance per channel and bin it gives that noise's divergence term
stored as "file|settings" -> [R, T, D (3 x 8)], and per file "file" -> [pixels per bin (8),
true noise energy per Y/Cr/Cb channel and bin (3 x 8)]. Results are added to
data/measurements.csv.gz, so a candidate is filtered once however often the fit is rerun. Only
`train` photos are ever measured.
"""
from __future__ import annotations

import argparse
import gzip
import os
import zlib

import numpy as np

import study

CACHE = os.path.join(study.DATA, "measurements.csv.gz")
NOISE = os.path.join(study.DATA, "noise.csv.gz")
CANDIDATES = os.path.join(study.DATA, "candidates.txt")
PROBE_LEVELS = 1.5


def load(path) -> dict:
    """A cache: key -> numbers, one line each, "key;v1,v2,..."."""
    if not os.path.exists(path):
        return {}
    with gzip.open(path, "rt") as f:
        return {k: np.array([float(v) for v in values.split(",")])
                for k, values in (line.rstrip("\n").split(";") for line in f)}


def save(path, cache: dict):
    with gzip.open(path + ".tmp", "wt") as f:
        for k in sorted(cache):
            f.write(k + ";" + ",".join(f"{v:.6g}" for v in cache[k]) + "\n")
    os.replace(path + ".tmp", path)


def candidates(path=CANDIDATES) -> list:
    with open(path) as f:
        return [[int(v) for v in line.split("#")[0].split(",")] for line in f if line.split("#")[0].strip()]


def bins_of(y: np.ndarray) -> np.ndarray:
    """Each pixel's luminance bin, from a 5 x 5 mean of the noisy picture."""
    lum = y @ np.array([0.299, 0.587, 0.114])
    p = np.pad(lum, 2, mode="edge")
    c = np.pad(p.cumsum(0).cumsum(1), ((1, 0), (1, 0)))
    mean = (c[5:, 5:] - c[:-5, 5:] - c[5:, :-5] + c[:-5, :-5]) / 25.0
    return np.clip((mean / 32).astype(int), 0, study.BINS - 1)


def sums(bins, values):
    return np.stack([np.bincount(bins.ravel(), weights=values[..., c].ravel(), minlength=study.BINS)
                     for c in range(values.shape[-1])])


def cmd_candidates(args):
    cache = load(CACHE)
    todo = candidates(args.only or CANDIDATES)
    server = study.Server()
    for r in study.manifest("train", images=args.photos):
        name = r["noisy"]
        missing = [s for s in todo if f"{name}|{study.key(s)}" not in cache]
        if not missing:
            continue
        y8 = server.load(os.path.join(study.PAIRS, name))
        x = study.read_rgb8(r["clean"]).astype(float)
        y = y8.astype(float)
        bins = bins_of(y)
        w = np.random.default_rng(zlib.crc32(name.encode())).standard_normal(y.shape)
        probe = w @ study.RGB.T
        eps = PROBE_LEVELS / probe.std()
        moved = np.clip(np.round(y + eps * probe), 0, 255).astype(np.uint8)
        cache[name] = np.concatenate([sums(bins, np.ones_like(y))[0],
                                      sums(bins, ((y - x) @ study.YCC.T) ** 2).ravel()])
        for s in missing:
            f = server.filter(s, y8).astype(float)
            fp = server.filter(s, moved).astype(float)
            cache[f"{name}|{study.key(s)}"] = np.concatenate([
                [np.sum((f - y) ** 2), np.sum((f - x) ** 2)],
                sums(bins, w * (((fp - f) / eps) @ study.RGB)).ravel()]).astype(np.float32)
        save(CACHE, cache)
        print(name, len(missing), flush=True)
    server.close()


def cmd_noise(args):
    out = load(NOISE)  # other pairs folders' files stay
    server = study.Server()
    for r in study.manifest("train"):
        server.load(os.path.join(study.PAIRS, r["noisy"]))
        n = server.noise()
        out[r["noisy"]] = np.concatenate([n["white"].ravel(), n["coloured"].ravel(), n["spread"]])
    server.close()
    save(NOISE, out)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="verb", required=True)
    c = sub.add_parser("candidates")
    c.add_argument("--photos", nargs="*")
    c.add_argument("--only")
    c.set_defaults(fn=cmd_candidates)
    n = sub.add_parser("noise")
    n.set_defaults(fn=cmd_noise)
    a = ap.parse_args()
    a.fn(a)


if __name__ == "__main__":
    main()
