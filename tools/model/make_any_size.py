#!/usr/bin/python3
"""Lets the float32 IS-Net graph take inputs of any size (sides multiples of 32).

As exported, each Resize takes its target size from a Concat of the batch and channel
dimensions and a constant height and width (e.g. [32, 32]) that only fit a 1024 x 1024 input.
Here each constant becomes the spatial size of the tensor the Resize's output is concatenated
with (Shape -> Slice [2:4]); for the side output's final upsampling, which feeds no Concat,
that tensor is the network input. The input's and output's height and width become symbolic.
At 1024 x 1024 the result computes exactly what the original graph computes.

usage: make_any_size.py INPUT OUTPUT
"""
import sys

import numpy as np
import onnx
from onnx import helper, numpy_helper


def constant_value(graph, name):
    for node in graph.node:
        if node.op_type == "Constant" and node.output[0] == name:
            return numpy_helper.to_array(node.attribute[0].t)
    for tensor in graph.initializer:
        if tensor.name == name:
            return numpy_helper.to_array(tensor)
    return None


def fail(message):
    print(f"setup: {message}", file=sys.stderr)
    sys.exit(1)


def sorted_topologically(graph):
    available = {i.name for i in graph.input} | {t.name for t in graph.initializer} | {""}
    pending = list(graph.node)
    ordered = []
    while pending:
        ready = [n for n in pending if all(i in available for i in n.input)]
        if not ready:
            fail("the graph has a cycle or an input nobody produces")
        for node in ready:
            ordered.append(node)
            available.update(node.output)
        ready_ids = {id(n) for n in ready}
        pending = [n for n in pending if id(n) not in ready_ids]
    return ordered


def make_resizes_follow_their_partners(graph):
    producers = {o: n for n in graph.node for o in n.output}
    consumers = {}
    for node in graph.node:
        for name in node.input:
            consumers.setdefault(name, []).append(node)
    network_input = graph.input[0].name

    graph.initializer.extend([
        numpy_helper.from_array(np.array([2], dtype=np.int64), "any_size/spatial_start"),
        numpy_helper.from_array(np.array([4], dtype=np.int64), "any_size/spatial_end"),
        numpy_helper.from_array(np.array([0], dtype=np.int64), "any_size/axis"),
    ])
    rewritten = 0
    for resize in [n for n in graph.node if n.op_type == "Resize"]:
        sizes = producers.get(resize.input[3]) if len(resize.input) > 3 else None
        if sizes is None or sizes.op_type != "Concat" or len(sizes.input) != 2:
            fail(f"{resize.name}: its target size is not a Concat of two parts")
        fixed = constant_value(graph, sizes.input[1])
        if fixed is None or fixed.shape != (2,):
            fail(f"{resize.name}: its target height and width are not a constant pair")

        readers = consumers.get(resize.output[0], [])
        if len(readers) != 1:
            fail(f"{resize.name}: expected one reader of its output, found {len(readers)}")
        reader = readers[0]
        if reader.op_type == "Concat":
            partners = [i for i in reader.input if i != resize.output[0]]
            if len(partners) != 1:
                fail(f"{resize.name}: its Concat has {len(partners)} other inputs")
            partner = partners[0]
        else:
            partner = network_input

        prefix = f"any_size/{resize.name}"
        graph.node.extend([
            helper.make_node("Shape", [partner], [f"{prefix}/shape"], name=f"{prefix}/Shape"),
            helper.make_node("Slice", [f"{prefix}/shape", "any_size/spatial_start", "any_size/spatial_end",
                                       "any_size/axis"], [f"{prefix}/size"], name=f"{prefix}/Slice"),
        ])
        sizes.input[1] = f"{prefix}/size"
        rewritten += 1
    if rewritten == 0:
        fail("the graph has no Resize to rewrite")

    ordered = sorted_topologically(graph)
    del graph.node[:]
    graph.node.extend(ordered)
    # Constants nobody reads any more (the fixed sizes) are dropped.
    read = {i for n in graph.node for i in n.input} | {o.name for o in graph.output}
    kept = [n for n in graph.node if n.op_type != "Constant" or n.output[0] in read]
    del graph.node[:]
    graph.node.extend(kept)


def make_spatial_dims_symbolic(graph):
    for value in list(graph.input) + list(graph.output):
        dims = value.type.tensor_type.shape.dim
        for index, name in ((2, "height"), (3, "width")):
            dims[index].ClearField("dim_value")
            dims[index].dim_param = name
    # Shapes recorded for the fixed size would contradict every other size.
    del graph.value_info[:]


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        sys.exit(2)
    model = onnx.load(sys.argv[1])
    make_resizes_follow_their_partners(model.graph)
    make_spatial_dims_symbolic(model.graph)
    onnx.checker.check_model(model)
    onnx.save(model, sys.argv[2])


if __name__ == "__main__":
    main()
