"""Writes a typed stub (.pyi) beside every compiled extension module, and py.typed at the root of
each package that has them, from the modules' own run-time signatures.

    python tools/stubgen.py --modules build/modules [--source src]

--modules is the tree the build put the extension modules in (laid out like their import paths);
--source holds the pure-Python package files (the __init__.py re-exports), when they live
elsewhere. Nothing needs to be installed: the modules are imported straight from those trees.

Every function, class and method a module defines is a callable of the core's own type whose
__signature__ carries the parameters, defaults and annotations, so the stub says exactly what
inspect.signature says. Instance attributes are set at run time by the C++ __init__ and appear
in no signature; those classes get __getattr__ (and, unless a base class such as nn.Module types
assignment itself, __setattr__) returning Any, so checkers accept them without guessing types.

Exit status: 0 when the stubs were written, or when they had to be skipped because a run-time
dependency (torch, pandas, ...) is not installed in this Python, which is reported on stderr;
1 for anything else (an annotation that names nothing, a module that fails to import).
"""

from __future__ import annotations

import argparse
import ast
import builtins
import importlib
import importlib.abc
import importlib.machinery
import importlib.util
import inspect
import os
import sys
import types
import typing
from pathlib import Path

# Packages whose import failures are ours to report; a missing anything else is a missing dependency.
OWN_PACKAGES = ("quillane", "numbrel")

# Class-dict entries that Python, abc and typing put there; they are no part of the interface.
CLASS_BOOKKEEPING = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__", "__slots__",
                     "__abstractmethods__", "_abc_impl", "__parameters__", "__orig_bases__",
                     "__annotations__", "__firstlineno__", "__static_attributes__"}

# The typing names the core evaluates signature annotations with.
TYPING_NAMES = ("Optional", "Tuple", "List", "Dict", "Union", "Any", "Callable")

LITERAL_TYPES = (type(None), bool, int, float, str, bytes)


class StubError(Exception):
    """A signature the generator cannot write faithfully; names the module and member."""


class BuiltModuleFinder(importlib.abc.MetaPathFinder):
    """Imports extension modules from the build tree, so that they and the source tree's pure-Python
    packages form one importable package without installing anything."""

    def __init__(self, root: Path):
        self.root = root

    def find_spec(self, name, path=None, target=None):
        base = self.root.joinpath(*name.split("."))
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            candidate = base.with_name(base.name + suffix)
            if candidate.is_file():
                return importlib.util.spec_from_file_location(name, candidate)
        return None


def extension_modules(root: Path) -> dict[str, Path]:
    """Import name -> file of every extension module under root."""
    found = {}
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        for path in sorted(root.rglob("*" + suffix)):
            stem = path.name[: -len(suffix)]
            if "." not in stem:  # "x.cpython-311-....so" also ends in ".so"
                found.setdefault(".".join(path.relative_to(root).parent.parts + (stem,)), path)
    return found


# ---------------------------------------------------------------------------
# Rendering annotations and defaults
# ---------------------------------------------------------------------------


