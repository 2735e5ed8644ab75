"""The ONNX graph builder every generator here writes its models with.

One opset and IR version for all of them, initializers from numpy arrays, a Graph that collects
nodes, initializers, inputs and outputs in the order they are added, and one save that runs the
full checker (type and shape inference in strict mode) on every model before it is written, so a
graph the runtime would refuse fails here, at generation time.

Node, output and initializer names are part of the written bytes, and the tests hold the generated
bundles byte for byte, so each family keeps its own naming: Graph.nodeName and Graph.outName give
the default ("Add_3" writing "t3"), a family with another scheme overrides them.
"""

from __future__ import annotations

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
IR_VERSION = 8
PRODUCER = "vesk-bundlegen"


def initializer(name: str, arr, dtype=np.float32) -> onnx.TensorProto:
    """An initializer holding arr as dtype (None keeps the array's own type)."""
    return numpy_helper.from_array(np.asarray(arr, dtype=dtype), name)


def model(nodes, inputs, outputs, inits, name: str, doc: str | None = None, producer: str = PRODUCER,
          producer_version: str | None = None) -> onnx.ModelProto:
    """The model of one graph. doc and producer_version are written only where given."""
    g = helper.make_graph(nodes, name, inputs, outputs, inits)
    kw = {"producer_version": producer_version} if producer_version is not None else {}
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", OPSET)], producer_name=producer, **kw)
    m.ir_version = IR_VERSION
    if doc is not None:
        m.doc_string = doc
    return m


def check(m: onnx.ModelProto):
    onnx.checker.check_model(m, full_check=True)


def save(m: onnx.ModelProto, path: str):
    check(m)
    onnx.save(m, path)


class Graph:
    """A graph under construction. The model options (doc, producer, producer_version) go to model()."""

    def __init__(self, name: str, **model_options):
        self.name = name
        self.model_options = model_options
        self.nodes: list[onnx.NodeProto] = []
        self.inits: list[onnx.TensorProto] = []
        self.inputs: list[onnx.ValueInfoProto] = []
        self.outputs: list[onnx.ValueInfoProto] = []
        self.n = 0

    def input(self, name: str, shape: list, elem_type: int = TensorProto.FLOAT) -> str:
        self.inputs.append(helper.make_tensor_value_info(name, elem_type, shape))
        return name

    def output(self, name: str, shape: list, elem_type: int = TensorProto.FLOAT) -> str:
        self.outputs.append(helper.make_tensor_value_info(name, elem_type, shape))
        return name

    def tensor(self, name: str, arr, dtype=np.float32) -> str:
        """A named initializer (see initializer)."""
        self.inits.append(initializer(name, arr, dtype))
        return name

    def nodeName(self, op_type: str) -> str:
        return f"{op_type}_{self.n}"

    def outName(self, node_name: str) -> str:
        return f"t{self.n}"

    def op(self, op_type: str, inputs: list[str], name: str | None = None, out: str | None = None, **attrs) -> str:
        """One node with one output; returns the output's name."""
        self.n += 1
        nm = name or self.nodeName(op_type)
        o = out or self.outName(nm)
        self.nodes.append(helper.make_node(op_type, inputs, [o], name=nm, **attrs))
        return o

    def model(self, doc: str | None = None) -> onnx.ModelProto:
        opts = dict(self.model_options)
        if doc is not None:
            opts["doc"] = doc
        return model(self.nodes, self.inputs, self.outputs, self.inits, self.name, **opts)

    def save(self, path: str, doc: str | None = None):
        save(self.model(doc), path)
