#!/usr/bin/python3
"""Measures self-learning on the quality kit: how close a profile learned from a camera's own
photos comes to the camera's true noise, and what it does to the filtered result.

  measure.py learn      learn each condition's train photos (and, apart, its validate photos
                        and its test charts) into profile folders of their own, one per
                        condition and variant
  measure.py accuracy   the finest band's luminance noise after 5 learned photos, and of one
                        photo alone, against the same measurement on a flat grey chart
  measure.py survival   the luminance noise that survives each variant's path (the noisy file
                        less its clean picture sent the same way) on the train photos and on
                        the chart, at ISO 800: the chart's flat patches lose to JPEG far more
                        of their noise than a photo's detail does
  measure.py size       the grey chart full size, binned 2x2 and cropped: what the picture's
                        size does to its profile
  measure.py denoise [--own] IN OUT [ARGS...]
                        calmora-cli denoise with the learned folder of IN's condition and
                        variant, adding nothing to it (--own: an empty folder, the photo's own
                        profile); for kit.py score --cmd:

  kit.py score --pairs /work/pairs --name learned --cells learned.csv \
      --cmd 'tools/self_learning/measure.py denoise {in} {out}'            # Default
  kit.py score --pairs /work/pairs --name own --cells own.csv \
      --cmd 'tools/self_learning/measure.py denoise --own {in} {out}'
  (and the same with --preset auto after {out})

Each condition and variant (the kit's png, jpg92 and cam) keeps its own folder: the variants
share their camera's EXIF but not its noise (JPEG compression and a camera's demosaicing change
it), as a camera's own JPEGs and a raw developer's output would differ. The chart is grey
patches at the centre of each of the profile's eleven brightness points, under the kit's noise
model (kit.py's noisy_from, JPEG 92, and camera_path for cam), measured by the same program.

The chart's reading is the engine's own (tools/auto_strength's filter server, built with
--target auto_strength_study), not what the chart would teach the store.

Environment: CALMORA_CLI (default build/release/cli/calmora-cli), CALMORA_STUDY (the filter
server, default build/release/tools/auto_strength/auto_strength_study), PAIRS (default /work/pairs),
WORK (default /tmp/self-learning); the kit is ../shared/quality beside this repository.
"""
from __future__ import annotations

import argparse
import glob
import json
import os
import subprocess
import sys
import zlib

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
KIT = os.environ.get("KIT", next((k for k in (os.path.join(ROOT, "..", "shared", "quality"), os.path.join(ROOT, "..", "..", "shared", "quality")) if os.path.isdir(k)), "../shared/quality"))
sys.path.insert(0, KIT)
import kit  # noqa: E402
from common import read_rgb8, write_jpeg, write_png  # noqa: E402

CLI = os.environ.get("CALMORA_CLI", os.path.join(ROOT, "build", "release", "cli", "calmora-cli"))
STUDY = os.environ.get("CALMORA_STUDY", os.path.join(ROOT, "build", "release", "tools", "auto_strength",
                                                    "auto_strength_study"))
PAIRS = os.environ.get("PAIRS", "/work/pairs")
WORK = os.environ.get("WORK", "/tmp/self-learning")
VARIANT_FILE = {"png": "{img}__{cond}.png", "jpg92": "{img}__{cond}__q92.jpg",
                "cam": "{img}__{cond}__cam.jpg"}
CHART_SEEDS = (1, 2, 3)
POINTS = 11


def conditions() -> list[str]:
    return sorted(kit.profiles())


def photos(split: str) -> list[str]:
    names = sorted({os.path.basename(p).split("__")[0] for p in glob.glob(os.path.join(PAIRS, "*__camclean.png"))})
    return [n for n in names if (n in kit.VALIDATE) == (split == "validate")]


def home(cond: str, variant: str, part: str) -> str:
    return os.path.join(WORK, "homes", f"{cond}__{variant}__{part}")


def run_cli(home_dir: str, args: list[str], check: bool = True) -> subprocess.CompletedProcess:
    env = dict(os.environ, HOME=home_dir, XDG_CONFIG_HOME=os.path.join(home_dir, "config"),
               XDG_DATA_HOME=os.path.join(home_dir, "data"))
    os.makedirs(os.path.join(home_dir, "config"), exist_ok=True)
    return subprocess.run([CLI] + args, env=env, check=check, capture_output=True, text=True)