class Namer:
    """Writes annotation objects as stub text and remembers the imports that text needs."""

    def __init__(self, module_name: str):
        self.module_name = module_name
        self.imports: set[str] = set()
        self.shadowed: set[str] = set()  # names a class body defines, hiding builtins of that name

    def type_name(self, cls: type) -> str:
        if cls is type(None):
            return "None"
        module, qualname = cls.__module__, cls.__qualname__
        if module == "builtins":
            if qualname in self.shadowed:
                self.imports.add("builtins")
                return "builtins." + qualname
            return qualname
        if module == self.module_name:
            return qualname
        self.imports.add(module)
        return f"{module}.{qualname}"

    def annotation(self, ann, where: str) -> str:
        if ann is None or ann is type(None):
            return "None"
        if ann is Ellipsis:
            return "..."
        if ann is typing.Any:
            self.imports.add("typing")
            return "typing.Any"
        if isinstance(ann, typing.ForwardRef):  # a quoted name inside Optional["X"] and the like
            ann = ann.__forward_arg__
        if isinstance(ann, str):
            return self.annotation(self.evaluate(ann, where), where)
        if isinstance(ann, list):  # the parameter list of Callable[[...], R]
            return "[" + ", ".join(self.annotation(a, where) for a in ann) + "]"
        origin, args = typing.get_origin(ann), typing.get_args(ann)
        if origin in (typing.Union, types.UnionType):
            return " | ".join(self.annotation(a, where) for a in args)
        if origin is typing.Literal:  # its arguments are values, not types
            return self.typing_name(origin, where) + "[" + ", ".join(map(repr, args)) + "]"
        if origin is not None:
            head = self.type_name(origin) if isinstance(origin, type) else self.typing_name(origin, where)
            if origin is tuple and (args == ((),) or not args and repr(ann).endswith("[()]")):
                return head + "[()]"  # the empty tuple, not the bare Tuple
            if not args:
                return head
            return head + "[" + ", ".join(self.annotation(a, where) for a in args) + "]"
        if isinstance(ann, type):
            return self.type_name(ann)
        raise StubError(f"{where}: cannot write the annotation {ann!r} in a stub")

    def typing_name(self, form, where: str) -> str:
        name = getattr(form, "_name", None)
        if name and getattr(typing, name, None) is form:
            self.imports.add("typing")
            return "typing." + name
        raise StubError(f"{where}: cannot write the annotation {form!r} in a stub")

    def evaluate(self, text: str, where: str):
        """An annotation left as a string: evaluated as the core evaluates it, in the module's
        namespace with the typing names; one that names nothing is an error, not a guess."""
        namespace = {name: getattr(typing, name) for name in TYPING_NAMES}
        namespace.update(vars(sys.modules[self.module_name]))
        try:
            return eval(text, namespace)  # noqa: S307 - annotation text from the module's own signature
        except Exception as exc:
            raise StubError(f"{where}: annotation {text!r} does not evaluate ({exc})") from None


def default_text(value) -> str:
    """A default as a literal where the literal gives back an equal value, `...` otherwise."""
    if isinstance(value, (tuple, list, dict)) or isinstance(value, LITERAL_TYPES):
        text = repr(value)
        try:
            if ast.literal_eval(text) == value and type(ast.literal_eval(text)) is type(value):
                return text
        except (ValueError, SyntaxError):
            pass
    return "..."


def parameter_text(param: inspect.Parameter, namer: Namer, where: str) -> str:
    prefix = {param.VAR_POSITIONAL: "*", param.VAR_KEYWORD: "**"}.get(param.kind, "")
    text = prefix + param.name
    if param.annotation is not param.empty:
        ann = namer.annotation(param.annotation, where)
        if param.default is None and ann != "None" and not ann.endswith("| None"):
            ann += " | None"  # a None default makes any parameter optional
        text += ": " + ann
    if param.default is not param.empty:
        joiner = " = " if param.annotation is not param.empty else "="
        text += joiner + default_text(param.default)
    return text


def signature_text(name: str, sig: inspect.Signature, namer: Namer, where: str) -> str:
    parts, kinds = [], inspect.Parameter
    previous = None
    for param in sig.parameters.values():
        if previous == kinds.POSITIONAL_ONLY and param.kind != kinds.POSITIONAL_ONLY:
            parts.append("/")
        if param.kind == kinds.KEYWORD_ONLY and previous not in (kinds.KEYWORD_ONLY, kinds.VAR_POSITIONAL):
            parts.append("*")
        parts.append(parameter_text(param, namer, where))
        previous = param.kind
    if previous == kinds.POSITIONAL_ONLY:
        parts.append("/")
    text = f"def {name}({', '.join(parts)})"
    if sig.return_annotation is not sig.empty:
        text += " -> " + namer.annotation(sig.return_annotation, where)
    elif name == "__init__":
        text += " -> None"
    return text + ": ..."


