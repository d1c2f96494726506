#!/usr/bin/python3
"""How far a better choice could take automatic strength on the `train` photos, from the cached
numbers: what limits it, the noise estimate, the estimate of the error, or the engine itself.

  bounds.py CELLS [--learned DIR] [--probe]

CELLS is a `kit.py score --peers --cells` file of the train split (its peers' cells say which
files auto is at or above the best peer in). Rows, each as mean PSNR gain and cells at or above
the best peer, per ISO speed and variant:
  chosen             the chooser's estimate of the error with its own noise estimate, on the
                     cached numbers (fit.py's choice: its regions and caution left out)
  true noise         the same estimate with the noise's true variance per brightness bin and
                     Y/Cr/Cb channel: the noisy file less its clean picture sent the same way
                     (JPEG 92 for the kit's JPEGs, the camera's path without noise and JPEG 92
                     for `cam`), so JPEG's own loss of the clean picture is not counted as noise
  noise's own probe  (--probe) the estimate with the noise's true energy and, for its
                     divergence, a probe drawn as the noise itself (the file's noise made again
                     with another seed and sent the same way), so that it correlates between
                     neighbours and channels exactly as the noise does; filters every file ten
                     times
  family hindsight   each file's best of the family (data/family.txt) or leaving it
  pool hindsight     each file's best of every candidate measured on it (data/candidates.txt;
                     only files with all of them)
  learned hindsight  (--learned) the family's best with the profile learned from the validate
                     photos' noisy files of the file's condition and variant, DIR as
                     tools/self_learning/measure.py's WORK; filters every file five times

Only `train` photos and their clean pictures are read.
"""
from __future__ import annotations

import argparse
import collections
import csv
import io
import os
import zlib

import numpy as np
from PIL import Image

import fit
import measure
import study
import kit  # noqa: E402 (study puts the kit on the path)

CONDITIONS = ("iso800", "iso3200", "iso12800")


def through_jpeg(rgb8: np.ndarray) -> np.ndarray:
    buf = io.BytesIO()
    Image.fromarray(rgb8, "RGB").save(buf, "JPEG", quality=92, subsampling=2, optimize=False)
    return np.asarray(Image.open(io.BytesIO(buf.getvalue())).convert("RGB"))


def sent_the_same_way(row, noise_seed: int | None = None) -> np.ndarray:
    """The file's clean picture through the file's path; with `noise_seed`, with the kit's noise
    of its condition added as the noisy file's was, by another seed. A `cam` row's clean picture
    is the camera's path without noise already; its noise is made from the kit's own clean."""
    p = kit.profiles()[row["condition"]]
    if row["variant"] == "cam":
        if noise_seed is None:
            return through_jpeg(study.read_rgb8(row["clean"]))
        original = study.read_rgb8(os.path.join(study.KIT, "clean", row["image"] + ".png"))
        return through_jpeg(kit.camera_path(original, p, noise_seed))
    clean = study.read_rgb8(row["clean"])
    noisy = clean if noise_seed is None else kit.noisy_from(clean, p, noise_seed)
    return through_jpeg(noisy) if row["variant"] == "jpg92" else noisy


def true_variance(row) -> np.ndarray:
    """bins x Y/Cr/Cb: the variance of the noise that survives the file's path, by the bins of
    measure.py (the noisy picture's local luminance)."""
    y = study.read_rgb8(os.path.join(study.PAIRS, row["noisy"]))
    clean = sent_the_same_way(row)
    d = (y.astype(float) - clean.astype(float)) @ study.YCC.T
    bins = measure.bins_of(y.astype(float))
    v = np.full((study.BINS, 3), np.nan)
    for b in range(study.BINS):
        m = bins == b
        if m.sum() > 100:
            v[b] = d[m].var(0)
    measured = [b for b in range(study.BINS) if not np.isnan(v[b, 0])]
    for b in range(study.BINS):
        if np.isnan(v[b, 0]):
            v[b] = v[min(measured, key=lambda k: abs(k - b))]
    return v


def chosen_with(f, cache, pool, v, trust=0.9, margin=0.1):
    """fit.choose with the noise variance v (bins x channels) in place of the estimate's."""
    name = f["row"]["noisy"]
    count = cache[name][:8]
    n = 3.0 * count.sum()
    tr = (count[:, None] * v * fit.COLUMN_NORM[None]).sum() / n
    D = np.array([(cache[f"{name}|{k}"][2:].reshape(3, study.BINS) * v.T).sum() for k in pool]) / n
    est = f["R"] - trust * tr + 2 * trust * D
    j = int(np.argmin(est))
    return None if est[j] >= trust * tr * (1 - margin) else j


