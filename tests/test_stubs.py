"""The typed stubs the build writes beside every extension module agree with the modules, resolve
every name they use, and let a type checker accept the README's code and the examples."""
import ast
import importlib
import importlib.machinery
import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import numbrel
import quillane

ROOT = Path(__file__).resolve().parents[1]
PACKAGES = (quillane, numbrel)
DYNAMIC_ATTRIBUTE_MEMBERS = {"__getattr__", "__setattr__"}  # stub-only: attributes set by __init__


def extension_modules():
    """(import name, file) of every compiled module of the packages under test."""
    found = {}
    for package in PACKAGES:
        base = Path(package.__file__).parent
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            for path in base.rglob("*" + suffix):
                stem = path.name[: -len(suffix)]
                if "." not in stem:
                    rel = path.relative_to(base.parent)
                    found.setdefault(".".join(rel.parent.parts + (stem,)), path)
    return sorted(found.items())


MODULES = extension_modules()


def stub_path(name, path):
    return path.with_name(name.rsplit(".", 1)[-1] + ".pyi")


def test_every_extension_module_has_a_stub_and_each_package_is_marked_typed():
    assert len(MODULES) > 10
    missing = [name for name, path in MODULES if not stub_path(name, path).is_file()]
    assert not missing, f"no stub for {missing}; the build writes them (tools/stubgen.py)"
    for package in PACKAGES:
        assert (Path(package.__file__).parent / "py.typed").is_file()


# ---------------------------------------------------------------------------
# stub against inspect.signature
# ---------------------------------------------------------------------------


def literal_or_ellipsis(value):
    """What a stub may write for a default: the value where a literal gives it back, else `...`."""
    try:
        if ast.literal_eval(repr(value)) == value:
            return value
    except (ValueError, SyntaxError):
        pass
    return ...


def runtime_parameters(fn):
    return [(p.name, p.kind, inspect.Parameter.empty if p.default is p.empty else literal_or_ellipsis(p.default))
            for p in inspect.signature(fn).parameters.values()]