def docstring_lines(doc, indent: str) -> list[str]:
    if not doc or not doc.strip():
        return []
    doc = inspect.cleandoc(doc)
    if '"""' in doc or "\\" in doc or doc.endswith('"'):
        return [indent + repr(doc)]
    lines = doc.splitlines()
    if len(lines) == 1:
        return [f'{indent}"""{doc}"""']
    return [f'{indent}"""{lines[0]}'] + [(indent + line).rstrip() for line in lines[1:]] + [indent + '"""']


# ---------------------------------------------------------------------------
# Modules and classes
# ---------------------------------------------------------------------------


def signature_of(fn, where: str) -> inspect.Signature:
    try:
        return inspect.signature(fn)
    except (TypeError, ValueError) as exc:
        raise StubError(f"{where}: no signature ({exc})") from None


def function_lines(name: str, fn, namer: Namer, indent: str, where: str,
                   decorators: tuple[str, ...] = (), overrides_differently: bool = False) -> list[str]:
    lines = [indent + "@" + d for d in decorators]
    if getattr(fn, "__isabstractmethod__", False):
        namer.imports.add("abc")
        lines.append(indent + "@abc.abstractmethod")
    body = docstring_lines(getattr(fn, "__doc__", None), indent + "    ")
    head = indent + signature_text(name, signature_of(fn, where), namer, where)
    if body:
        head = head[: -len(" ...")]
    if overrides_differently:
        # the C++ class really takes other parameters than its base (train(..., epochs), say)
        head += "  # type: ignore[override]"
    return lines + [head] + body


def overrides_differently(cls: type, name: str, fn, where: str) -> bool:
    """Whether `fn` replaces a method of one of our own base classes with another signature
    (constructors are exempt: checkers never hold them to their base's)."""
    if name in ("__init__", "__new__"):
        return False
    for base in cls.__mro__[1:]:
        if base.__module__.split(".")[0] in OWN_PACKAGES and callable(base.__dict__.get(name)):
            return str(signature_of(base.__dict__[name], where)) != str(signature_of(fn, where))
    return False


def member_lines(cls: type, name: str, value, namer: Namer, where: str) -> list[str]:
    indent = "    "
    if isinstance(value, staticmethod):
        return function_lines(name, value.__func__, namer, indent, where, ("staticmethod",))
    if isinstance(value, classmethod):
        return function_lines(name, value.__func__, namer, indent, where, ("classmethod",))
    if isinstance(value, property):
        return function_lines(name, value.fget, namer, indent, where, ("property",))
    if callable(value) and not inspect.isclass(value):
        return function_lines(name, value, namer, indent, where,
                              overrides_differently=overrides_differently(cls, name, value, where))
    if name.startswith("_") or not isinstance(value, LITERAL_TYPES + (tuple, list, dict)):
        return []
    namer.imports.add("typing")
    return [f"{indent}{name}: typing.ClassVar[{namer.type_name(type(value))}]"]


def sets_attributes_at_run_time(cls: type) -> bool:
    init = cls.__dict__.get("__init__")
    return init is not None and not isinstance(init, types.FunctionType) and callable(init)


def foreign_base_defines(cls: type, attr: str) -> bool:
    """Whether a base class from another library (nn.Module, say) gives `attr` its own typing."""
    return any(attr in base.__dict__ and base.__module__.split(".")[0] not in OWN_PACKAGES
               for base in cls.__mro__[1:] if base is not object)


