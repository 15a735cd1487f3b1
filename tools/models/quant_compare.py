#!/usr/bin/python3
"""Compares a quantised model with its float original on frames, both run by
the real runtime (model_run) and turned into bytes as the engine does
(clamped, rounded): per frame PSNR (dB, over all RGB values), then the mean
and worst PSNR, the share of values off by more than 16 levels and the
largest difference, and whether that meets the bar of the fast variants.

Usage: quant_compare.py [--crop PNG] [--cache DIR] MODEL_RUN FP32.onnx INT8.onnx H W FRAME.f32...
  --crop writes a side-by-side crop (float | 8-bit, 4x enlarged by nearest)
  around the worst value of the worst frame; --cache keeps the float
  model's outputs between runs.
Prints one line per frame, then "summary: ..." and "bar: met" or
"bar: missed (...)"."""

import argparse
import hashlib
import os
import subprocess
import sys
import tempfile

import numpy as np

BAR_MEAN, BAR_WORST, BAR_OVER16, BAR_MAX = 44.0, 41.0, 1e-4, 40


def run(model_run, model, frame, h, w, out):
    subprocess.run([model_run, model, frame, str(h), str(w), out], check=True,
                   capture_output=True)
    y = np.fromfile(out, np.float32)
    s = round((y.size / (3 * h * w)) ** 0.5)
    return np.clip(np.rint(y.reshape(3, h * s, w * s) * 255), 0, 255).astype(np.uint8)


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b) ** 2)
    return 99.0 if mse == 0 else 10 * np.log10(255 ** 2 / mse)


def write_crop(path, ref, got, size=48):
    """float | quantised, around the largest difference, 4x enlarged."""
    d = np.abs(ref.astype(np.int16) - got).max(axis=0)
    y, x = np.unravel_index(np.argmax(d), d.shape)
    y0 = int(np.clip(y - size // 2, 0, d.shape[0] - size))
    x0 = int(np.clip(x - size // 2, 0, d.shape[1] - size))
    parts = [a[:, y0:y0 + size, x0:x0 + size] for a in (ref, got)]
    gap = np.full((3, size, 2), 255, np.uint8)
    img = np.concatenate([parts[0], gap, parts[1]], axis=2).transpose(1, 2, 0)
    img = img.repeat(4, axis=0).repeat(4, axis=1)
    raw = path + ".rgb"
    img.tofile(raw)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s",
                    f"{img.shape[1]}x{img.shape[0]}", "-i", raw, "-frames:v", "1", path],
                   check=True)
    os.unlink(raw)
    return y, x


def main(argv):
    ap = argparse.ArgumentParser(prog="quant_compare.py")
    ap.add_argument("--crop")
    ap.add_argument("--cache")
    ap.add_argument("model_run")
    ap.add_argument("fp32")
    ap.add_argument("int8")
    ap.add_argument("h", type=int)
    ap.add_argument("w", type=int)
    ap.add_argument("frames", nargs="+")
    a = ap.parse_args(argv[1:])
    key = hashlib.sha256(open(a.fp32, "rb").read()).hexdigest()[:16]
    over16 = total = 0
    worst_max, rows = 0, []
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.f32")
        for f in a.frames:
            cached = a.cache and os.path.join(a.cache, f"{key}-{os.path.basename(f)}.u8")
            if cached and os.path.exists(cached):
                ref = np.load(cached + ".npy")
            else:
                ref = run(a.model_run, a.fp32, f, a.h, a.w, out)
                if cached:
                    os.makedirs(a.cache, exist_ok=True)
                    np.save(cached + ".npy", ref)
            got = run(a.model_run, a.int8, f, a.h, a.w, out)
            d = np.abs(ref.astype(np.int16) - got)
            p = psnr(ref, got)
            over16 += int((d > 16).sum())
            total += d.size
            worst_max = max(worst_max, int(d.max()))
            rows.append((p, f, ref, got))
            print(f"{os.path.basename(f)}: {p:.2f} dB, max diff {int(d.max())}, "
                  f">16: {int((d > 16).sum())}", flush=True)
    mean = float(np.mean([r[0] for r in rows]))
    worst = min(rows, key=lambda r: r[0])
    share = over16 / total
    print(f"summary: {len(rows)} frames, mean {mean:.2f} dB, worst {worst[0]:.2f} dB "
          f"({os.path.basename(worst[1])}), >16 levels {100 * share:.4f}%, max diff {worst_max}")
    if a.crop:
        y, x = write_crop(a.crop, worst[2], worst[3])
        print(f"crop: {a.crop} around ({x}, {y}) of {os.path.basename(worst[1])}")
    missed = []
    if mean < BAR_MEAN:
        missed.append(f"mean {BAR_MEAN - mean:.2f} dB short")
    if worst[0] < BAR_WORST:
        missed.append(f"worst {BAR_WORST - worst[0]:.2f} dB short")
    if share > BAR_OVER16:
        missed.append(f">16 levels {100 * share:.4f}% > 0.01%")
    if worst_max > BAR_MAX:
        missed.append(f"max diff {worst_max} > {BAR_MAX}")
    print("bar: met" if not missed else f"bar: missed ({'; '.join(missed)})")


if __name__ == "__main__":
    main(sys.argv)
