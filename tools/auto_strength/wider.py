#!/usr/bin/python3
"""More training photos than the quality kit's 14, for rules the kit's photos cannot test.

  wider.py OUT          downloads the Debian packages below (apt-get download: nothing is
                        installed), reduces their photos as the kit reduces its own, and writes
                        noisy/clean pairs of every condition and variant to OUT/pairs with
                        kit.py pairs; then, for the scripts here and kit.py score --split train:
  CALMORA_PAIRS=OUT/pairs tools/auto_strength/choices.py ...
  kit.py score --pairs OUT/pairs --split train --peers --cmd ...

The kit's 14 training photos are mostly soft-backgrounded close-ups and landscapes; none is
detailed all over with fine grain. These eight add what they lack (gravel and glitter, dry grass,
bark, meadows) and smooth subjects as a check. Every one is a training photo: the kit's validate
split stays unseen. Reduced like the kit's (an integer factor so that the shorter side is about
520 px, block means in linear light, rounded to 8 bits). Nothing is stored in this repository.

| name | package (Debian 12) | file | author | licence |
|---|---|---|---|---|
| dune | mate-backgrounds 1.26.0-1 | nature/Dune.jpg | Marco Cogoni, Hylke Bons | GPL-2+ |
| garden | mate-backgrounds 1.26.0-1 | nature/Garden.jpg | Charles Barbin | GPL-2+ |
| yellowflower | mate-backgrounds 1.26.0-1 | nature/YellowFlower.jpg | Charles Barbin | GPL-2+ |
| analogpattern | lomiri-wallpapers-16.04 20.04.0-2 | analogpattern_by_Peter_Nerlich.jpg | Peter Nerlich | CC-BY-SA-4.0 |
| free | lomiri-wallpapers-16.04 20.04.0-2 | free_by_Peter_Nerlich.jpg | Peter Nerlich | CC-BY-SA-4.0 |
| picos | lomiri-wallpapers-16.04 20.04.0-2 | picosdeeuropa_by_Aitzol_Berasategi.jpg | Aitzol Berasategi | CC-BY-4.0 |
| sunset | lomiri-wallpapers-16.04 20.04.0-2 | sunset_by_Aitzol_Berasategi.jpg | Aitzol Berasategi | CC-BY-4.0 |
| kleiber | lomiri-wallpapers-20.04 20.04.0-2 | Kleiber_by_Lukas_Baubkus.jpg | Lukas Baubkus | CC-BY-SA-3.0 |
"""
from __future__ import annotations

import csv
import glob
import os
import subprocess
import sys
import tempfile

import numpy as np

import study

sys.path.insert(0, study.KIT)
from common import linear_to_srgb, srgb_to_linear  # noqa: E402
from PIL import Image  # noqa: E402

PHOTOS = {
    "dune": ("mate-backgrounds", "mate/nature/Dune.jpg"),
    "garden": ("mate-backgrounds", "mate/nature/Garden.jpg"),
    "yellowflower": ("mate-backgrounds", "mate/nature/YellowFlower.jpg"),
    "analogpattern": ("lomiri-wallpapers-16.04", "analogpattern_by_Peter_Nerlich.jpg"),
    "free": ("lomiri-wallpapers-16.04", "free_by_Peter_Nerlich.jpg"),
    "picos": ("lomiri-wallpapers-16.04", "picosdeeuropa_by_Aitzol_Berasategi.jpg"),
    "sunset": ("lomiri-wallpapers-16.04", "sunset_by_Aitzol_Berasategi.jpg"),
    "kleiber": ("lomiri-wallpapers-20.04", "Kleiber_by_Lukas_Baubkus.jpg"),
}
SHORT_SIDE = 520


def reduce(path: str) -> np.ndarray:
    im = np.asarray(Image.open(path).convert("RGB")).astype(np.float64)
    h, w = im.shape[:2]
    k = max(1, round(min(h, w) / SHORT_SIDE))
    h2, w2 = h // k, w // k
    lin = srgb_to_linear(im[:h2 * k, :w2 * k] / 255.0).reshape(h2, k, w2, k, 3).mean(axis=(1, 3))
    return np.clip(np.round(linear_to_srgb(lin) * 255.0), 0, 255).astype(np.uint8)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = os.path.abspath(sys.argv[1])
    clean = os.path.join(out, "clean")
    pairs = os.path.join(out, "pairs")
    os.makedirs(clean, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        packages = sorted({p for p, _ in PHOTOS.values()})
        subprocess.run(["apt-get", "download", *packages], cwd=tmp, check=True)
        for deb in glob.glob(os.path.join(tmp, "*.deb")):
            subprocess.run(["dpkg-deb", "-x", deb, os.path.join(tmp, "root")], check=True)
        for name, (_, file) in PHOTOS.items():
            src = os.path.join(tmp, "root", "usr", "share", "backgrounds", file)
            Image.fromarray(reduce(src)).save(os.path.join(clean, name + ".png"))
    subprocess.run([sys.executable, os.path.join(study.KIT, "kit.py"), "pairs", "--clean", clean,
                    "--out", pairs], check=True)
    # kit.py counts photos of one's own as validation photos; here they are for training.
    manifest = os.path.join(pairs, "manifest.csv")
    with open(manifest) as f:
        rows = list(csv.DictReader(f))
    for r in rows:
        r["split"] = "train"
    with open(manifest + ".tmp", "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=list(rows[0]))
        w.writeheader()
        w.writerows(rows)
    os.replace(manifest + ".tmp", manifest)


if __name__ == "__main__":
    main()
