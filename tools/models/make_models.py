#!/usr/bin/python3
"""Writes the small deterministic ONNX models that the tests, the demo and the
benchmarks run. Usage: make_models.py OUT_DIR"""

import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17


def save(graph, out_dir, name, props=None):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 8
    if props:
        helper.set_model_props(model, props)
    onnx.checker.check_model(model)
    onnx.save(model, os.path.join(out_dir, name))


def nearest_2x(input_shape, output_shape, name="nn2x", dtype_out=TensorProto.FLOAT, factor=2):
    """Planar [1, 3, h, w] -> exact nearest-neighbour enlargement by `factor`."""
    scales = numpy_helper.from_array(np.array([1, 1, factor, factor], dtype=np.float32), "scales")
    nodes = [helper.make_node("Resize", ["input", "", "scales"], ["up"], mode="nearest",
                              coordinate_transformation_mode="asymmetric", nearest_mode="floor")]
    if dtype_out == TensorProto.FLOAT:
        nodes[0].output[0] = "output"
    else:
        nodes.append(helper.make_node("Cast", ["up"], ["output"], to=dtype_out))
    return helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, input_shape)],
        [helper.make_tensor_value_info("output", dtype_out, output_shape)],
        initializer=[scales])


def conv_stack(name, layers, channels, shape_h, shape_w, seed):
    """3x3 convolutions at input resolution, then a 2x pixel shuffle, plus a
    nearest 2x skip so the output stays near the input: a real receptive
    field for seam tests and a realistic cost for benchmarks."""
    rng = np.random.default_rng(seed)
    inits, nodes = [], []
    prev, prev_c = "input", 3
    for i in range(layers):
        out_c = channels if i < layers - 1 else 12
        w = (rng.standard_normal((out_c, prev_c, 3, 3)) * (0.5 / np.sqrt(prev_c * 9))).astype(np.float32)
        b = np.zeros(out_c, dtype=np.float32)
        inits += [numpy_helper.from_array(w, f"w{i}"), numpy_helper.from_array(b, f"b{i}")]
        nodes.append(helper.make_node("Conv", [prev, f"w{i}", f"b{i}"], [f"c{i}"], pads=[1, 1, 1, 1]))
        prev = f"c{i}"
        if i < layers - 1:
            nodes.append(helper.make_node("Relu", [prev], [f"r{i}"]))
            prev = f"r{i}"
        prev_c = out_c
    nodes.append(helper.make_node("DepthToSpace", [prev], ["detail"], blocksize=2, mode="CRD"))
    inits.append(numpy_helper.from_array(np.array([1, 1, 2, 2], dtype=np.float32), "scales"))
    nodes.append(helper.make_node("Resize", ["input", "", "scales"], ["base"], mode="nearest",
                                  coordinate_transformation_mode="asymmetric", nearest_mode="floor"))
    nodes.append(helper.make_node("Add", ["base", "detail"], ["output"]))
    out_h = shape_h if isinstance(shape_h, str) else 2 * shape_h
    out_w = shape_w if isinstance(shape_w, str) else 2 * shape_w
    return helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, shape_h, shape_w])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT,
                                       [1, 3, out_h if isinstance(out_h, int) else "oh",
                                        out_w if isinstance(out_w, int) else "ow"])],
        initializer=inits)


def fgnet_2x(h, w, name):
    """Multi-input [1, h, w, 18] -> [1, 2h, 2w, 3]: the nearest 2x enlargement
    of channels 0-2 (the current frame), so results can be checked exactly."""
    inits = [
        numpy_helper.from_array(np.array([0], dtype=np.int64), "c0"),
        numpy_helper.from_array(np.array([3], dtype=np.int64), "c3"),
        numpy_helper.from_array(np.array([3], dtype=np.int64), "axis"),
        numpy_helper.from_array(np.array([1, 2, 2, 1], dtype=np.float32), "scales"),
    ]
    nodes = [
        helper.make_node("Slice", ["input", "c0", "c3", "axis"], ["rgb"]),
        helper.make_node("Resize", ["rgb", "", "scales"], ["output"], mode="nearest",
                         coordinate_transformation_mode="asymmetric", nearest_mode="floor"),
    ]
    oh = 2 * h if isinstance(h, int) else "oh"
    ow = 2 * w if isinstance(w, int) else "ow"
    return helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, h, w, 18])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, oh, ow, 3])],
        initializer=inits)


