"""The fitting scripts' side of the filter server (study.cpp) and what they share.

The server is built on request:
  cmake --build build/release --target auto_strength_study
"""
from __future__ import annotations

import csv
import os
import struct
import subprocess
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
KIT = os.environ.get("CALMORA_QUALITY_KIT", os.path.join(HERE, "..", "..", "..", "shared", "quality"))
PAIRS = os.environ.get("CALMORA_PAIRS", "/work/pairs")
SERVER = os.environ.get("CALMORA_STUDY",
                        os.path.join(HERE, "..", "..", "build", "release", "tools", "auto_strength",
                                     "auto_strength_study"))
sys.path.insert(0, KIT)
from common import read_rgb8  # noqa: E402,F401

# Y, Cr, Cb from R, G, B as settings/noise_estimate.cpp has them, and back.
YCC = np.array([[0.299, 0.587, 0.114], [0.5, -0.4187, -0.0813], [-0.1687, -0.3313, 0.5]])
RGB = np.linalg.inv(YCC)
BINS = 8  # luminance bins of 32 levels, as PixelNoise


def manifest(split="train", images=None, conditions=None, variants=None) -> list:
    with open(os.path.join(PAIRS, "manifest.csv")) as f:
        rows = list(csv.DictReader(f))
    return [r for r in rows if (split == "all" or r["split"] == split)
            and (not images or r["image"] in images)
            and (not conditions or r["condition"] in conditions)
            and (not variants or r["variant"] in variants)]


def db(mse):
    return 10.0 * np.log10(255.0 ** 2 / mse)


def key(settings) -> str:
    return ",".join(str(int(v)) for v in settings)


class Server:
    """One engine behind a pipe: load a file (its profile measured as calmora-cli does), filter
    pixels with any sixteen settings, read the noise estimate and the automatic choice."""

    def __init__(self):
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.p = subprocess.Popen([SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        self.w = self.h = 0

    def _read(self, n):
        b = self.p.stdout.read(n)
        if len(b) != n:
            raise SystemExit("the filter server stopped")
        return b

    def _send(self, data: bytes):
        self.p.stdin.write(data)
        self.p.stdin.flush()

    def load(self, path: str) -> np.ndarray:
        b = path.encode()
        self._send(b"L" + struct.pack("<I", len(b)) + b)
        self.w, self.h = struct.unpack("<ii", self._read(8))
        if self.w == 0:
            raise SystemExit(f"cannot load {path}")
        rgb = np.frombuffer(self._read(self.w * self.h * 3), np.uint8).reshape(self.h, self.w, 3)
        self.profile = np.frombuffer(self._read(1004), np.uint8).copy()
        return rgb

    def filter(self, settings, rgb8: np.ndarray) -> np.ndarray:
        self._send(b"F" + struct.pack("<16i", *settings) + np.ascontiguousarray(rgb8, np.uint8).tobytes())
        return np.frombuffer(self._read(self.w * self.h * 3), np.uint8).reshape(self.h, self.w, 3)

    def noise(self) -> dict:
        self._send(b"N")
        grid = lambda: np.frombuffer(self._read(8 * BINS * 3), np.float64).reshape(BINS, 3).copy()
        variance = grid()
        deviation = struct.unpack("<d", self._read(8))[0]
        white, coloured = grid(), grid()
        spread = np.frombuffer(self._read(24), np.float64).copy()
        return {"variance": variance, "deviation": deviation, "white": white, "coloured": coloured,
                "spread": spread}

    def learned(self, folder: str) -> int:
        """Looks up a learned profile for the loaded file in a profile folder; found, 'filter' and
        'auto' use it from then on, and `self.profile` holds it. Returns the photos behind it
        (0: none)."""
        b = folder.encode()
        self._send(b"H" + struct.pack("<I", len(b)) + b)
        photos = struct.unpack("<i", self._read(4))[0]
        self.profile = np.frombuffer(self._read(1004), np.uint8).copy()
        return photos

    def auto(self, threads=1) -> dict:
        self._send(b"A" + struct.pack("<i", threads))
        untouched = struct.unpack("<d", self._read(8))[0]
        count = struct.unpack("<i", self._read(4))[0]
        candidates = []
        for _ in range(count):
            settings = struct.unpack("<16i", self._read(64))
            candidates.append((settings, struct.unpack("<d", self._read(8))[0]))
        chosen, filters = struct.unpack("<ii", self._read(8))
        return {"untouched": untouched, "candidates": candidates, "chosen": chosen,
                "filter": bool(filters)}

    def close(self):
        self._send(b"Q")
        self.p.wait()
