#!/usr/bin/python3
"""Quantises a converted compact upscaler (a chain of 3x3 convolutions with
PRelu between them, then a pixel shuffle plus the nearest-enlarged input, as
ncnn2onnx.py writes `anime-video` and `natural`) to 8-bit with standard ONNX
operators only, so that any runtime can run the file:

- every quantised Conv reads DequantizeLinear(QuantizeLinear(x)) with u8
  activations (one scale and zero point per tensor) and DequantizeLinear of
  s8 weights (symmetric, one scale per output channel) and of an int32 bias
  (scale = activation scale x weight scale), and its output is quantised
  again, which is the pattern runtimes fuse into one 8-bit convolution;
- PRelu between them is written x + (a - 1) * min(x, 0) (Min, Mul, Add);
- the first and the last convolution may stay float (--float).

Before quantising it equalises the channels between each pair of
convolutions, which is exact in float: PRelu(x / s) = PRelu(x) / s for s > 0,
so output channel c of one convolution is divided by s_c and input channel c
of the next multiplied by it, with s_c chosen so that the channel's
activation range and the next convolution's weight range meet halfway.
Activation ranges come from calibration frames run through the float model
by model_run (--all-outputs): the extremes (minmax), a percentile of the
values (e.g. --clip 99.999, what quant_quality.sh uses), or where the
quantisation error over them is least (mse). Bias correction
(--bias-correction) moves each convolution's bias by the mean error its
output shows, per channel, in one quantised pass; measured, it costs 2-3 dB
on anime-video (the earlier layers' corrections are counted twice), so it
is off by default.

Usage: quantize.py [options] FP32.onnx OUT.onnx FRAME.f32...
  each FRAME.f32 holds float32 [3, H, W] (RGB in 0..1) of size --size HxW.
Options: --model-run PATH (required), --work DIR (scratch, default a
temporary folder), --float first,last (convolutions kept float; default
first,last), --clip minmax|mse|PERCENTILE (default minmax: the calibration
extremes), --clip-out (the same for convolution outputs; default as
--clip), --no-equalise, --equalise activations|both|weights (what channel
c's range is balanced against the next weights' with: the PRelu output,
the larger of it and the convolution output, or the convolution's own
weights; default activations), --alpha A (how far: s_c = range_c^A /
weight_range_c^(1-A); default 0.5), --shared-grid (a convolution's output
and the next one's input share one grid),
--equalise-percentile P (a channel's range is its P-th percentile of
absolute values rather than its extreme),
--bias-correction, --prelu std|concat (PRelu between two 8-bit
convolutions in float, or kept in 8 bits by doubling the next one's
input channels: see quant_graph), --stats FILE (keeps the float model's calibration
statistics in FILE, read back when it exists: for trying options).
Prints one line per step on stdout; on error one line "quantize: <message>"
on stderr and exit status 1."""

import argparse
import os
import pickle
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

SAMPLE = 50_000  # calibration values kept per tensor and frame
RNG_SEED = 7


class Refused(Exception):
    pass