def fgnet_ramp_2x(t, name):
    """fgnet_2x at a fixed t x t tile plus (row + column) / 4t over the tile's
    output: the result depends on the position in the tile, so only the
    feathering between overlapping tiles keeps their edges from showing."""
    g = fgnet_2x(t, t, name)
    r = np.arange(2 * t, dtype=np.float32)
    ramp = ((r[:, None] + r[None, :]) / (4 * t))[None, :, :, None].repeat(3, axis=3)
    g.initializer.append(numpy_helper.from_array(ramp.astype(np.float32), "ramp"))
    g.node[-1].output[0] = "up"
    g.node.append(helper.make_node("Add", ["up", "ramp"], ["output"]))
    return g


def ramp_2x(name):
    """Planar [1, 3, h, w] -> the nearest 2x enlargement of the input plus
    (row + column + 2) / 1024 of the pixel's place in the tile: any size,
    and the result depends on where in the tile a pixel lies."""
    inits = [
        numpy_helper.from_array(np.array(0, dtype=np.float32), "zero"),
        numpy_helper.from_array(np.array(1, dtype=np.float32), "one"),
        numpy_helper.from_array(np.array(1 / 1024, dtype=np.float32), "step"),
        numpy_helper.from_array(np.array(2, dtype=np.int64), "rows"),
        numpy_helper.from_array(np.array(3, dtype=np.int64), "cols"),
        numpy_helper.from_array(np.array([1, 1, 2, 2], dtype=np.float32), "scales"),
    ]
    nodes = [
        helper.make_node("Mul", ["input", "zero"], ["zeros"]),
        helper.make_node("Add", ["zeros", "one"], ["ones"]),
        helper.make_node("CumSum", ["ones", "rows"], ["row"]),
        helper.make_node("CumSum", ["ones", "cols"], ["col"]),
        helper.make_node("Add", ["row", "col"], ["place"]),
        helper.make_node("Mul", ["place", "step"], ["ramp"]),
        helper.make_node("Add", ["input", "ramp"], ["shifted"]),
        helper.make_node("Resize", ["shifted", "", "scales"], ["output"], mode="nearest",
                         coordinate_transformation_mode="asymmetric", nearest_mode="floor"),
    ]
    return helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, "h", "w"])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 3, "oh", "ow"])],
        initializer=inits)


def fgnet_prev_2x(h, w, name):
    """Multi-input [1, h, w, 18] -> [1, 2h, 2w, 3]: the previous output, put
    back together from its space-to-depth channels 6-17 (block row, block
    column, colour), so a job's frames all equal its first frame's stand-in."""
    inits = [
        numpy_helper.from_array(np.array([6], dtype=np.int64), "c6"),
        numpy_helper.from_array(np.array([18], dtype=np.int64), "c18"),
        numpy_helper.from_array(np.array([3], dtype=np.int64), "axis"),
    ]
    nodes = [
        helper.make_node("Slice", ["input", "c6", "c18", "axis"], ["prev"]),
        helper.make_node("Transpose", ["prev"], ["nchw"], perm=[0, 3, 1, 2]),
        helper.make_node("DepthToSpace", ["nchw"], ["big"], blocksize=2, mode="DCR"),
        helper.make_node("Transpose", ["big"], ["output"], perm=[0, 2, 3, 1]),
    ]
    return helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, h, w, 18])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 2 * h, 2 * w, 3])],
        initializer=inits)


def fgnet_nan(name):
    """[1, 288, 288, 18] -> x / x: 1 where the input is non-zero, NaN where
    it is 0 (channels 12-17 of the smoke-test tensor)."""
    nodes = [helper.make_node("Div", ["input", "input"], ["output"])]
    return helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 288, 288, 18])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 288, 288, 18])])


def identity(name):
    """Planar [1, 3, h, w] -> the same tensor: the wrong shape for a 2x job."""
    nodes = [helper.make_node("Identity", ["input"], ["output"])]
    return helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, "h", "w"])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 3, "h", "w"])])


