#!/usr/bin/python3
"""The kit's cells, as the README's automatic-strength table: per condition and per variant.

  report.py CELLS [CELLS ...] [--name auto] [--baseline Default] [--splits train,validate]

CELLS are files written by `kit.py score --cells` (with --peers, so they hold the peers' cells
too); the baseline's cells may come from another run, e.g.
  kit.py score --pairs $CALMORA_PAIRS --split all --name Default --cells default.csv \\
      --cmd 'build/release/cli/calmora-cli denoise {in} -o {out} -q --preset Default'
Per row and split, side by side: NAME's mean PSNR gain, the best single peer's (the peer with the
highest mean over the split), NAME's and the baseline's SSIM gain, how many cells NAME is at or
above the best peer in, and its worst cell.
"""
from __future__ import annotations

import argparse
import collections
import csv

import numpy as np

PEERS = ("im-enhance", "im-wavelet-1pc", "sk-wavelet")


def table(paths, split, name, baseline):
    gain = collections.defaultdict(dict)  # (image, condition, variant) -> denoiser -> (psnr, ssim)
    for path in paths:
        with open(path) as f:
            for r in csv.DictReader(f):
                if r["split"] == split:
                    gain[(r["image"], r["condition"], r["variant"])][r["denoiser"]] = (
                        float(r["psnr_gain"]), float(r["ssim_gain"]))
    cells = [k for k, v in gain.items() if name in v and all(p in v for p in PEERS)]
    single = max(PEERS, key=lambda p: np.mean([gain[k][p][0] for k in cells]))
    groups = collections.defaultdict(list)
    for k in cells:
        groups[k[1]].append(k)
        groups[k[2]].append(k)
        groups["all"].append(k)
    rows = {}
    for g, ks in groups.items():
        ours = np.array([gain[k][name] for k in ks])
        best = np.array([max(gain[k][p][0] for p in PEERS) for k in ks])
        base = [gain[k][baseline][1] for k in ks if baseline in gain[k]]
        rows[g] = (f"{ours[:, 0].mean():+.2f} | {np.mean([gain[k][single][0] for k in ks]):+.2f} | "
                   f"{ours[:, 1].mean():+.3f} / {np.mean(base) if base else float('nan'):+.3f} | "
                   f"{int((ours[:, 0] >= best).sum())}/{len(ks)} | {ours[:, 0].min():+.2f}")
    return single, rows


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("cells", nargs="+")
    ap.add_argument("--name", default="auto")
    ap.add_argument("--baseline", default="Default")
    ap.add_argument("--splits", default="train,validate")
    a = ap.parse_args()
    splits = a.splits.split(",")
    tables = [table(a.cells, s, a.name, a.baseline) for s in splits]
    head, rule = "| |", "|---|"
    for split, (single, _) in zip(splits, tables):
        head += (f" {split}: {a.name} PSNR | {single} | SSIM {a.name} / {a.baseline} | "
                 f"at/above best peer | worst cell |")
        rule += "---|" * 5
    print(head)
    print(rule)
    order = sorted(k for k in tables[0][1] if "-iso" in k) + ["png", "jpg92", "cam", "all"]
    for g in order:
        print(f"| {g} | " + " | ".join(t[1].get(g, "") for t in tables) + " |")


if __name__ == "__main__":
    main()
