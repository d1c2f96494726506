#!/usr/bin/python3
"""Scores the chooser as the program runs it on the `train` photos, without encoding a file.

  choices.py [--family FILE] [--learned PART]

Each training file goes through the filter server's automatic choice (the chooser of
settings/auto_strength.cpp as built, its regions and noise estimate included), and the choice is
scored by the cached true error of that candidate on the whole photo (measure.py candidates
--only FILE, FILE the family as kCandidates holds it, default data/family.txt). The numbers are
those `kit.py score --split train` gives for auto, in a few minutes instead of an hour: mean PSNR
gain, worst cell, cells below -1 and -0.5 dB, per condition and per variant. Rebuild the server
after changing the chooser (cmake --build build/release --target auto_strength_study). Only
`train` is read.

--learned PART chooses with the profile learned from the kit's PART photos of each file's
condition and variant where one is found (tools/self_learning/measure.py learn keeps them in
$WORK/homes, default /tmp/self-learning): `validate`, so that the photos scored are not the ones
learned from. Only their noisy files were read to learn; their clean ones are not.
"""
from __future__ import annotations

import argparse
import collections
import os

import numpy as np

import fit
import measure
import study


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--family", default=os.path.join(study.DATA, "family.txt"))
    ap.add_argument("--learned", choices=("validate", "chart"))
    a = ap.parse_args()
    homes = os.path.join(os.environ.get("WORK", "/tmp/self-learning"), "homes")
    pool, files = fit.load(1.25, 1.9, a.family)
    server = study.Server()
    gains = []
    found = 0
    for f in files:
        server.load(os.path.join(study.PAIRS, f["row"]["noisy"]))
        if a.learned:
            home = f"{f['row']['condition']}__{f['row']['variant']}__{a.learned}"
            found += server.learned(os.path.join(homes, home, "data", "Brantovia",
                                                 "Calmora Community Edition", "Profiles")) > 0
        choice = server.auto(1)
        j = pool.index(study.key(choice["candidates"][choice["chosen"]][0]))
        gains.append(fit.gain(f, j if choice["filter"] else None))
    server.close()
    g = np.array(gains)
    if a.learned:
        print(f"a learned profile for {found} of {len(g)} files")
    print(f"{len(g)} training files: mean {g.mean():+.3f} dB, worst {g.min():+.2f}, "
          f"{(g < -1).sum()} below -1 dB, {(g < -0.5).sum()} below -0.5 dB")
    groups = collections.defaultdict(list)
    for x, f in zip(g, files):
        groups[f["row"]["condition"]].append(x)
        groups[f["row"]["variant"]].append(x)
    for k in sorted(groups, key=lambda k: ("-iso" not in k, k)):
        print(f"  {k:22s} {np.mean(groups[k]):+.2f}  worst {min(groups[k]):+.2f}")
    for i in np.argsort(g)[:5]:
        print(f"  {files[i]['row']['noisy']:45s} {g[i]:+.2f}")


if __name__ == "__main__":
    main()