class Chain:
    """The compact network read from a converted model: its convolutions in
    order, the PRelu slopes between them and the nodes after the last."""

    def __init__(self, model):
        g = model.graph
        inits = {t.name: numpy_helper.to_array(t) for t in g.initializer}
        nodes = list(g.node)
        by_input = {}
        for n in nodes:
            for i in n.input:
                by_input.setdefault(i, []).append(n)
        self.weights, self.biases, self.slopes = [], [], []
        self.chain_names = set()
        x = "input"
        consumers = [n for n in by_input.get(x, []) if n.op_type == "Conv"]
        if len(consumers) != 1:
            raise Refused("the input does not feed one convolution")
        conv = consumers[0]
        convs = []
        while True:
            convs.append(conv.name)
            attrs = {a.name: helper.get_attribute_value(a) for a in conv.attribute}
            if list(attrs.get("kernel_shape", [])) != [3, 3] or \
                    list(attrs.get("pads", [])) != [1, 1, 1, 1] or \
                    list(attrs.get("dilations", [1, 1])) != [1, 1] or attrs.get("group", 1) != 1:
                raise Refused(f"{conv.name}: not a plain 3x3 convolution")
            if len(conv.input) != 3:
                raise Refused(f"{conv.name}: no bias")
            self.weights.append(inits[conv.input[1]].astype(np.float64))
            self.biases.append(inits[conv.input[2]].astype(np.float64))
            act = self.activation(conv, by_input, inits)
            if act is None:
                break
            slope, out, names = act
            if slope.size != self.weights[-1].shape[0]:
                raise Refused(f"{conv.name}: one slope per channel expected")
            self.slopes.append(slope)
            self.chain_names |= names
            after = by_input.get(out, [])
            if len(after) != 1 or after[0].op_type != "Conv":
                raise Refused(f"{conv.name}: its activation is not followed by one convolution")
            conv = after[0]
        # The rest (pixel shuffle, the enlarged input added, a resize written
        # as a convolution) is kept as is; it reads the last convolution's
        # output.
        self.last_output = conv.output[0]
        self.chain_names |= set(convs)
        self.tail = [n for n in nodes if n.name not in self.chain_names]
        used = {i for n in self.tail for i in n.input}
        self.tail_inits = [t for t in g.initializer if t.name in used]
        self.opset = max(o.version for o in model.opset_import if o.domain in ("", "ai.onnx"))
        self.doc = model.doc_string
        # The receptive radius still holds: 8 bits change no convolution's
        # reach (crops measured exact with crop_check at every scale).
        self.props = {p.key: p.value for p in model.metadata_props}

    @staticmethod
    def activation(conv, by_input, inits):
        """The PRelu after conv, as PRelu or as x + (a - 1) * min(x, 0):
        (per-channel slopes, its output, its node names), or None."""
        users = by_input.get(conv.output[0], [])
        kinds = sorted(n.op_type for n in users)
        if kinds == ["PRelu"]:
            p = users[0]
            return inits[p.input[1]].astype(np.float64).reshape(-1), p.output[0], {p.name}
        if kinds != ["Add", "Min"]:
            return None
        mn = next(n for n in users if n.op_type == "Min")
        add = next(n for n in users if n.op_type == "Add")
        mul = by_input.get(mn.output[0], [])
        zero = inits.get(mn.input[1])
        if len(mul) != 1 or mul[0].op_type != "Mul" or zero is None or zero.any() or \
                mul[0].output[0] not in add.input:
            return None
        am1 = inits.get(mul[0].input[1])
        if am1 is None:
            return None
        return am1.astype(np.float64).reshape(-1) + 1, add.output[0], \
            {mn.name, mul[0].name, add.name}

    @property
    def count(self):
        return len(self.weights)


# ---------------------------------------------------------------- graphs

class Builder:
    def __init__(self):
        self.nodes, self.inits = [], []

    def const(self, name, array):
        self.inits.append(numpy_helper.from_array(np.asarray(array), name))
        return name

    def node(self, op, inputs, output, **attrs):
        self.nodes.append(helper.make_node(op, inputs, [output], name=output, **attrs))
        return output


def prelu_std(b, x, slope, name):
    """x + (a - 1) * min(x, 0), per channel: the same values as PRelu."""
    zero = b.const(name + "/zero", np.float32(0))
    am1 = b.const(name + "/a-1", (slope - 1).astype(np.float32).reshape(-1, 1, 1))
    m = b.node("Min", [x, zero], name + "/min")
    p = b.node("Mul", [m, am1], name + "/mul")
    return b.node("Add", [x, p], name)


def finish(chain, b, x, extra_outputs=()):
    b.nodes.append(helper.make_node("Identity", [x], [chain.last_output],
                                    name=chain.last_output + "/id"))
    b.nodes.extend(chain.tail)
    b.inits.extend(chain.tail_inits)
    outputs = [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 3, "oh", "ow"])]
    outputs += [helper.make_tensor_value_info(t, TensorProto.FLOAT, [1, "c", "h", "w"])
                for t in extra_outputs]
    graph = helper.make_graph(
        b.nodes, "quantised",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, "h", "w"])],
        outputs, initializer=b.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", chain.opset)],
                              producer_name="quantize", doc_string=chain.doc)
    model.ir_version = 8
    helper.set_model_props(model, chain.props)
    onnx.checker.check_model(model)
    return model


