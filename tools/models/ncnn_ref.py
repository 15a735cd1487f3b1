"""A plain NumPy interpreter of ncnn models (text graph .param, weights .bin),
written from the format's rules alone and computing in float64: the yardstick
the converted ONNX models are checked against. Slow and simple on purpose.

    model = ncnn_ref.Model(param_path, bin_path)
    y = model.run(x)   # x: [3, H, W] floats, y: [C, OH, OW] float64
"""

import math

import numpy as np


class Model:
    def __init__(self, param_path, bin_path):
        with open(param_path) as f:
            rows = [line.split() for line in f if line.strip()]
        assert rows[0] == ["7767517"], "magic number"
        self.layers = []
        for row in rows[2:]:
            kind, name, n_in, n_out = row[0], row[1], int(row[2]), int(row[3])
            ins = row[4:4 + n_in]
            outs = row[4 + n_in:4 + n_in + n_out]
            params = {}
            for kv in row[4 + n_in + n_out:]:
                k, v = kv.split("=")
                k = int(k)
                if k <= -23300:
                    params[-23300 - k] = [float(t) for t in v.split(",")[1:]]
                else:
                    params[k] = float(v) if ("." in v or "e" in v or "E" in v) else int(v)
            self.layers.append((kind, name, ins, outs, params))
        with open(bin_path, "rb") as f:
            self.bin = f.read()
        self.at = 0
        self.weights = [self._load(kind, p) for kind, _, _, _, p in self.layers]
        assert self.at == len(self.bin), "weight bytes left over"

    def _bytes(self, n):
        assert self.at + n <= len(self.bin), "weight bytes missing"
        b = self.bin[self.at:self.at + n]
        self.at += n
        return b

    def _f32(self, n):
        return np.frombuffer(self._bytes(4 * n), "<f4").astype(np.float64)

    def _tagged(self, n):
        tag = int.from_bytes(self._bytes(4), "little")
        if tag == 0:
            return self._f32(n)
        assert tag == 0x01306B47, "unknown storage tag"
        raw = self._bytes((2 * n + 3) // 4 * 4)[:2 * n]
        return np.frombuffer(raw, "<f2").astype(np.float64)

    def _load(self, kind, p):
        if kind == "Convolution":
            out_c, kw = p[0], p[1]
            kh = p.get(11, kw)
            w = self._tagged(p[6]).reshape(out_c, -1, kh, kw)
            b = self._f32(out_c) if p.get(5, 0) else np.zeros(out_c)
            return w, b
        if kind == "PReLU":
            return self._f32(p.get(0, 0))
        return None

    def run(self, x):
        blobs = {}
        consumed = set()
        for (kind, name, ins, outs, p), w in zip(self.layers, self.weights):
            a = [blobs[b] for b in ins]
            consumed.update(ins)
            if kind == "Input":
                r = [np.asarray(x, dtype=np.float64)]
            elif kind == "Split":
                r = [a[0]] * len(outs)
            else:
                r = [OPS[kind](a, p, w)]
            blobs.update(zip(outs, r))
        final = [b for b in blobs if b not in consumed]
        assert len(final) == 1
        return blobs[final[0]]


def conv(a, p, w):
    x = a[0]
    weight, bias = w
    out_c, in_c, kh, kw = weight.shape
    dw = p.get(2, 1)
    dh = p.get(12, dw)
    sw = p.get(3, 1)
    sh = p.get(13, sw)
    pl = p.get(4, 0)
    pt = p.get(14, pl)
    pr = p.get(15, pl)
    pb = p.get(16, pt)
    xp = np.pad(x, ((0, 0), (pt, pb), (pl, pr)))
    oh = (xp.shape[1] - dh * (kh - 1) - 1) // sh + 1
    ow = (xp.shape[2] - dw * (kw - 1) - 1) // sw + 1
    y = np.zeros((out_c, oh * ow))
    for ky in range(kh):
        for kx in range(kw):
            y0, x0 = ky * dh, kx * dw
            tap = xp[:, y0:y0 + sh * (oh - 1) + 1:sh, x0:x0 + sw * (ow - 1) + 1:sw]
            # Contiguous operands keep the product on the BLAS path.
            tap = np.ascontiguousarray(tap).reshape(in_c, -1)
            y += np.ascontiguousarray(weight[:, :, ky, kx]) @ tap
    y = (y + bias[:, None]).reshape(out_c, oh, ow)
    act, ap = p.get(9, 0), p.get(10, [])
    if act == 1:
        y = np.maximum(y, 0)
    elif act == 2:
        y = np.where(y > 0, y, y * ap[0])
    elif act == 3:
        y = np.clip(y, ap[0], ap[1])
    elif act == 4:
        y = 1 / (1 + np.exp(-y))
    return y


def prelu(a, p, slopes):
    s = slopes.reshape(-1, 1, 1) if slopes.size > 1 else slopes[0]
    return np.where(a[0] > 0, a[0], a[0] * s)


def relu(a, p, w):
    return np.where(a[0] > 0, a[0], a[0] * p.get(0, 0.0))


def cubic_weights(t):
    """Weights of the four taps around a sample, coefficient -0.75."""
    A = -0.75
    t0, t1, t2 = t + 1, t, 1 - t
    w0 = A * t0 ** 3 - 5 * A * t0 ** 2 + 8 * A * t0 - 4 * A
    w1 = (A + 2) * t1 ** 3 - (A + 3) * t1 ** 2 + 1
    w2 = (A + 2) * t2 ** 3 - (A + 3) * t2 ** 2 + 1
    return [w0, w1, w2, 1 - w0 - w1 - w2]


def axis_matrix(n, out_n, mode, scale, align):
    """Matrix M [out_n, n] with out = M @ in along one axis."""
    m = np.zeros((out_n, n))
    for d in range(out_n):
        if mode == 1:  # nearest, from the corner, by the reciprocal scale
            s = min(int(np.float32(d) * np.float32(1.0 / np.float32(scale))), n - 1)
            m[d, s] = 1
            continue
        if align:
            f = np.float32(d * ((n - 1) / (out_n - 1)))
        else:
            f = np.float32((d + 0.5) * (n / out_n) - 0.5)
        s = math.floor(f)
        f = float(f) - s
        if mode == 2:
            if s < 0:
                s, f = 0, 0.0
            if s >= n - 1:
                s, f = n - 2, 1.0
            m[d, s] += 1 - f
            m[d, s + 1] += f
            continue
        # Bicubic: taps s-1..s+2; near the border the taps are shifted inside
        # the frame and the weights of the taps that fell outside are folded
        # onto the edge pixel.
        c = cubic_weights(f)
        if s <= -1:
            s, c = 1, [1 - c[3], c[3], 0, 0]
        if s == 0:
            s, c = 1, [c[0] + c[1], c[2], c[3], 0]
        if s == n - 2:
            s, c = n - 3, [0, c[0], c[1], c[2] + c[3]]
        if s >= n - 1:
            s, c = n - 3, [0, 0, c[0], 1 - c[0]]
        for k in range(4):
            m[d, s - 1 + k] += c[k]
    return m


def interp(a, p, w):
    x = a[0]
    mode, hs, ws, align = p.get(0, 0), p.get(1, 1.0), p.get(2, 1.0), p.get(6, 0)
    _, h, wd = x.shape
    oh, ow = int(np.float32(h) * np.float32(hs)), int(np.float32(wd) * np.float32(ws))
    my = axis_matrix(h, oh, mode, hs, align)
    mx = axis_matrix(wd, ow, mode, ws, align)
    return my @ x @ mx.T


def pixel_shuffle(a, p, w):
    x = a[0]
    r, mode = p[0], p.get(1, 0)
    c, h, wd = x.shape
    oc = c // (r * r)
    y = np.zeros((oc, h * r, wd * r))
    for i in range(r):
        for j in range(r):
            for ch in range(oc):
                src = ch * r * r + i * r + j if mode == 0 else (i * r + j) * oc + ch
                y[ch, i::r, j::r] = x[src]
    return y


def binary(a, p, w):
    op = p.get(0, 0)
    x, b = (a[0], p.get(2, 0.0)) if p.get(1, 0) else (a[0], a[1])
    return {0: lambda: x + b, 1: lambda: x - b, 2: lambda: x * b, 3: lambda: x / b,
            4: lambda: np.maximum(x, b), 5: lambda: np.minimum(x, b), 6: lambda: x ** b,
            7: lambda: b - x, 8: lambda: b / x}[op]()


def eltwise(a, p, w):
    op, coeffs = p.get(0, 1), p.get(1, [1.0] * len(a))
    if op == 0:
        return np.prod(a, axis=0)
    if op == 2:
        return np.max(a, axis=0)
    return sum(c * x for c, x in zip(coeffs, a))


def concat(a, p, w):
    return np.concatenate(a, axis=p.get(0, 0))


OPS = {"Convolution": conv, "PReLU": prelu, "ReLU": relu, "Interp": interp,
       "PixelShuffle": pixel_shuffle, "BinaryOp": binary, "Eltwise": eltwise, "Concat": concat}
