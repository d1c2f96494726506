#!/usr/bin/python3
"""The kit's cells, as the README's automatic-strength table: per condition and per variant.

  report.py CELLS [CELLS ...] [--name auto] [--baseline Default] [--split train|validate]

CELLS are files written by `kit.py score --cells` (with --peers, so they hold the peers' cells
too); the baseline's cells may come from another run, e.g.
  kit.py score --pairs $CALMORA_PAIRS --split all --name Default --cells default.csv \\
      --cmd 'build/release/cli/calmora-cli denoise {in} -o {out} -q --preset Default'
Per row: NAME's mean PSNR gain, the best single peer's (the peer with the highest mean over the
split) and the best peer per cell's, NAME's and the baseline's SSIM gain, how many cells NAME
is at or above the best peer in, and its worst cell.
"""
from __future__ import annotations

import argparse
import collections
import csv

import numpy as np

PEERS = ("im-enhance", "im-wavelet-1pc", "sk-wavelet")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("cells", nargs="+")
    ap.add_argument("--name", default="auto")
    ap.add_argument("--baseline", default="Default")
    ap.add_argument("--split", default="validate")
    a = ap.parse_args()
    gain = collections.defaultdict(dict)  # (image, condition, variant) -> denoiser -> (psnr, ssim)
    for path in a.cells:
        with open(path) as f:
            for r in csv.DictReader(f):
                if r["split"] == a.split:
                    gain[(r["image"], r["condition"], r["variant"])][r["denoiser"]] = (
                        float(r["psnr_gain"]), float(r["ssim_gain"]))
    cells = [k for k, v in gain.items() if a.name in v and all(p in v for p in PEERS)]
    single = max(PEERS, key=lambda p: np.mean([gain[k][p][0] for k in cells]))
    groups = collections.defaultdict(list)
    for k in cells:
        groups[k[1]].append(k)
        groups[k[2]].append(k)
        groups["all"].append(k)
    print(f"{a.split}: {len(cells)} cells; best single peer {single}")
    print(f"| {a.split} | {a.name} PSNR | {single} | best peer per cell | {a.name} SSIM | "
          f"{a.baseline} SSIM | at/above best peer | worst cell |")
    print("|---" * 8 + "|")
    conditions = sorted({k[1] for k in cells})
    for g in conditions + ["png", "jpg92", "cam", "all"]:
        ks = groups[g]
        ours = np.array([gain[k][a.name] for k in ks])
        best = np.array([max(gain[k][p][0] for p in PEERS) for k in ks])
        base = [gain[k][a.baseline][1] for k in ks if a.baseline in gain[k]]
        print(f"| {g} | {ours[:, 0].mean():+.2f} | {np.mean([gain[k][single][0] for k in ks]):+.2f} | "
              f"{best.mean():+.2f} | {ours[:, 1].mean():+.3f} | "
              f"{np.mean(base) if base else float('nan'):+.3f} | "
              f"{int((ours[:, 0] >= best).sum())}/{len(ks)} | {ours[:, 0].min():+.2f} |")


if __name__ == "__main__":
    main()
