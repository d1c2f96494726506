#!/usr/bin/python3
"""Measurements behind `--preset auto`, cached so that a refit costs no filtering.

  harness.py profiles  --pairs DIR          each noisy file's measured profile and true noise
  harness.py evaluate  --pairs DIR SETTINGS...   PSNR (and --ssim) of calmora-cli with these
                                               sixteen values ("none": the untouched input)

The pairs come from the quality kit (`kit.py pairs --out DIR`, see ../shared/quality).
Results are appended to data/profiles.json and data/results.csv, keyed by file and
settings, so a candidate is filtered once however often the fit is rerun; fit.py reads
only these two files.
"""
from __future__ import annotations

import argparse
import csv
import json
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
KIT = os.environ.get("CALMORA_QUALITY_KIT", os.path.join(HERE, "..", "..", "..", "shared", "quality"))
CLI = os.environ.get("CALMORA_CLI", os.path.join(HERE, "..", "..", "build", "auto", "cli", "calmora-cli"))
RESULTS = os.path.join(DATA, "results.csv")
PROFILES = os.path.join(DATA, "profiles.json")
FIELDS = ["file", "image", "condition", "variant", "settings", "psnr_gain", "ssim_gain"]

sys.path.insert(0, KIT)
from common import read_rgb8, read_rgb_float255, ssim  # noqa: E402


def manifest(pairs: str, conditions=None, images=None, variants=None) -> list:
    with open(os.path.join(pairs, "manifest.csv")) as f:
        rows = list(csv.DictReader(f))
    return [r for r in rows if (not conditions or r["condition"] in conditions)
            and (not images or r["image"] in images) and (not variants or r["variant"] in variants)]


def psnr(clean: np.ndarray, test: np.ndarray) -> float:
    mse = np.mean((clean - test) ** 2)
    return float(10.0 * np.log10(255.0 ** 2 / mse))


def luma(rgb: np.ndarray) -> np.ndarray:
    return rgb @ np.array([0.299, 0.587, 0.114])


def cmd_profiles(args) -> int:
    known = {}
    if os.path.exists(PROFILES):
        with open(PROFILES) as f:
            known = json.load(f)
    for r in manifest(args.pairs, args.conditions, args.images):
        if r["noisy"] in known:
            continue
        noisy = os.path.join(args.pairs, r["noisy"])
        text = subprocess.run([CLI, "profile", "--json", noisy], check=True, capture_output=True).stdout
        clean = read_rgb8(r["clean"]).astype(np.float64)
        diff = read_rgb8(noisy).astype(np.float64) - clean
        known[r["noisy"]] = {
            "image": r["image"], "condition": r["condition"], "variant": r["variant"],
            "profile": json.loads(text),
            # What the measurement should find: the noise actually added, in 8-bit levels.
            "true_luma_sigma": float(np.std(luma(diff))),
            "true_rgb_sigma": [float(np.std(diff[..., c])) for c in range(3)],
        }
        print(r["noisy"], f"{known[r['noisy']]['true_luma_sigma']:.2f}", flush=True)
    os.makedirs(DATA, exist_ok=True)
    with open(PROFILES, "w") as f:
        json.dump(known, f, indent=0, sort_keys=True)
    return 0


def load_results() -> dict:
    done = {}
    if os.path.exists(RESULTS):
        with open(RESULTS) as f:
            for r in csv.DictReader(f):
                done[(r["file"], r["settings"])] = r
    return done


def cmd_evaluate(args) -> int:
    rows = manifest(args.pairs, args.conditions, args.images, args.variants)
    done = load_results()
    os.makedirs(DATA, exist_ok=True)
    new_file = not os.path.exists(RESULTS)
    with open(RESULTS, "a", newline="") as out:
        w = csv.DictWriter(out, fieldnames=FIELDS)
        if new_file:
            w.writeheader()
        for settings in args.settings:
            todo = [r for r in rows if (r["noisy"], settings) not in done
                    or (args.ssim and done[(r["noisy"], settings)]["ssim_gain"] == "")]
            if not todo:
                continue
            tmp = tempfile.mkdtemp(prefix="calmora-auto-")
            try:
                files = [os.path.join(args.pairs, r["noisy"]) for r in todo]
                if settings != "none":
                    # One batch per candidate: the program starts once.
                    subprocess.run([CLI, "denoise", "-q", "--dest-dir", tmp, "--suffix", "", "--format", "png",
                                    "--settings", settings] + files, check=True, stdout=subprocess.DEVNULL)
                for r, noisy in zip(todo, files):
                    res = noisy if settings == "none" else os.path.join(
                        tmp, os.path.splitext(os.path.basename(noisy))[0] + ".png")
                    clean = read_rgb8(r["clean"]).astype(np.float64)
                    inp = read_rgb8(noisy).astype(np.float64)
                    out_px = read_rgb_float255(res)
                    row = {"file": r["noisy"], "image": r["image"], "condition": r["condition"],
                           "variant": r["variant"], "settings": settings,
                           "psnr_gain": f"{psnr(clean, out_px) - psnr(clean, inp):.4f}", "ssim_gain": ""}
                    if args.ssim:
                        row["ssim_gain"] = f"{ssim(clean, out_px) - ssim(clean, inp):.5f}"
                    w.writerow(row)
                    done[(r["noisy"], settings)] = row
                out.flush()
            finally:
                shutil.rmtree(tmp, ignore_errors=True)
            gains = [float(done[(r["noisy"], settings)]["psnr_gain"]) for r in rows]
            print(f"{settings}: mean PSNR gain {np.mean(gains):+.3f} over {len(rows)} files", flush=True)
    return 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="verb", required=True)
    for name, fn in (("profiles", cmd_profiles), ("evaluate", cmd_evaluate)):
        p = sub.add_parser(name)
        p.add_argument("--pairs", default="/tmp/pairs")
        p.add_argument("--conditions", nargs="*")
        p.add_argument("--images", nargs="*")
        p.set_defaults(fn=fn)
        if name == "evaluate":
            p.add_argument("--variants", nargs="*")
            p.add_argument("--ssim", action="store_true")
            p.add_argument("settings", nargs="+")
    a = ap.parse_args()
    return a.fn(a)


if __name__ == "__main__":
    sys.exit(main())