def own_probe_choice(f, server, pool, trust=0.9, margin=0.1):
    """The choice with a probe made as the file's own noise is (see the docstring)."""
    r = f["row"]
    y = server.load(os.path.join(study.PAIRS, r["noisy"]))
    ref = sent_the_same_way(r).astype(float)
    z = sent_the_same_way(r, zlib.crc32(("probe" + r["noisy"]).encode())) - ref
    energy = np.mean((y.astype(float) - ref) ** 2)
    scale = measure.PROBE_LEVELS / np.sqrt(np.mean(z ** 2))
    moved = np.clip(np.round(y + scale * z), 0, 255).astype(np.uint8)
    delta = moved.astype(float) - y
    D = []
    for k in pool:
        settings = [int(v) for v in k.split(",")]
        D.append(np.mean(delta * (server.filter(settings, moved).astype(float)
                                  - server.filter(settings, y))) / scale ** 2)
    est = f["R"] - trust * energy + 2 * trust * np.array(D)
    j = int(np.argmin(est))
    return None if est[j] >= trust * energy * (1 - margin) else j


def learned_gains(files, pool, work):
    server = study.Server()
    result = {}
    for f in files:
        r = f["row"]
        rgb = server.load(os.path.join(study.PAIRS, r["noisy"]))
        folder = os.path.join(work, "homes", f"{r['condition']}__{r['variant']}__validate", "data",
                              "Brantovia", "Calmora Community Edition", "Profiles")
        if server.learned(folder) == 0:
            continue
        clean = study.read_rgb8(r["clean"]).astype(float)
        result[r["noisy"]] = [study.db(np.mean((server.filter([int(v) for v in k.split(",")], rgb) - clean) ** 2))
                              - study.db(f["untouched"]) for k in pool]
    server.close()
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("cells")
    ap.add_argument("--learned")
    ap.add_argument("--probe", action="store_true")
    a = ap.parse_args()
    peer = {}
    with open(a.cells) as fh:
        best = collections.defaultdict(lambda: -np.inf)
        for r in csv.DictReader(fh):
            if r["split"] == "train" and r["denoiser"] not in ("auto", "Default"):
                k = (r["image"], r["condition"], r["variant"])
                best[k] = max(best[k], float(r["psnr_gain"]))
        peer.update(best)
    cache = measure.load(measure.CACHE)
    pool, files = fit.load(1.25, 1.9, os.path.join(study.DATA, "family.txt"))
    whole, complete = fit.load(1.25, 1.9, measure.CANDIDATES)
    complete = {f["row"]["noisy"]: f for f in complete}
    learned = learned_gains(files, pool, a.learned) if a.learned else {}
    server = study.Server() if a.probe else None

    rows = collections.defaultdict(lambda: collections.defaultdict(list))
    for f in files:
        r = f["row"]
        k = (r["image"], r["condition"], r["variant"])
        if k not in peer:
            continue
        family = range(len(pool))
        gains = {
            "chosen": fit.gain(f, fit.choose(f, list(family), 0.9, 0.1)[0]),
            "true noise": fit.gain(f, chosen_with(f, cache, pool, true_variance(r))),
        }
        if server:
            gains["noise's own probe"] = fit.gain(f, own_probe_choice(f, server, pool))
        gains["family hindsight"] = max(0.0, max(fit.gain(f, j) for j in family))
        if r["noisy"] in complete:
            c = complete[r["noisy"]]
            gains["pool hindsight"] = max(0.0, max(fit.gain(c, j) for j in range(len(whole))))
        if r["noisy"] in learned:
            gains["learned hindsight"] = max(0.0, max(learned[r["noisy"]]))
        iso = next(c for c in CONDITIONS if r["condition"].endswith(c))
        for label, g in gains.items():
            for group in (iso, r["variant"], "all"):
                rows[label][group].append((g, g >= peer[k] - 1e-9))
    if server:
        server.close()
    groups = list(CONDITIONS) + ["png", "jpg92", "cam", "all"]
    print("| | " + " | ".join(groups) + " |")
    print("|---" * (len(groups) + 1) + "|")
    for label, by in rows.items():
        cells = []
        for g in groups:
            v = np.array(by[g]) if by[g] else np.zeros((0, 2))
            cells.append(f"{v[:, 0].mean():+.2f} ({int(v[:, 1].sum())}/{len(v)})" if len(v) else "")
        print(f"| {label} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
