"""Behaviour shared by every extension module: argument binding, classes with Python bases
written in C++, introspection, serialisation and once-per-process initialisation."""
import collections
import copy
import inspect
import io
import json
import pickle
import pydoc

import numpy as np
import pytest
import torch

from quillane import _bindcheck as probe
from quillane.model import masks, orlesque, pellidor, tremmoth

LAYER_CLASSES = [
    (pellidor.SelfAttentionLayer, (16, 2)),
    (pellidor.CrossAttentionLayer, (16, 2)),
    (pellidor.FeedForwardLayer, (16, 32)),
    (orlesque.SelfAttentionEncoderLayer, (16, 2, 32)),
    (tremmoth.SelfAttentionDecoderLayer, (16, 2, 32)),
    (tremmoth.CrossAttentionDecoderLayer, (16, 2, 32)),
]

x = torch.zeros(1, 2, 16)


# ---------------------------------------------------------------------------------------
# Argument binding
# ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    # exact built-in types: a bool is not an int, a subclass of dict is not a dict
    (lambda: pellidor.SelfAttentionLayer(512.0, 8), "Argument 'd_model' has incorrect type (expected int, got float)"),
    (lambda: pellidor.SelfAttentionLayer(True, 8), "Argument 'd_model' has incorrect type (expected int, got bool)"),
    (lambda: pellidor.FeedForwardLayer(16, d_ff=np.int64(32)), "Argument 'd_ff' has incorrect type (expected int, got int64)"),
    (lambda: probe.kinds(1, 2, "s", collections.OrderedDict(), (1, 2), [], True),
     "Argument 'd' has incorrect type (expected dict, got OrderedDict)"),
    (lambda: probe.kinds(1, 2, b"s", {}, (1, 2), [], True), "Argument 's' has incorrect type (expected str, got bytes)"),
    (lambda: probe.kinds(1, 2, "s", {}, [1, 2], [], True), "Argument 't' has incorrect type (expected tuple, got list)"),
    (lambda: probe.kinds(1, 2, "s", {}, (1, 2), (), True), "Argument 'l' has incorrect type (expected list, got tuple)"),
    (lambda: probe.kinds(1, 2, "s", {}, (1, 2), [], 1), "Argument 'b' has incorrect type (expected bool, got int)"),
    (lambda: probe.kinds(1, "0.5", "s", {}, (1, 2), [], True), "Argument 'f' has incorrect type (expected float, got str)"),
    (lambda: pellidor.SelfAttentionLayer(16, 2, None), "Argument 'dropout' has incorrect type (expected float, got NoneType)"),
    # positional counts, self included as in a plain def
    (lambda: pellidor.SelfAttentionLayer(16), "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda: pellidor.SelfAttentionLayer(16, 2, 0.1, 4), "__init__() takes at most 4 positional arguments (5 given)"),
    (lambda: pellidor.SelfAttentionLayer(num_heads=2), "__init__() takes at least 3 positional arguments (1 given)"),
    (lambda: pellidor.FeedForwardLayer(16, 32).forward(), "forward() takes exactly 2 positional arguments (1 given)"),
    (lambda: pellidor.FeedForwardLayer(16, 32).forward(x, x), "forward() takes exactly 2 positional arguments (3 given)"),
    (lambda: masks.CausalMask(), "CausalMask() takes exactly 1 positional argument (0 given)"),
    (lambda: masks.PadMask(x), "PadMask() takes exactly 2 positional arguments (1 given)"),
    (lambda: probe.none(1), "none() takes exactly 0 positional arguments (1 given)"),
    (lambda: probe.rest(), "rest() takes at least 1 positional argument (0 given)"),
    (lambda: probe.rest(1), "rest() needs keyword-only argument key"),
    # keywords
    (lambda: pellidor.SelfAttentionLayer(16, 2, p=0.1), "__init__() got an unexpected keyword argument 'p'"),
    (lambda: masks.PadMask(x, input_lengths=None, lengths=None), "PadMask() got an unexpected keyword argument 'lengths'"),
    (lambda: pellidor.SelfAttentionLayer(16, 2, d_model=16), "__init__() got multiple values for keyword argument 'd_model'"),
    (lambda: probe.rest(1, a=2, key=3), "rest() got multiple values for keyword argument 'a'"),
])
def test_binding_errors_are_type_errors_with_the_project_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_float_parameters_accept_any_real_number_and_convert_it():
    for value in (0, np.float32(0.25), np.float64(0.5), np.int64(1), True, torch.tensor(0.5)):
        bound = probe.kinds(1, value, "s", {}, (1, 2), [], False)[1]
        assert type(bound) is float and bound == float(value)
    layer = pellidor.SelfAttentionLayer(16, 2, np.float32(0.25))
    assert type(layer.mha.dropout) is float and layer.dropout.p == 0.25