def no_inputs(name):
    """A constant and no inputs at all."""
    value = numpy_helper.from_array(np.zeros((1, 3, 2, 2), dtype=np.float32), "value")
    nodes = [helper.make_node("Constant", [], ["output"], value=value)]
    return helper.make_graph(
        nodes, name, [],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 3, 2, 2])])


def two_inputs(name):
    """Two planar inputs sharing the symbolic h and w, summed."""
    nodes = [helper.make_node("Add", ["a", "b"], ["output"])]
    return helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("a", TensorProto.FLOAT, [1, 3, "h", "w"]),
         helper.make_tensor_value_info("b", TensorProto.FLOAT, [1, 3, "h", "w"])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 3, "h", "w"])])


def half_out(name):
    """test-model's tensor in, float16 out: the report refuses the output."""
    return helper.make_graph(
        [helper.make_node("Cast", ["x"], ["y"], to=TensorProto.FLOAT16)], name,
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 288, 288, 18])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT16, [1, 288, 288, 18])])


def first_only(name):
    """test-model's tensor as the first input, and a second it leaves unfed."""
    return helper.make_graph(
        [helper.make_node("Add", ["a", "b"], ["y"])], name,
        [helper.make_tensor_value_info("a", TensorProto.FLOAT, [1, 288, 288, 18]),
         helper.make_tensor_value_info("b", TensorProto.FLOAT, [1])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 288, 288, 18])])


def no_outputs(name):
    """An input and no graph outputs at all."""
    nodes = [helper.make_node("Identity", ["input"], ["unused"])]
    return helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, "h", "w"])], [])


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    save(nearest_2x([1, 3, "h", "w"], [1, 3, "oh", "ow"]), out, "nn2x.onnx")
    save(nearest_2x([1, 3, "h", "w"], [1, 3, "oh", "ow"], "nn3x", factor=3), out, "nn3x.onnx")
    save(nearest_2x(["batch", 3, "h", "w"], ["batch", 3, "oh", "ow"], "batch2x"), out, "batch2x.onnx")
    save(nearest_2x([1, 3, 64, 64], [1, 3, 128, 128], "fixed2x"), out, "fixed2x.onnx")
    save(nearest_2x([1, 3, "h", "w"], [1, 3, "oh", "ow"], "fp16out", TensorProto.FLOAT16), out,
         "fp16out.onnx")
    save(conv_stack("conv2x", 3, 8, "h", "w", seed=7), out, "conv2x.onnx")
    save(conv_stack("heavy2x", 8, 32, "h", "w", seed=11), out, "heavy2x.onnx")
    # conv2x with its receptive radius recorded (three 3x3 convolutions), as
    # the converter records it for the compact networks: the engine may run
    # the changed part of a tile alone. A radius one short of the truth
    # (local2x_short) makes those parts wrong near their edges.
    save(conv_stack("local2x", 3, 8, "h", "w", seed=7), out, "local2x.onnx",
         {"lmr.receptive_radius": "3"})
    save(conv_stack("local2x_short", 3, 8, "h", "w", seed=7), out, "local2x_short.onnx",
         {"lmr.receptive_radius": "2"})
    save(ramp_2x("ramp2x"), out, "ramp2x.onnx")
    save(fgnet_2x(288, 288, "fgnet2x"), out, "fgnet2x.onnx")
    save(fgnet_2x("h", "w", "fgnet2x_dyn"), out, "fgnet2x_dyn.onnx")
    save(fgnet_prev_2x(288, 288, "fgnetprev2x"), out, "fgnetprev2x.onnx")
    save(fgnet_ramp_2x(64, "fgnetramp2x"), out, "fgnetramp2x.onnx")
    save(fgnet_nan("nan"), out, "nan.onnx")
    save(identity("identity"), out, "identity.onnx")
    save(no_inputs("noinput"), out, "noinput.onnx")
    save(two_inputs("twoin"), out, "twoin.onnx")
    save(no_outputs("nooutput"), out, "nooutput.onnx")
    save(half_out("halfout"), out, "halfout.onnx")
    save(first_only("firstonly"), out, "firstonly.onnx")


if __name__ == "__main__":
    main()
