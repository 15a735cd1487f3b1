#!/usr/bin/python3
"""Where an 8-bit compact model's errors come from: the model quantised by
quantize.py's steps (the same options), then run by the real runtime on
held-out frames against the float original, in pieces:

- layers: each 8-bit convolution alone (every other one float);
- parts: every convolution, but only one part quantised at a time (the
  inputs, the weights, the outputs), the others float.

Prints one line per piece: mean and worst PSNR (dB), the share of values
off by more than 16 levels, the count off by more than 40 and the largest
difference, as quant_compare.py counts them. Asserts nothing.

Usage: quant_sensitivity.py --eval FRAME.f32 [--eval ...] [--mode layers|parts]
         [quantize.py options] FP32.onnx CALIBRATION.f32...
  e.g. with --stats from an earlier quantize.py run the calibration pass is
  not repeated."""

import argparse
import os
import sys
import tempfile

import numpy as np
import onnx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quant_compare  # noqa: E402
import quantize as q  # noqa: E402


def part_graph(chain, ranges, part):
    """Every inner convolution with only `part` ("in", "w" or "out") 8-bit."""
    b = q.Builder()
    x = "input"

    def qdq(t, lo_hi, name):
        s, z = q.qparams_u8(*lo_hi)
        sc, zp = b.const(name + "/s", s), b.const(name + "/z", z)
        return b.node("DequantizeLinear", [b.node("QuantizeLinear", [t, sc, zp], name + "/q"),
                                           sc, zp], name + "/dq")

    n = chain.count
    for i in range(n):
        inner = 0 < i < n - 1
        w = chain.weights[i]
        if inner and part == "w":
            ws, wq = q.weight_qparams(w)
            w = wq.astype(np.float64) * ws.reshape(-1, 1, 1, 1)
        xin = qdq(x, ranges[i][0], f"c{i}/in") if inner and part == "in" else x
        y = b.node("Conv", [xin, b.const(f"c{i}/w", w.astype(np.float32)),
                            b.const(f"c{i}/b", chain.biases[i].astype(np.float32))], f"c{i}",
                   kernel_shape=[3, 3], pads=[1, 1, 1, 1])
        if inner and part == "out":
            y = qdq(y, ranges[i][1], f"c{i}/out")
        if i == n - 1:
            return q.finish(chain, b, y)
        x = q.prelu_std(b, y, chain.slopes[i], f"p{i}")


def figures(model_run, refs, model, frames, h, w, work):
    path = os.path.join(work, "piece.onnx")
    onnx.save(model, path)
    psnrs, over16, over40, largest, total = [], 0, 0, 0, 0
    for ref, f in zip(refs, frames):
        got = quant_compare.run(model_run, path, f, h, w, os.path.join(work, "out.f32"))
        d = np.abs(ref.astype(np.int16) - got)
        psnrs.append(quant_compare.psnr(ref, got))
        over16 += int((d > 16).sum())
        over40 += int((d > 40).sum())
        largest = max(largest, int(d.max()))
        total += d.size
    return (f"mean {np.mean(psnrs):.2f} dB, worst {min(psnrs):.2f} dB, "
            f">16 levels {100 * over16 / total:.4f}%, >40 levels {over40}, max diff {largest}")


def main(argv):
    own = argparse.ArgumentParser(prog="quant_sensitivity.py", add_help=False)
    own.add_argument("--eval", action="append", required=True)
    own.add_argument("--mode", choices=("layers", "parts"), default="layers")
    mine, rest = own.parse_known_args(argv[1:])
    args = q.parser("quant_sensitivity.py", out=False).parse_args(rest)
    h, w = (int(v) for v in args.size.split("x"))
    with tempfile.TemporaryDirectory(prefix="quant_sensitivity.") as work:
        refs = [quant_compare.run(args.model_run, args.fp32, f, h, w,
                                  os.path.join(work, "out.f32")) for f in mine.eval]
        chain, ranges, float_convs = q.prepare(args, args.work or work)
        n = chain.count
        if mine.mode == "layers":
            for k in range(n):
                if k not in float_convs:
                    model = q.quant_graph(chain, ranges, set(range(n)) - {k})
                    print(f"layer {k} alone 8-bit: "
                          f"{figures(args.model_run, refs, model, mine.eval, h, w, work)}",
                          flush=True)
        else:
            for part, what in (("in", "inputs"), ("w", "weights"), ("out", "outputs")):
                model = part_graph(chain, ranges, part)
                print(f"only the {what} 8-bit: "
                      f"{figures(args.model_run, refs, model, mine.eval, h, w, work)}",
                      flush=True)


if __name__ == "__main__":
    try:
        main(sys.argv)
    except (q.Refused, OSError, ValueError, KeyError) as e:
        print(f"quant_sensitivity: {' '.join(str(e).split())}", file=sys.stderr)
        sys.exit(1)