def test_optional_parameters_accept_none_and_float_defaults_are_floats():
    assert probe.optionals(None) == (None, None, 0.0, None)
    assert type(probe.optionals(1)[2]) is float
    assert probe.optionals(1, 2, 3, w=4) == (1, 2, 3.0, 4.0)
    with pytest.raises(TypeError, match="Argument 'x' has incorrect type"):
        probe.optionals(1.0)


def test_keyword_arguments_bind_by_name_and_extras_are_collected():
    assert probe.kinds(b=False, l=[], t=(), d={}, s="", f=1, i=0) == (0, 1.0, "", {}, (), [], False)
    assert probe.rest(1, 2, 3, key=4, other=5) == ((1, 2, 4), (3,), {"other": 5})
    name = "".join(["k", "e", "y"])  # a keyword name that is not interned
    assert probe.rest(1, **{name: 0}) == ((1, 2, 0), (), {})


# ---------------------------------------------------------------------------------------
# Classes, methods and introspection
# ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("cls, args", LAYER_CLASSES)
def test_classes_are_nn_modules_with_python_identity(cls, args):
    assert issubclass(cls, torch.nn.Module)
    assert cls.__module__ in ("quillane.model.pellidor", "quillane.model.orlesque", "quillane.model.tremmoth")
    assert cls.__qualname__ == cls.__name__
    assert cls.forward.__qualname__ == cls.__name__ + ".forward"
    assert cls.forward.__module__ == cls.__module__
    assert cls.__doc__.startswith("\n    Pre-LN ")
    layer = cls(*args)
    assert layer.forward.__self__ is layer


def test_signatures_show_real_parameters_with_annotations():
    assert str(inspect.signature(orlesque.SelfAttentionEncoderLayer)) == \
        "(d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1)"
    forward = inspect.signature(tremmoth.SelfAttentionDecoderLayer.forward)
    assert str(forward) == ("(self, x: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None, "
                            "attn_mask: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]")
    assert forward.parameters["x"].annotation is torch.Tensor
    assert str(inspect.signature(masks.PadMask)) == "(padded_input, input_lengths)"
    assert str(inspect.signature(probe.rest)) == "(a, b=2, *args, key, **kwargs)"
    text = pydoc.render_doc(pellidor.CrossAttentionLayer, renderer=pydoc.plaintext)
    assert "__init__(self, d_model: int, num_heads: int, dropout: float = 0.0)" in text
    assert "forward(self, x: torch.Tensor, y: torch.Tensor, key_padding_mask" in text


@pytest.mark.parametrize("cls, args", LAYER_CLASSES)
def test_layers_survive_pickle_deepcopy_and_torch_save(cls, args):
    torch.manual_seed(0)
    layer = cls(*args).eval()
    buffer = io.BytesIO()
    torch.save(layer, buffer)
    buffer.seek(0)
    copies = [pickle.loads(pickle.dumps(layer)), copy.deepcopy(layer), torch.load(buffer, weights_only=False)]
    inputs = (torch.randn(2, 3, 16),) * (2 if "Cross" in cls.__name__ else 1)
    expected = layer(*inputs)
    for clone in copies:
        assert type(clone) is cls and clone is not layer
        assert clone.state_dict().keys() == layer.state_dict().keys()
        got = clone(*inputs)
        for a, b in zip(got if isinstance(got, tuple) else (got,), expected if isinstance(expected, tuple) else (expected,)):
            assert torch.equal(a, b)