def chart_picture() -> np.ndarray:
    """Eleven vertical grey patches, 960 x 640, one at the centre of each brightness point."""
    width, height = 960, 640
    levels = [round((p * 2048 + 1024) * 255 / 21906) for p in range(POINTS)]
    picture = np.zeros((height, width, 3), np.uint8)
    for i, level in enumerate(levels):
        picture[:, i * width // POINTS:(i + 1) * width // POINTS] = level
    return picture


def make_charts(cond: str, variant: str) -> list[str]:
    folder = os.path.join(WORK, "charts")
    os.makedirs(folder, exist_ok=True)
    clean = chart_picture()
    p = kit.profiles()[cond]
    paths = []
    for seed in CHART_SEEDS:
        path = os.path.join(folder, f"chart{seed}__{cond}__{variant}." + ("png" if variant == "png" else "jpg"))
        if not os.path.exists(path):
            s = zlib.crc32(f"chart{seed}|{cond}".encode())
            if variant == "cam":
                write_jpeg(path, kit.camera_path(clean, p, s), kit.JPEG_QUALITY, exif=kit.exif_for(cond))
            elif variant == "jpg92":
                write_jpeg(path, kit.noisy_from(clean, p, s), kit.JPEG_QUALITY, exif=kit.exif_for(cond))
            else:
                write_png(path, kit.noisy_from(clean, p, s), exif=kit.exif_for(cond))
        paths.append(path)
    return paths


def learn_into(home_dir: str, files: list[str]) -> None:
    out = os.path.join(WORK, "out")
    os.makedirs(out, exist_ok=True)
    for f in files:  # one by one, as a photographer's photos arrive
        run_cli(home_dir, ["denoise", "-q", "-o", os.path.join(out, "x.png"), f])


def records(home_dir: str) -> list[dict]:
    """The photos learned in a folder, each its profile as taught (the finest band lowered where
    the pixels show texture) as band x point x channel arrays."""
    keys = json.loads(run_cli(home_dir, ["profiles", "list", "--json"]).stdout)
    result = []
    for k in keys:
        shown = json.loads(run_cli(home_dir, ["profiles", "show", "--json", k["key"]]).stdout)
        for ph in shown["photos"]:
            result.append({"noise": np.array([b["noise"] for b in ph["bands"]], float),
                           "weight": np.array([b["weight"] for b in ph["bands"]], float)})
    return result


def cmd_learn(args) -> int:
    for cond in conditions():
        for variant in kit.VARIANTS:
            name = VARIANT_FILE[variant]
            for part, names in (("train", photos("train")), ("validate", photos("validate"))):
                h = home(cond, variant, part)
                if os.path.exists(os.path.join(h, "data")):
                    continue
                learn_into(h, [os.path.join(PAIRS, name.format(img=n, cond=cond)) for n in names])
            h = home(cond, variant, "chart")
            if not os.path.exists(os.path.join(h, "data")):
                learn_into(h, make_charts(cond, variant))
            print(cond, variant, flush=True)
    # The clean train photos themselves, as one camera's: what they read with no noise added.
    h = home("clean", "png", "train")
    if not os.path.exists(os.path.join(h, "data")):
        folder = os.path.join(WORK, "clean")
        os.makedirs(folder, exist_ok=True)
        paths = []
        for name in photos("train"):
            path = os.path.join(folder, name + ".png")
            write_png(path, read_rgb8(os.path.join(KIT, "clean", name + ".png")), exif=kit.exif_for(conditions()[-1]))
            paths.append(path)
        learn_into(h, paths)
    return 0


# The merge, as settings/learned_profile_file.cpp does it (MergeRule's defaults): per point the
# trimmed minimum over the photos that measured it with evidence.
def merge(photo_list: list[dict], min_evidence=8, min_point_photos=2, per_trim=8) -> np.ndarray:
    noise = np.stack([p["noise"] for p in photo_list])
    weight = np.stack([p["weight"] for p in photo_list])
    merged = np.full(noise.shape[1:], np.nan)
    for idx in np.ndindex(*noise.shape[1:]):
        values = np.sort(noise[(slice(None),) + idx][weight[(slice(None),) + idx] >= min_evidence])
        if len(values) >= min_point_photos:
            merged[idx] = values[min(len(values) - 1, len(values) // per_trim)]
    return merged


def engine_profile(paths: list[str]) -> list[np.ndarray]:
    """The engine's own measured profiles (before smoothing, untouched by what learning lowers) of
    `paths`, as band x point x channel arrays, from the fitting scripts' filter server."""
    server = subprocess.Popen([STUDY], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    result = []
    for path in paths:
        name = path.encode()
        server.stdin.write(b"L" + len(name).to_bytes(4, "little") + name)
        server.stdin.flush()
        width, height = np.frombuffer(server.stdout.read(8), "<i4")
        server.stdout.read(int(width) * int(height) * 3 + 1004)
        server.stdin.write(b"R")
        server.stdin.flush()
        raw = server.stdout.read(1004)
        result.append(np.array([np.frombuffer(raw, "<i2", POINTS * 3, 4 + 200 * b + 8).reshape(POINTS, 3)
                                for b in range(4)], float))
    server.stdin.write(b"Q")
    server.stdin.flush()
    server.wait()
    return result


def chart_truth(cond: str, variant: str) -> np.ndarray:
    # The engine's reading of the charts themselves: a chart taught to the store would be lowered
    # wherever the pixels' estimate happens to read a little less.
    return np.mean(engine_profile(make_charts(cond, variant)), axis=0)


def level_error(values: np.ndarray, truth: np.ndarray) -> float | None:
    """The finest band's luminance as one number, the median over the inner brightness points
    (1 to 9; the ends clip), against the chart's over the same points: value / chart - 1."""
    v, t = values[0, 1:10, 0], truth[0, 1:10, 0]
    known = ~np.isnan(v)
    return np.median(v[known]) / np.median(t[known]) - 1 if known.sum() >= 3 else None


def cmd_accuracy(args) -> int:
    rng = np.random.default_rng(7)
    print(f"finest band, luminance, against the grey chart: learned from {args.photos} train photos "
          f"({args.draws} random sets per condition and variant) and one photo alone (each train "
          "and validate photo); median of value / chart - 1, and the share within +-15 %")
    print("| ISO speed | learned | learned within 15 % | one photo | one photo within 15 % |")
    print("|---|---|---|---|---|")
    for iso in ("iso12800", "iso3200", "iso800"):
        learned, single = [], []
        for cond in conditions():
            if not cond.endswith(iso):
                continue
            for variant in kit.VARIANTS:
                truth = chart_truth(cond, variant)
                train = records(home(cond, variant, "train"))
                valid = records(home(cond, variant, "validate"))
                for _ in range(args.draws):
                    pick = rng.choice(len(train), args.photos, replace=False)
                    e = level_error(merge([train[i] for i in pick]), truth)
                    if e is not None:
                        learned.append(e)
                for photo in train + valid:
                    own = np.where(photo["weight"] >= 8, photo["noise"], np.nan)
                    e = level_error(own, truth)
                    if e is not None:
                        single.append(e)
        cells = []
        for e in (np.array(learned), np.array(single)):
            cells += [f"{np.median(e) * 100:+.0f} %", f"{np.mean(np.abs(e) <= 0.15) * 100:.0f} %"]
        print(f"| {iso[3:]} | " + " | ".join(cells) + " |")
    # The floor under the ISO 800 rows: the clean photos, learned from 5, against each ISO 800
    # chart (png variant).
    clean = records(home("clean", "png", "train"))
    floor = []
    for _ in range(args.draws):
        pick = rng.choice(len(clean), args.photos, replace=False)
        merged = merge([clean[i] for i in pick])
        floor.append(np.nanmedian(merged[0, 1:10, 0]))
    charts = [np.median(chart_truth(c, "png")[0, 1:10, 0]) for c in conditions() if c.endswith("iso800")]
    print(f"clean photos alone, learned from {args.photos}: finest band's luminance {np.median(floor):.1f}; "
          f"the ISO 800 charts read " + ", ".join(f"{c:.1f}" for c in charts))
    return 0


def through_jpeg(picture: np.ndarray) -> np.ndarray:
    path = os.path.join(WORK, "reference.jpg")
    write_jpeg(path, picture, kit.JPEG_QUALITY)
    return read_rgb8(path)


def surviving_variance(noisy: np.ndarray, reference: np.ndarray, chart: bool = False) -> float:
    """Variance of the luminance of noisy - reference; of a chart, over its patches 2 to 8 away
    from their edges (the ends clip, and JPEG rings at the steps)."""
    d = (noisy.astype(float) - reference.astype(float)) @ np.array([0.299, 0.587, 0.114])
    if not chart:
        return float(d.var())
    w = d.shape[1] // POINTS
    return float(np.mean([d[40:-40, i * w + 12:(i + 1) * w - 12].var() for i in range(2, 9)]))


def cmd_survival(args) -> int:
    suffix = {"png": ".png", "jpg92": "__q92.jpg", "cam": "__cam.jpg"}
    chart = chart_picture()
    chart_sent = {"png": chart, "jpg92": through_jpeg(chart), "cam": through_jpeg(kit.camera_path(chart, None, 0))}

    def photo_sent(name: str, variant: str) -> np.ndarray:
        if variant == "cam":
            return through_jpeg(read_rgb8(os.path.join(PAIRS, name + "__camclean.png")))
        clean = read_rgb8(os.path.join(KIT, "clean", name + ".png"))
        return through_jpeg(clean) if variant == "jpg92" else clean

    print("luminance noise variance that survives the path (8-bit levels squared), ISO 800: the "
          "chart's against the train photos' (median, least and most), and the median photo's "
          "deviation over the chart's")
    print("| condition | variant | chart | photos (median) | least | most | deviation ratio |")
    print("|---|---|---|---|---|---|---|")
    for cond in conditions():
        if not cond.endswith("iso800"):
            continue
        for variant in kit.VARIANTS:
            on_chart = np.mean([surviving_variance(read_rgb8(p), chart_sent[variant], chart=True)
                                for p in make_charts(cond, variant)])
            on_photos = [surviving_variance(read_rgb8(os.path.join(PAIRS, f"{name}__{cond}{suffix[variant]}")),
                                            photo_sent(name, variant))
                         for name in photos("train")]
            m = np.median(on_photos)
            print(f"| {cond} | {variant} | {on_chart:.2f} | {m:.2f} | {min(on_photos):.2f} | "
                  f"{max(on_photos):.2f} | {np.sqrt(m / on_chart):.2f} |")
    return 0


def cmd_size(args) -> int:
    """The grey chart with the kit's noise added at twice the size, then binned 2x2 (a camera's
    reduced size, a phone's binned mode) or cropped to another aspect ratio: the finest band's
    luminance per brightness point, and the binned and cropped ones against the full size."""
    cond = args.condition
    p = kit.profiles()[cond]
    folder = os.path.join(WORK, "size")
    os.makedirs(folder, exist_ok=True)
    clean = np.repeat(np.repeat(chart_picture(), 2, axis=0), 2, axis=1)
    rows = {}
    for seed in CHART_SEEDS:
        full = kit.noisy_from(clean, p, seed)
        h, w = full.shape[:2]
        binned = full.reshape(h // 2, 2, w // 2, 2, 3).mean(axis=(1, 3)).round().astype(np.uint8)
        crop = full[: h // 2, : w * 2 // 3]
        for label, picture in (("full size", full), ("binned 2x2", binned), ("crop", crop)):
            path = os.path.join(folder, f"chart{seed}_{label.replace(' ', '_')}.png")
            write_png(path, picture, exif=kit.exif_for(cond))
            prof = json.loads(run_cli(os.path.join(WORK, "homes", "size-empty"), ["profile", "--json", path]).stdout)
            rows.setdefault(label, []).append([pt[0] for pt in prof["bands"][0]["noise"]])
    full = np.mean(rows["full size"], axis=0)
    print(f"{cond}, grey chart, finest band's luminance per brightness point (mean of {len(CHART_SEEDS)} seeds)")
    for label, values in rows.items():
        mean = np.mean(values, axis=0)
        print(f"  {label:10s} " + " ".join(f"{v:5.1f}" for v in mean)
              + f"   median ratio to full size {np.median(mean[1:10] / full[1:10]):.2f}")
    return 0


def cmd_denoise(args) -> int:
    base = os.path.basename(args.input)
    cond = base.split("__")[1].split(".")[0]
    variant = "cam" if base.endswith("__cam.jpg") else "jpg92" if base.endswith("__q92.jpg") else "png"
    h = os.path.join(WORK, "homes", "empty") if args.own else home(cond, variant, "train")
    return run_cli(h, ["denoise", "-q", "--no-learn", "-o", args.output, args.input] + args.rest, check=False).returncode


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="verb", required=True)
    sub.add_parser("learn").set_defaults(fn=cmd_learn)
    a = sub.add_parser("accuracy")
    a.add_argument("--draws", type=int, default=20, help="random sets of train photos per condition")
    a.add_argument("--photos", type=int, default=5)
    a.set_defaults(fn=cmd_accuracy)
    sub.add_parser("survival").set_defaults(fn=cmd_survival)
    s = sub.add_parser("size")
    s.add_argument("--condition", default="canon-g7x-iso3200")
    s.set_defaults(fn=cmd_size)
    d = sub.add_parser("denoise")
    d.add_argument("--own", action="store_true")
    d.add_argument("input")
    d.add_argument("output")
    d.add_argument("rest", nargs=argparse.REMAINDER)
    d.set_defaults(fn=cmd_denoise)
    a = ap.parse_args()
    return a.fn(a)


if __name__ == "__main__":
    sys.exit(main())