def stub_parameters(node: ast.FunctionDef):
    a, kinds, empty = node.args, inspect.Parameter, inspect.Parameter.empty
    positional = [(arg, kinds.POSITIONAL_ONLY) for arg in a.posonlyargs] + [(arg, kinds.POSITIONAL_OR_KEYWORD)
                                                                            for arg in a.args]
    defaults = [empty] * (len(positional) - len(a.defaults)) + list(a.defaults)
    params = [(arg.arg, kind, default) for (arg, kind), default in zip(positional, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, kinds.VAR_POSITIONAL, empty))
    params += [(arg.arg, kinds.KEYWORD_ONLY, empty if d is None else d) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append((a.kwarg.arg, kinds.VAR_KEYWORD, empty))
    return [(name, kind, d if d is empty else ast.literal_eval(d)) for name, kind, d in params]


def runtime_members(cls):
    """name -> (decorator or None, function) of the callables a class defines itself."""
    members = {}
    for name, value in vars(cls).items():
        for wrapper, unwrap in [(staticmethod, "__func__"), (classmethod, "__func__"), (property, "fget")]:
            if isinstance(value, wrapper):
                members[name] = (wrapper.__name__, getattr(value, unwrap))
                break
        else:
            if callable(value) and not inspect.isclass(value):
                members[name] = (None, value)
    return members


def decorator_names(node):
    return [ast.unparse(d) for d in node.decorator_list if ast.unparse(d) != "abc.abstractmethod"]


def check_function(where, fn, node):
    assert stub_parameters(node) == runtime_parameters(fn), where
    abstract = "abc.abstractmethod" in map(ast.unparse, node.decorator_list)
    assert abstract == getattr(fn, "__isabstractmethod__", False), where


def check_class(where, cls, node: ast.ClassDef):
    # the stub names a base of its own module or a built-in (ValueError) plainly, others with their module
    expected_bases = [b.__qualname__ if b.__module__ in (cls.__module__, "builtins") else f"{b.__module__}.{b.__qualname__}"
                      for b in cls.__bases__ if b is not object]
    assert [ast.unparse(b) for b in node.bases] == expected_bases, where
    stubbed = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    members = runtime_members(cls)
    extra = set(stubbed) - set(members) - DYNAMIC_ATTRIBUTE_MEMBERS
    assert set(members) <= set(stubbed) and not extra, f"{where}: runtime {sorted(members)}, stub {sorted(stubbed)}"
    for name, (decorator, fn) in members.items():
        assert decorator_names(stubbed[name]) == ([decorator] if decorator else []), f"{where}.{name}"
        check_function(f"{where}.{name}", fn, stubbed[name])


@pytest.mark.parametrize("name, path", MODULES, ids=[name for name, _ in MODULES])
def test_stub_agrees_with_the_signatures_of_the_module(name, path):
    module = importlib.import_module(name)
    tree = ast.parse(stub_path(name, path).read_text(encoding="utf-8"))
    stub = {n.name: n for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    public = {k: v for k, v in vars(module).items() if not k.startswith("_")
              and (inspect.isclass(v) or callable(v)) and getattr(v, "__module__", None) == name}
    assert sorted(stub) == sorted(public)
    for attr, value in public.items():
        if inspect.isclass(value):
            assert isinstance(stub[attr], ast.ClassDef), attr
            check_class(f"{name}.{attr}", value, stub[attr])
        else:
            check_function(f"{name}.{attr}", value, stub[attr])


# ---------------------------------------------------------------------------
# a type checker over the README and the examples
# ---------------------------------------------------------------------------


def readme_python_blocks():
    from test_docs_run import readme_blocks

    return [p.values[0] for p in readme_blocks()]


# Calls the stubs must reject, so that a clean run means the checker saw the real signatures.
WRONG_CALLS = textwrap.dedent("""\
    from quillane.data.tokenizer import VantTokenizer
    from quillane.model import EncoderDecoderTransformer
    from quillane.trainers.tressik import BaseTrainer
    from quillane import Recognizer
    model = EncoderDecoderTransformer(80, 10, d_modl=3)
    VantTokenizer().encode(3)
    BaseTrainer(model, VantTokenizer(), {}, "run", "config.yaml")
    Recognizer.from_experiment("expts/run").transcribe(["a.wav"], beam=2)
""")


def test_type_checker_accepts_the_readme_code_and_the_examples(tmp_path, request):
    pytest.importorskip("mypy", reason="mypy is pinned in tools/requirements.txt")
    files = []
    for i, code in enumerate(readme_python_blocks()):
        files.append(tmp_path / f"readme_block_{i}.py")
        files[-1].write_text(code, encoding="utf-8")
    # every stub gets read, including those of modules no example imports
    files.append(tmp_path / "imports_every_module.py")
    files[-1].write_text("".join(f"import {name}\n" for name, _ in MODULES), encoding="utf-8")
    files.append(tmp_path / "wrong_calls.py")
    files[-1].write_text(WRONG_CALLS, encoding="utf-8")
    files += sorted((ROOT / "examples").glob("*.py"))

    env = dict(os.environ)
    package_parent = Path(quillane.__file__).resolve().parents[1]
    if "site-packages" not in package_parent.parts:  # the in-place build under src/
        env["MYPYPATH"] = str(package_parent)
    # mypy reads torch's own sources once per cache: keep it between runs where pytest keeps a cache
    cache_provider = getattr(request.config, "cache", None)
    cache = cache_provider.mkdir("mypy") if cache_provider else tmp_path / "mypy-cache"
    result = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(cache), "--check-untyped-defs",
                             "--python-executable", sys.executable, *map(str, files)],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    unexpected = [line for line in errors if not line.startswith("wrong_calls.py:")]
    assert not unexpected and not result.stderr, result.stdout + result.stderr
    flagged = {int(line.split(":")[1]) for line in errors if line.startswith("wrong_calls.py:")}
    assert flagged == {5, 6, 7, 8}, result.stdout


# ---------------------------------------------------------------------------
# the generator itself, on signatures the modules do not use today
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def stubgen():
    spec = importlib.util.spec_from_file_location("ql_stubgen", ROOT / "tools" / "stubgen.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def make_module():
    """Builds a module from Python source, registered in sys.modules like an imported one."""
    made = []

    def make(source):
        module = types.ModuleType(f"stubgen_case_{len(made)}")
        sys.modules[module.__name__] = module
        made.append(module.__name__)
        exec(textwrap.dedent(source), module.__dict__)
        return module

    yield make
    for name in made:
        sys.modules.pop(name, None)


@pytest.mark.parametrize("source, expected", [
    ("from typing import Optional, Callable\nimport torch\n"
     "def f(a: Optional[torch.Tensor], b: Callable[[int], str] = len, *args: int, **kw) -> None: ...",
     "def f(a: torch.Tensor | None, b: collections.abc.Callable[[int], str] = ..., *args: int, **kw) -> None: ..."),
    ("def f(a, /, b=(1, 'x'), *, c: 'Dict[str, Any]', d: int = None): ...",
     "def f(a, /, b=(1, 'x'), *, c: dict[str, typing.Any], d: int | None = None): ..."),
    ("from typing import Tuple\ndef f(x: Tuple[int, ...] = float('inf')) -> Tuple[()]: ...",
     "def f(x: tuple[int, ...] = ...) -> tuple[()]: ..."),
    ("class C:\n    def list(self, x: list) -> list: ...",
     "    def list(self, x: builtins.list) -> builtins.list: ..."),
    ("from typing import Literal, Optional, Sequence\n"
     "def f(mode: Literal['a', 'b'] = 'a', tag: Optional['Sequence[str]'] = None): ...",
     "def f(mode: typing.Literal['a', 'b'] = 'a', tag: collections.abc.Sequence[str] | None = None): ..."),
], ids=["optional-callable-varargs", "positional-only-keyword-only-string", "ellipsis-non-literal", "shadowed-builtin",
        "literal-forward-reference"])
def test_generator_writes_annotations_and_defaults_the_checker_reads_back(stubgen, make_module, source, expected):
    text = stubgen.module_stub(make_module(source))
    assert expected in text.splitlines()
    ast.parse(text)
    for name in ("collections.abc", "torch", "typing", "builtins"):
        if f"{name}." in expected:
            assert f"import {name}" in text


def test_generator_refuses_an_annotation_that_names_nothing(stubgen, make_module):
    module = make_module("def f(x: 'NoSuchType'): ...")
    with pytest.raises(stubgen.StubError, match=r"stubgen_case_\d+\.f.*NoSuchType"):
        stubgen.module_stub(module)


@pytest.mark.parametrize("package_init, expect_rc, expect_message", [
    ("import not_a_dependency_xyz\n", 0, "typed stubs skipped: the modules import 'not_a_dependency_xyz'"),
    ("import quillane.no_such_module\n", 1, "No module named 'quillane.no_such_module'"),
    ("raise ImportError('broken package')\n", 1, "broken package"),
], ids=["missing-dependency", "missing-own-module", "broken-package"])
def test_generator_skips_stubs_only_when_a_dependency_is_missing(tmp_path, package_init, expect_rc, expect_message):
    name, path = next((n, p) for n, p in MODULES if n == "quillane._bindcheck")
    tree = tmp_path / "modules"
    (tree / "quillane").mkdir(parents=True)
    shutil.copy(path, tree / "quillane" / path.name)
    (tree / "quillane" / "__init__.py").write_text(package_init)
    result = subprocess.run([sys.executable, "-I", str(ROOT / "tools" / "stubgen.py"), "--modules", str(tree)],
                            capture_output=True, text=True, timeout=120)
    assert (result.returncode != 0) == bool(expect_rc), result.stderr
    assert expect_message in result.stderr
    assert not list(tree.rglob("*.pyi")) and not list(tree.rglob("py.typed"))