def float_graph(chain, probes=False):
    """The chain in float, PRelu written with standard ops; with probes,
    every convolution's input and output are outputs too."""
    b = Builder()
    x, extra = "input", []
    for i in range(chain.count):
        w = b.const(f"c{i}/w", chain.weights[i].astype(np.float32))
        bias = b.const(f"c{i}/b", chain.biases[i].astype(np.float32))
        y = b.node("Conv", [x, w, bias], f"c{i}", kernel_shape=[3, 3], pads=[1, 1, 1, 1])
        if probes:
            extra += [x, y] if i else [y]
        if i == chain.count - 1:
            return finish(chain, b, y, extra)
        x = prelu_std(b, y, chain.slopes[i], f"p{i}")


def qparams_u8(lo, hi):
    """Scale and zero point of u8 covering [lo, hi] (which holds 0)."""
    lo, hi = min(lo, 0.0), max(hi, 0.0)
    scale = max(hi - lo, 1e-8) / 255
    zp = int(np.clip(np.round(-lo / scale), 0, 255))
    return np.float32(scale), np.uint8(zp)


def weight_qparams(w):
    """Per output channel symmetric s8 scales and the quantised weights."""
    amax = np.abs(w).reshape(w.shape[0], -1).max(axis=1)
    scale = (np.maximum(amax, 1e-12) / 127).astype(np.float32)
    q = np.clip(np.round(w / scale.reshape(-1, 1, 1, 1)), -127, 127).astype(np.int8)
    return scale, q


def concat_weights(w, slope):
    """The weights of a convolution reading [max(x, 0), min(x, 0)] (2C
    channels) that give what w gives on PRelu(x) = max(x, 0) + a * min(x,
    0). (Reading [x, min(x, 0)] with a - 1 instead costs 1.4 dB: the larger
    |a - 1| widens each output channel's weight scale.)"""
    return np.concatenate([w, w * slope.reshape(1, -1, 1, 1)], axis=1)


def quant_graph(chain, ranges, float_convs, probes=False, prelu="std"):
    """ranges[i] = ((lo, hi) of conv i's input, (lo, hi) of its output).
    With prelu "concat", the PRelu between two 8-bit convolutions stays in
    8 bits: the next convolution reads Max(q, zero point) and Min(q, zero
    point) of the u8 output q, which are max(x, 0) and min(x, 0) on the same
    grid, side by side (Concat), with its weights for the second half
    multiplied by a (concat_weights).
    That doubles its input channels but leaves no float work or layout
    change between the convolutions, and the negative side is not rounded
    twice. The next convolution's input grid is then this one's output
    grid."""
    b = Builder()
    x, extra = "input", []
    cat = None  # conv i's input as [max(q, z), min(q, z)]: (u8 tensor, its grid's name)

    def qdq(t, lo_hi, name):
        s, z = qparams_u8(*lo_hi)
        sc, zp = b.const(name + "/s", s), b.const(name + "/z", z)
        q = b.node("QuantizeLinear", [t, sc, zp], name + "/q")
        return b.node("DequantizeLinear", [q, sc, zp], name + "/dq"), float(s)

    for i in range(chain.count):
        if i in float_convs:
            w = b.const(f"c{i}/w", chain.weights[i].astype(np.float32))
            bias = b.const(f"c{i}/b", chain.biases[i].astype(np.float32))
            y = b.node("Conv", [x, w, bias], f"c{i}", kernel_shape=[3, 3], pads=[1, 1, 1, 1])
            y_out = y
        else:
            w = chain.weights[i]
            if cat is None:
                xd, sa = qdq(x, ranges[i][0], f"c{i}/in")
            else:
                xd = b.node("DequantizeLinear", [cat[0], cat[1] + "/s", cat[1] + "/z"],
                            f"c{i}/in/dq")
                sa = float(qparams_u8(*ranges[i - 1][1])[0])
                w = concat_weights(w, chain.slopes[i - 1])
            ws, wq = weight_qparams(w)
            wd = b.node("DequantizeLinear", [b.const(f"c{i}/wq", wq), b.const(f"c{i}/ws", ws),
                                             b.const(f"c{i}/wz", np.zeros(len(ws), np.int8))],
                        f"c{i}/wdq", axis=0)
            bs = (np.float32(sa) * ws).astype(np.float32)
            bq = np.round(chain.biases[i] / bs.astype(np.float64)).astype(np.int32)
            bd = b.node("DequantizeLinear", [b.const(f"c{i}/bq", bq), b.const(f"c{i}/bs", bs),
                                             b.const(f"c{i}/bz", np.zeros(len(bs), np.int32))],
                        f"c{i}/bdq", axis=0)
            y = b.node("Conv", [xd, wd, bd], f"c{i}", kernel_shape=[3, 3], pads=[1, 1, 1, 1])
            cat = None
            if prelu == "concat" and i + 1 < chain.count and i + 1 not in float_convs:
                s, z = qparams_u8(*ranges[i][1])
                name = f"c{i}/out"
                q = b.node("QuantizeLinear", [y, b.const(name + "/s", s), b.const(name + "/z", z)],
                           name + "/q")
                mx = b.node("Max", [q, name + "/z"], f"p{i}/max")
                m = b.node("Min", [q, name + "/z"], f"p{i}/min")
                cat = (b.node("Concat", [mx, m], f"p{i}", axis=1), name)
                if probes:
                    extra.append(y)
                continue
            y_out, _ = qdq(y, ranges[i][1], f"c{i}/out")
        if probes:
            extra.append(y)
        if i == chain.count - 1:
            return finish(chain, b, y_out, extra)
        x = prelu_std(b, y_out, chain.slopes[i], f"p{i}")