def test_functions_pickle_by_reference():
    assert pickle.loads(pickle.dumps(masks.PadMask)) is masks.PadMask
    assert pickle.loads(pickle.dumps(pellidor.SelfAttentionLayer)) is pellidor.SelfAttentionLayer


# ---------------------------------------------------------------------------------------
# Once-per-process initialisation (each check in a fresh interpreter)
# ---------------------------------------------------------------------------------------

MODULES = ["masks", "pellidor", "orlesque", "tremmoth"]

REINIT_SCRIPT = """
import ctypes, importlib, json, sys, types
result = {}
for short in %r:
    name = "quillane.model." + short
    first = importlib.import_module(name)
    del sys.modules[name]
    again = importlib.import_module(name)
    entry = {"same_object": again is first, "attrs_intact": all(hasattr(again, a) for a in dir(first))}
    lib = ctypes.PyDLL(first.__file__)
    init = getattr(lib, "PyInit_" + short)
    init.restype = ctypes.c_void_p
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    try:
        exec_def(types.ModuleType("x"), init())
        entry["reexec"] = "no error"
    except Exception as e:
        entry["reexec"] = type(e).__name__ + ": " + str(e)
    result[short] = entry
print(json.dumps(result))
""" % (MODULES,)


@pytest.fixture(scope="module")
def reinit_results(run_python):
    proc = run_python(REINIT_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("short", MODULES)
def test_reimport_after_removal_from_sys_modules_returns_the_same_module(reinit_results, short):
    assert reinit_results[short]["same_object"] and reinit_results[short]["attrs_intact"]


@pytest.mark.parametrize("short", MODULES)
def test_executing_the_module_definition_again_is_refused(reinit_results, short):
    assert reinit_results[short]["reexec"] == (
        f"RuntimeError: Module '{short}' has already been imported. Re-initialisation is not supported.")


SUBINTERPRETER_SCRIPT = """
import importlib, sys, tempfile, os
try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        print("UNAVAILABLE"); sys.exit(0)
import quillane.model.masks as masks
out = os.path.join(tempfile.mkdtemp(), "result.txt")
code = '''
import importlib.util
spec = importlib.util.spec_from_file_location("quillane.model.masks", %r)
try:
    importlib.util.module_from_spec(spec)
    result = "loaded"
except Exception as e:
    result = type(e).__name__ + ": " + str(e)
with open(%r, "w") as f:
    f.write(result)
''' % (masks.__file__, out)
interp = interpreters.create()
run = getattr(interpreters, "exec", None) or interpreters.run_string
run(interp, code)
interpreters.destroy(interp)
print(open(out).read())
"""


def test_loading_into_a_second_interpreter_is_refused(run_python):
    proc = run_python(SUBINTERPRETER_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.strip() == "UNAVAILABLE":
        pytest.skip("no sub-interpreter support in this Python")
    assert proc.stdout.strip() == ("ImportError: Interpreter change detected - this module can only be "
                                   "loaded into one interpreter per process.")


# ---------------------------------------------------------------------------------------
# Mixed precision
# ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("device, device_type", [
    ("cuda:0", "cuda"), ("cuda", "cuda"), (torch.device("cuda", 1), "cuda"), ("cpu", "cpu"), (torch.device("cpu"), "cpu")])
def test_autocast_uses_the_device_type_and_float16_unless_the_cpu_cannot_run_it(
        device, device_type, cpu_autocast_dtype, monkeypatch):
    probe.autocast("cpu")  # the one-time CPU check runs with the real autocast
    monkeypatch.setattr(torch, "autocast", lambda **kw: (kw["device_type"], kw["dtype"]))
    expected = cpu_autocast_dtype if device_type == "cpu" else torch.float16
    assert probe.autocast(device) == (device_type, expected)