def class_lines(cls: type, namer: Namer, module_name: str) -> list[str]:
    where = f"{module_name}.{cls.__qualname__}"
    namer.shadowed = {name for name in cls.__dict__ if hasattr(builtins, name)}
    bases = [namer.type_name(base) for base in cls.__bases__ if base is not object]
    lines = [f"class {cls.__name__}({', '.join(bases)}):" if bases else f"class {cls.__name__}:"]
    lines += docstring_lines(cls.__doc__, "    ")
    for name, value in cls.__dict__.items():
        if name in CLASS_BOOKKEEPING:
            continue
        lines += member_lines(cls, name, value, namer, f"{where}.{name}")
    if sets_attributes_at_run_time(cls):
        namer.imports.add("typing")
        lines.append("    # instance attributes are set at run time by __init__")
        lines.append("    def __getattr__(self, name: str) -> typing.Any: ...")
        if not foreign_base_defines(cls, "__setattr__"):
            lines.append("    def __setattr__(self, name: str, value: typing.Any) -> None: ...")
    namer.shadowed = set()
    if len(lines) == 1:
        lines.append("    ...")
    return lines


def module_stub(module: types.ModuleType) -> str:
    """The stub text of one module: its own public functions, classes and constants."""
    name = module.__name__
    namer = Namer(name)
    body: list[str] = []
    for attr, value in vars(module).items():
        if attr.startswith("_") or isinstance(value, types.ModuleType):
            continue
        if inspect.isclass(value):
            if value.__module__ == name and attr == value.__name__:
                body += [""] + class_lines(value, namer, name) + [""]
            elif value.__module__ == name:
                body.append(f"{attr} = {value.__name__}")
        elif callable(value):
            if getattr(value, "__module__", None) == name:
                body += function_lines(attr, value, namer, "", f"{name}.{attr}")
        elif isinstance(value, LITERAL_TYPES):
            body.append(f"{attr}: {namer.type_name(type(value))}")
    header = docstring_lines(module.__doc__, "")
    imports = [f"import {m}" for m in sorted(namer.imports)]
    sections = [s for s in (header, imports) if s]
    text = "\n\n".join("\n".join(s) for s in sections)
    return (text + "\n\n" if text else "") + "\n".join(body).strip("\n") + "\n"


def write_if_changed(path: Path, text: str) -> None:
    if not path.is_file() or path.read_text(encoding="utf-8") != text:
        path.write_text(text, encoding="utf-8")


def missing_dependency(exc: ImportError) -> str | None:
    """The name of a third-party module an import failed for, or None when the failure is ours."""
    missing = getattr(exc, "name", None)
    if isinstance(exc, ModuleNotFoundError) and missing and missing.split(".")[0] not in OWN_PACKAGES:
        return missing
    return None


def generate(modules_root: Path, source_root: Path) -> list[Path]:
    """Writes the stubs of every module under modules_root, or none when one cannot be made."""
    sys.path.insert(0, str(source_root))
    sys.meta_path.insert(0, BuiltModuleFinder(modules_root))
    os.environ.setdefault("MPLBACKEND", "Agg")
    os.environ.setdefault("WANDB_MODE", "offline")
    modules = extension_modules(modules_root)
    stubs = {path.with_name(name.rsplit(".", 1)[-1] + ".pyi"): module_stub(importlib.import_module(name))
             for name, path in modules.items()}
    for package in sorted({name.split(".")[0] for name in modules}):
        stubs[modules_root / package / "py.typed"] = ""
    for path, text in stubs.items():
        write_if_changed(path, text)
    return [path for path in stubs if path.suffix == ".pyi"]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=Path, required=True, help="tree holding the built extension modules")
    parser.add_argument("--source", type=Path, help="tree holding the pure-Python package files (default: --modules)")
    args = parser.parse_args(argv)
    try:
        written = generate(args.modules.resolve(), (args.source or args.modules).resolve())
    except ImportError as exc:
        dependency = missing_dependency(exc)
        if dependency is None:
            raise
        print(f"stubgen: typed stubs skipped: the modules import {dependency!r}, which this Python "
              f"({sys.executable}) lacks; install the run-time dependencies first to get them",
              file=sys.stderr)
        return 0
    except StubError as exc:
        print(f"stubgen: {exc}", file=sys.stderr)
        return 1
    print(f"stubgen: wrote {len(written)} stubs under {args.modules}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