# ------------------------------------------------------------ calibration

def run_probes(model, frames, size, model_run, work, visit):
    """Runs model on every frame; visit(frame_index, output_index, array
    [C, H, W]) for every extra output (index 0 is the first probe)."""
    path = os.path.join(work, "probe.onnx")
    onnx.save(model, path)
    h, w = size
    n_extra = len(model.graph.output) - 1
    for f, frame in enumerate(frames):
        out = os.path.join(work, "out.f32")
        r = subprocess.run([model_run, "--all-outputs", path, frame, str(h), str(w), out],
                           capture_output=True, text=True)
        if r.returncode:
            raise Refused(f"model_run failed: {r.stderr.strip()}")
        for k in range(n_extra):
            p = f"{out}.{k + 1}"
            a = np.fromfile(p, np.float32)
            os.unlink(p)
            visit(f, k, a.reshape(-1, h, w))
        os.unlink(out)


class Stats:
    """Per tensor: per-channel absolute maxima and means, extremes per
    channel and a sample of values with their channels."""

    def __init__(self, n):
        self.cmax, self.cmin, self.cmean = [None] * n, [None] * n, [None] * n
        self.sample = [[] for _ in range(n)]
        self.frames = 0
        self.rng = np.random.default_rng(RNG_SEED)

    def __call__(self, f, k, a):
        flat = a.reshape(a.shape[0], -1)
        hi, lo, mean = flat.max(axis=1), flat.min(axis=1), flat.mean(axis=1, dtype=np.float64)
        if self.cmax[k] is None:
            self.cmax[k], self.cmin[k], self.cmean[k] = hi, lo, mean
        else:
            self.cmax[k] = np.maximum(self.cmax[k], hi)
            self.cmin[k] = np.minimum(self.cmin[k], lo)
            self.cmean[k] = self.cmean[k] + mean
        self.frames = max(self.frames, f + 1)
        idx = self.rng.integers(0, flat.size, SAMPLE)
        self.sample[k].append((a.reshape(-1)[idx], (idx // flat.shape[1]).astype(np.int16)))

    def scale_channels(self, k, s):
        """The same statistics for the tensor divided by s per channel."""
        self.cmax[k], self.cmin[k] = self.cmax[k] / s, self.cmin[k] / s
        self.cmean[k] = self.cmean[k] / s
        self.sample[k] = [(v / s[c], c) for v, c in self.sample[k]]

    def values(self, k):
        return np.concatenate([v for v, _ in self.sample[k]])

    def mean(self, k):
        return self.cmean[k] / self.frames


class StatsUnpickler(pickle.Unpickler):
    """Reads kept statistics whichever script wrote them (quantize.py run
    as a program pickles its classes under __main__)."""

    def find_class(self, module, name):
        return Stats if name == "Stats" else super().find_class(module, name)


def mse_range(values, lo, hi):
    """The clipping range of u8 with the least squared error on values,
    searched from [lo, hi] inwards; the extremes themselves are candidates."""
    best, best_err = (lo, hi), None
    for fl in (1.0, 0.8, 0.6, 0.45, 0.3):
        for fh in (1.0, 0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3, 0.22, 0.16):
            a, b = lo * fl, hi * fh
            s, z = qparams_u8(a, b)
            q = np.clip(np.round(values / s) + int(z), 0, 255)
            err = float(np.mean(((q - int(z)) * s - values) ** 2))
            if best_err is None or err < best_err:
                best, best_err = (a, b), err
    return best


def equalise(chain, st, weights_only=False, alpha=0.5, pct=None, both=False):
    """Divides conv i's output channels by s and multiplies conv i+1's input
    channels by s, s meeting the activation range and the next weights'
    range halfway; the statistics follow exactly. With both, a channel's
    range is the larger of the convolution's output (before PRelu, whose
    negative side is often the wider) and the PRelu output, since both are
    quantised."""
    for i in range(chain.count - 1):
        w2 = chain.weights[i + 1]
        wr = np.abs(w2).transpose(1, 0, 2, 3).reshape(w2.shape[1], -1).max(axis=1)
        x = 2 * i + 1  # probe order: y0, x1, y1, x2, y2, ...
        if weights_only:  # the two convolutions' weight ranges instead
            w1 = chain.weights[i]
            act = np.abs(w1).reshape(w1.shape[0], -1).max(axis=1)
        elif pct:  # a high percentile per channel, not its rare extreme
            v = np.abs(np.concatenate([a for a, _ in st.sample[x]]))
            c = np.concatenate([b for _, b in st.sample[x]])
            act = np.array([np.percentile(v[c == k], pct) if (c == k).any() else 1e-6
                            for k in range(w2.shape[1])])
            act = np.maximum(act, 1e-6)
        else:
            act = np.maximum(np.maximum(st.cmax[x], -st.cmin[x]), 1e-6)
            if both:
                act = np.maximum(act, np.maximum(st.cmax[x - 1], -st.cmin[x - 1]))
        s = act ** alpha / np.maximum(wr, 1e-12) ** (1 - alpha)
        s = s / np.exp(np.mean(np.log(s)))  # keep the overall magnitude
        chain.weights[i] /= s.reshape(-1, 1, 1, 1)
        chain.biases[i] /= s
        chain.weights[i + 1] = w2 * s.reshape(1, -1, 1, 1)
        st.scale_channels(x, s)
        st.scale_channels(2 * i, s)


def calibrate(chain, frames, size, args, work, float_convs):
    n = chain.count
    if args.stats and os.path.exists(args.stats):
        with open(args.stats, "rb") as f:
            st = StatsUnpickler(f).load()
    else:
        st = Stats(2 * n - 1)
        run_probes(float_graph(chain, probes=True), frames, size, args.model_run, work, st)
        if args.stats:
            with open(args.stats + ".tmp", "wb") as f:
                pickle.dump(st, f)
            os.replace(args.stats + ".tmp", args.stats)
    if not args.no_equalise:
        equalise(chain, st, args.equalise == "weights", args.alpha, args.equalise_percentile,
                 args.equalise == "both")
        print("quantize: channels equalised")
    ranges = []
    for i in range(n):
        def rng(k):
            lo, hi = float(st.cmin[k].min()), float(st.cmax[k].max())
            clip = args.clip_out if k % 2 == 0 and args.clip_out else args.clip
            if clip == "minmax":
                return lo, hi
            if clip == "mse":
                return mse_range(st.values(k), lo, hi)
            q = float(clip)  # a percentile of the calibration values
            v = st.values(k)
            return float(np.percentile(v, 100 - q)), float(np.percentile(v, q))
        x_range = (0.0, 1.0) if i == 0 else rng(2 * i - 1)
        ranges.append((x_range, rng(2 * i)))
    if args.shared_grid:
        share_grids(ranges, float_convs)
    return ranges, st


def share_grids(ranges, float_convs):
    """Gives each quantised convolution's output the grid of the next one's
    input (the union of both ranges): PRelu keeps positive values, so they
    are quantised again without any loss and only the negative side is
    rounded twice."""
    for i in range(len(ranges) - 1):
        if i not in float_convs and i + 1 not in float_convs:
            (lo1, hi1), (lo2, hi2) = ranges[i][1], ranges[i + 1][0]
            u = (min(lo1, lo2), max(hi1, hi2))
            ranges[i] = (ranges[i][0], u)
            ranges[i + 1] = (u, ranges[i + 1][1])


def bias_correction(chain, ranges, float_convs, st, frames, size, args, work):
    """Moves every quantised convolution's bias by the mean per-channel
    difference between its output in the quantised model and in the float
    one on the calibration frames (one pass for all)."""
    got = Stats(chain.count)
    run_probes(quant_graph(chain, ranges, float_convs, probes=True, prelu=args.prelu), frames, size,
               args.model_run, work, got)
    for i in range(chain.count):
        if i not in float_convs:
            chain.biases[i] -= got.mean(i) - st.mean(2 * i)


def weight_bias_correction(chain, float_convs, st, concat=False):
    """Moves each quantised convolution's bias by the mean its output gains
    from the rounding of its weights alone: -(Wq - W) . E[x], with E[x] per
    input channel from the float calibration (borders aside). With concat
    (quant_graph's prelu "concat"), a convolution after another 8-bit one
    reads [max(y, 0), min(y, 0)] of the previous output y."""
    for i in range(1, chain.count):
        if i in float_convs:
            continue
        w, mean = chain.weights[i], st.mean(2 * i - 1)
        if concat and i - 1 not in float_convs:
            w = concat_weights(w, chain.slopes[i - 1])
            neg = negative_mean(st, 2 * i - 2, w.shape[1] // 2)
            mean = np.concatenate([st.mean(2 * i - 2) - neg, neg])
        scale, q = weight_qparams(w)
        dw = q.astype(np.float64) * scale.reshape(-1, 1, 1, 1) - w
        chain.biases[i] -= dw.sum(axis=(2, 3)) @ mean


def negative_mean(st, k, channels):
    """The per-channel mean of min(v, 0) over tensor k's sampled values."""
    v = np.concatenate([a for a, _ in st.sample[k]])
    c = np.concatenate([b for _, b in st.sample[k]]).astype(np.int64)
    total = np.bincount(c, np.minimum(v, 0), minlength=channels)
    return total / np.maximum(np.bincount(c, minlength=channels), 1)


def parser(prog="quantize.py", out=True):
    ap = argparse.ArgumentParser(prog=prog)
    ap.add_argument("fp32")
    if out:
        ap.add_argument("out")
    ap.add_argument("frames", nargs="+")
    ap.add_argument("--size", required=True)
    ap.add_argument("--model-run", required=True)
    ap.add_argument("--work")
    ap.add_argument("--float", default="first,last")
    ap.add_argument("--clip", default="minmax")
    ap.add_argument("--clip-out")
    ap.add_argument("--alpha", type=float, default=0.5)
    ap.add_argument("--equalise-percentile", type=float)
    ap.add_argument("--equalise", choices=("activations", "both", "weights"), default="activations")
    ap.add_argument("--shared-grid", action="store_true")
    ap.add_argument("--no-equalise", action="store_true")
    ap.add_argument("--bias-correction", action="store_true")
    ap.add_argument("--stats")
    ap.add_argument("--weight-bias-correction", action="store_true")
    ap.add_argument("--prelu", choices=("std", "concat"), default="std")
    return ap


def prepare(args, work):
    """The chain with every step of args applied, its activation ranges and
    the convolutions kept float."""
    h, w = (int(v) for v in args.size.split("x"))
    chain = Chain(onnx.load(args.fp32))
    names = {"first": 0, "last": chain.count - 1}
    float_convs = set()
    for item in filter(None, args.float.split(",")):
        float_convs.add(names[item] if item in names else int(item))
    ranges, st = calibrate(chain, args.frames, (h, w), args, work, float_convs)
    if args.weight_bias_correction:
        weight_bias_correction(chain, float_convs, st, args.prelu == "concat")
        print("quantize: weight rounding's bias corrected")
    if args.bias_correction:
        bias_correction(chain, ranges, float_convs, st, args.frames, (h, w), args, work)
        print("quantize: biases corrected")
    return chain, ranges, float_convs


def main(argv):
    args = parser().parse_args(argv[1:])
    work = args.work or tempfile.mkdtemp(prefix="quantize.")
    try:
        os.makedirs(work, exist_ok=True)
        chain, ranges, float_convs = prepare(args, work)
        model = quant_graph(chain, ranges, float_convs, prelu=args.prelu)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    tmp = args.out + ".tmp"
    onnx.save(model, tmp)
    os.replace(tmp, args.out)
    print(f"quantize: {args.out}: {chain.count} convolutions, float: "
          f"{sorted(float_convs) or 'none'}")


if __name__ == "__main__":
    try:
        main(sys.argv)
    except (Refused, OSError, ValueError, KeyError) as e:
        print(f"quantize: {' '.join(str(e).split())}", file=sys.stderr)
        sys.exit(1)
