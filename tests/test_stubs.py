"""The type stubs beside the three extension modules, checked against the modules themselves.

Both ways: every public name of a module (and of each of its classes and their instances) is
declared in its stub, and every declared name exists with the declared kind (class, function,
coroutine function, constant, property, ...), signature and type. Public means no leading
underscore, plus the underscore names the stub chooses to declare. Then mypy --strict checks the
stubs and a typed host client, and the client runs against the real modules.

The stubs are read from beside the imported modules, so an installed package is checked as
shipped. A mismatch names each missing or extra name, so a change to a module shows at once
which stub lines to add or drop.
"""

from __future__ import annotations

import ast
import collections.abc
import fnmatch
import importlib
import inspect
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import types
import typing
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from tarnlet_master.business_layer.packages import feedscout
from tarnlet_master.python_server import kernel, sensewire

MODULES = {m.__name__: m for m in (kernel, sensewire, feedscout)}
REPO = Path(__file__).resolve().parents[1]
CLIENT = Path(__file__).with_name("typed_host_client.py")

# How pybind11 spells the return type of a C++ coroutine in a function's signature line.
CORO_RETURN = "collections.abc.Coroutine"


# --- reading a stub ------------------------------------------------------------------------


@dataclass
class Decl:
    kind: str  # "class", "function", "coroutine function", "constant", "re-export"
    node: ast.AST | None = None
    annotation: str | None = None  # constants and attributes
    source: tuple[str, str] | None = None  # re-exports: (module, attribute)
    members: dict[str, Decl] = field(default_factory=dict)  # classes


def _decorators(node: ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef) -> set[str]:
    return {ast.unparse(d).rsplit(".", 1)[-1] for d in node.decorator_list}


def _function_kind(node: ast.FunctionDef | ast.AsyncFunctionDef, in_class: bool) -> str:
    decorators = _decorators(node)
    if "property" in decorators:
        return "property"
    if "staticmethod" in decorators:
        return "static method"
    if "classmethod" in decorators:
        return "class method"
    if isinstance(node, ast.AsyncFunctionDef):
        return "coroutine method" if in_class else "coroutine function"
    return "method" if in_class else "function"


def _annotation_root(annotation: ast.expr) -> str:
    target = annotation.value if isinstance(annotation, ast.Subscript) else annotation
    return ast.unparse(target).rsplit(".", 1)[-1]


def _read_body(body: list[ast.stmt], in_class: bool) -> dict[str, Decl]:
    decls: dict[str, Decl] = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            decls[node.name] = Decl(_function_kind(node, in_class), node)
        elif isinstance(node, ast.ClassDef):
            if "type_check_only" in _decorators(node):
                continue  # a typing aid that exists only in the stub
            decls[node.name] = Decl("class", node, members=_read_body(node.body, in_class=True))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            root = _annotation_root(node.annotation)
            if root == "TypeAlias":
                continue
            kind = "class attribute" if in_class and root in ("ClassVar", "Final") else "attribute"
            decls[node.target.id] = Decl(kind if in_class else "constant", node, ast.unparse(node.annotation))
        elif isinstance(node, ast.ImportFrom) and not in_class:
            # Only "from M import X as X" re-exports X; other imports serve the stub alone.
            module = "." * node.level + (node.module or "")
            for alias in node.names:
                if alias.asname == alias.name:
                    decls[alias.name] = Decl("re-export", node, source=(module, alias.name))
        elif isinstance(node, ast.Import) and not in_class:
            for alias in node.names:
                if alias.asname == alias.name:
                    decls[alias.name] = Decl("re-export", node, source=(alias.name, ""))
    return decls


def stub_path(module: types.ModuleType) -> Path:
    return Path(module.__file__).with_name(module.__name__.rsplit(".", 1)[-1] + ".pyi")


_STUBS: dict[str, tuple[dict[str, Decl], dict[str, typing.Any]]] = {}


def stub_of(module: types.ModuleType) -> tuple[dict[str, Decl], dict[str, typing.Any]]:
    """The stub's declarations, and a namespace in which its annotations can be evaluated."""
    if module.__name__ not in _STUBS:
        source = stub_path(module).read_text(encoding="utf-8")
        tree = ast.parse(source)
        namespace: dict[str, typing.Any] = {"__name__": "_stub_of_" + module.__name__.replace(".", "_"),
                                            "__package__": module.__package__}
        decls = _read_body(tree.body, in_class=False)
        # Executed with postponed annotations, a stub is an ordinary module of placeholder
        # definitions: its imports and classes are what the annotations name. Typing helpers
        # that exist only for type checkers (type_check_only) become no-op decorators.
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.module == "typing":
                stub_only = [a.name for a in node.names if not hasattr(typing, a.name)]
                namespace.update({n: (lambda obj: obj) for n in stub_only})
                node.names = [a for a in node.names if a.name not in stub_only] or [ast.alias("Any")]
        tree.body.insert(0, ast.ImportFrom("__future__", [ast.alias("annotations")], 0))
        exec(compile(ast.fix_missing_locations(tree), str(stub_path(module)), "exec"), namespace)
        # Annotations that name a class of the module mean the module's class, not the placeholder.
        namespace.update({n: getattr(module, n) for n, d in decls.items() if d.kind == "class" and hasattr(module, n)})
        _STUBS[module.__name__] = (decls, namespace)
    return _STUBS[module.__name__]


def resolve_source(module: types.ModuleType, source: tuple[str, str]) -> typing.Any:
    name, attribute = source
    if name.startswith("."):
        imported = importlib.import_module(name, module.__package__) if name.strip(".") else None
        if imported is None:  # "from . import x": x is a module of the package
            return importlib.import_module("." + attribute, module.__package__)
    else:
        imported = importlib.import_module(name)
    if not attribute:
        return imported
    if hasattr(imported, attribute):
        return getattr(imported, attribute)
    return importlib.import_module(imported.__name__ + "." + attribute)


# --- reading a module ----------------------------------------------------------------------


def _unwrap(obj: typing.Any) -> typing.Any:
    """The function inside the instance-method wrapper that C++ methods of a class come in."""
    return obj.__func__ if type(obj).__name__ == "instancemethod" else obj


def _signature_line(obj: typing.Any) -> str | None:
    doc = getattr(obj, "__doc__", None) or ""
    first = doc.strip().splitlines()[0] if doc.strip() else ""
    return first if re.match(r"^\w+\(.*\)( -> .+)?$", first) else None


def is_coroutine_function(obj: typing.Any) -> bool:
    obj = _unwrap(obj)
    if inspect.iscoroutinefunction(obj):
        return True
    line = _signature_line(obj) if inspect.isbuiltin(obj) else None
    return line is not None and line.endswith("-> " + CORO_RETURN)


def runtime_kind(value: typing.Any, in_class: bool = False) -> str:
    if isinstance(value, type):
        return "class"
    if isinstance(value, property):
        return "property"
    if isinstance(value, staticmethod):
        return "static method"
    if isinstance(value, classmethod):
        return "class method"
    if isinstance(value, types.ModuleType):
        return "module"
    if callable(value) and (inspect.isroutine(value) or inspect.isbuiltin(value)):
        if is_coroutine_function(value):
            return "coroutine method" if in_class else "coroutine function"
        return "method" if in_class else "function"
    return "class attribute" if in_class else "constant"


def is_plain_import(name: str, value: typing.Any) -> bool:
    """A module bound under its own name from outside the project: an implementation detail."""
    return (
        isinstance(value, types.ModuleType)
        and value.__name__.rsplit(".", 1)[-1] == name
        and not value.__name__.startswith("tarnlet_master.")
    )


def public_module_names(module: types.ModuleType) -> dict[str, str]:
    return {
        name: runtime_kind(value)
        for name, value in vars(module).items()
        if not name.startswith("_") and not is_plain_import(name, value)
    }


CLASS_BOOKKEEPING = {"__module__", "__qualname__", "__dict__", "__weakref__", "__doc__", "__annotations__",
                     "__abstractmethods__", "_abc_impl", "__orig_bases__", "__parameters__", "__slots__"}


def public_class_members(cls: type) -> dict[str, str]:
    members = {}
    for name, value in vars(cls).items():
        if name in CLASS_BOOKKEEPING or (name.startswith("_") and not name.startswith("__")):
            continue
        kind = runtime_kind(value, in_class=True)
        if name.startswith("__") and kind == "class attribute":
            continue
        members[name] = kind
    return members


def stub_classes() -> list[tuple[types.ModuleType, str]]:
    return [(m, n) for m in MODULES.values() if stub_path(m).is_file()
            for n, d in stub_of(m)[0].items() if d.kind == "class"]


# --- does a value fit an annotation --------------------------------------------------------

IO_TYPES = (typing.IO, typing.TextIO, typing.BinaryIO)


def conforms(value: typing.Any, hint: typing.Any) -> bool:
    """A shallow runtime reading of a type hint: the value's class, and one level of items."""
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if hint is typing.Any:
        return True
    if hint is None or hint is type(None):
        return value is None
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, arg) for arg in args)
    if origin in (typing.Final, typing.ClassVar):
        return conforms(value, args[0]) if args else True
    if origin is collections.abc.Callable or hint is collections.abc.Callable:
        return callable(value)
    if origin is type:
        return isinstance(value, type) and (args[0] is typing.Any or issubclass(value, args[0]))
    if origin is not None:
        if not isinstance(value, origin):
            return False
        if origin is dict and len(args) == 2:
            return all(conforms(k, args[0]) and conforms(v, args[1]) for k, v in value.items())
        if origin in (list, set, frozenset) and len(args) == 1:
            return all(conforms(item, args[0]) for item in value)
        return True
    if hint in IO_TYPES:
        return all(hasattr(value, a) for a in ("write", "flush"))
    if isinstance(hint, type) and getattr(hint, "_is_protocol", False):
        return all(hasattr(value, a) for a in vars(hint) if not a.startswith("_"))
    if isinstance(hint, type):
        return isinstance(value, hint)
    if callable(hint):  # a factory that typeshed presents as a class, e.g. threading.Lock
        return isinstance(value, type(hint()))
    raise AssertionError(f"cannot read the hint {hint!r}")


def evaluate(annotation: str, namespace: dict[str, typing.Any]) -> typing.Any:
    return eval(annotation, namespace)  # noqa: S307 - the stub's own annotation text


# --- signatures ----------------------------------------------------------------------------


@dataclass
class Params:
    names: list[str]
    defaults: dict[str, typing.Any]  # name -> literal default, or Ellipsis when not a literal
    varargs: tuple[str | None, str | None]


def _params_of(args: ast.arguments, drop_first: bool) -> Params:
    positional = [*args.posonlyargs, *args.args]
    defaults: dict[str, typing.Any] = {}
    for arg, default in zip(positional[len(positional) - len(args.defaults):], args.defaults):
        defaults[arg.arg] = _literal(default)
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        if default is not None:
            defaults[arg.arg] = _literal(default)
    names = [a.arg for a in [*positional, *args.kwonlyargs]]
    if drop_first and names:
        names = names[1:]
    return Params(names, defaults, (args.vararg and args.vararg.arg, args.kwarg and args.kwarg.arg))


def _literal(node: ast.expr) -> typing.Any:
    try:
        return ast.literal_eval(node)
    except ValueError:
        return Ellipsis


def runtime_params(obj: typing.Any, method: bool) -> Params | None:
    obj = _unwrap(obj)
    line = _signature_line(obj) if inspect.isbuiltin(obj) else None
    if line is None:
        return None
    head = line.rsplit(" -> ", 1)[0] if " -> " in line else line
    tree = ast.parse(f"def {head}: pass")
    function = tree.body[0]
    assert isinstance(function, ast.FunctionDef)
    return _params_of(function.args, drop_first=method)


def check_signature(label: str, node: ast.AST, obj: typing.Any, method: bool) -> list[str]:
    assert isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))
    actual = runtime_params(obj, method)
    if actual is None:
        return []  # a Python function: mypy reads its own annotations
    declared = _params_of(node.args, drop_first=method)
    problems = []
    if declared.names != actual.names or declared.varargs != actual.varargs:
        problems.append(f"{label}: stub parameters {declared.names} {declared.varargs}, "
                        f"module has {actual.names} {actual.varargs}")
    if set(declared.defaults) != set(actual.defaults):
        problems.append(f"{label}: stub defaults for {sorted(declared.defaults)}, module for {sorted(actual.defaults)}")
    for name, value in declared.defaults.items():
        if value is not Ellipsis and name in actual.defaults and actual.defaults[name] != value:
            problems.append(f"{label}: stub default {name}={value!r}, module has {actual.defaults[name]!r}")
    return problems


# --- module level --------------------------------------------------------------------------


@pytest.fixture(params=sorted(MODULES), ids=lambda name: name.rsplit(".", 1)[-1])
def module(request: pytest.FixtureRequest) -> types.ModuleType:
    return MODULES[request.param]


def test_the_stub_and_the_marker_lie_beside_the_module(module):
    assert stub_path(module).is_file(), f"no stub beside {module.__file__}"
    package_root = Path(importlib.import_module("tarnlet_master").__file__).parent
    assert (package_root / "py.typed").is_file()


def test_every_public_name_of_the_module_is_stubbed(module):
    decls, _ = stub_of(module)
    missing = {n: k for n, k in public_module_names(module).items() if n not in decls}
    assert not missing, f"{module.__name__}: public names missing from the stub: " + ", ".join(
        f"{n} ({k})" for n, k in sorted(missing.items()))


def test_every_stubbed_name_exists_with_its_kind(module):
    decls, namespace = stub_of(module)
    absent = sorted(n for n in decls if not hasattr(module, n))
    assert not absent, f"{module.__name__}: stubbed names the module does not have: {', '.join(absent)}"
    wrong = []
    for name, decl in decls.items():
        value = getattr(module, name)
        actual = runtime_kind(value)
        if decl.kind == "re-export":
            if value is not resolve_source(module, decl.source):
                wrong.append(f"{name}: stub re-exports {decl.source}, module holds {value!r}")
        elif decl.kind == "constant":
            if not conforms(value, evaluate(decl.annotation, namespace)):
                wrong.append(f"{name}: stub says constant {decl.annotation}, module has {actual} {value!r}")
        elif decl.kind != actual:
            wrong.append(f"{name}: stub says {decl.kind}, module has {actual}")
        elif decl.kind == "class" and value.__module__ != module.__name__:
            wrong.append(f"{name}: stub defines the class, module re-exports it from {value.__module__}")
        elif decl.kind in ("function", "coroutine function"):
            wrong += check_signature(name, decl.node, value, method=False)
    assert not wrong, f"{module.__name__}:\n  " + "\n  ".join(wrong)


def test_stubbed_classes_have_the_module_bases(module):
    decls, namespace = stub_of(module)
    wrong = []
    for name, decl in decls.items():
        if decl.kind != "class":
            continue
        assert isinstance(decl.node, ast.ClassDef)
        declared = tuple(evaluate(ast.unparse(base), namespace) for base in decl.node.bases)
        declared = tuple(typing.get_origin(b) or b for b in declared) or (object,)
        if getattr(module, name).__bases__ != declared:
            wrong.append(f"{name}: stub bases {declared}, module bases {getattr(module, name).__bases__}")
    assert not wrong, "\n".join(wrong)


# --- classes and their instances -----------------------------------------------------------


@pytest.fixture(params=stub_classes(), ids=lambda p: p[1])
def stub_class(request: pytest.FixtureRequest) -> tuple[types.ModuleType, str]:
    return request.param


def test_every_public_member_of_a_class_is_stubbed(stub_class):
    module, name = stub_class
    members = stub_of(module)[0][name].members
    missing = {n: k for n, k in public_class_members(getattr(module, name)).items() if n not in members}
    assert not missing, f"{module.__name__}.{name}: public members missing from the stub: " + ", ".join(
        f"{n} ({k})" for n, k in sorted(missing.items()))


def test_every_stubbed_member_of_a_class_exists_with_its_kind(stub_class):
    module, name = stub_class
    cls = getattr(module, name)
    namespace = stub_of(module)[1]
    wrong = []
    for member, decl in stub_of(module)[0][name].members.items():
        label = f"{name}.{member}"
        if decl.kind == "attribute":
            continue  # instance state: checked on a live instance below
        found = [vars(k)[member] for k in cls.__mro__ if member in vars(k)]
        if not found:
            wrong.append(f"{label}: stubbed, the class has no such member")
            continue
        actual = runtime_kind(found[0], in_class=True)
        if decl.kind == "class attribute":
            if actual != "class attribute" or not conforms(found[0], evaluate(decl.annotation, namespace)):
                wrong.append(f"{label}: stub says class attribute {decl.annotation}, class has {actual} {found[0]!r}")
        elif decl.kind != actual:
            wrong.append(f"{label}: stub says {decl.kind}, class has {actual}")
        elif decl.kind in ("method", "coroutine method"):
            wrong += check_signature(label, decl.node, found[0], method=True)
        elif decl.kind in ("static method", "class method"):
            wrong += check_signature(label, decl.node, found[0].__func__, method=decl.kind == "class method")
    assert not wrong, f"{module.__name__}:\n  " + "\n  ".join(wrong)


@pytest.fixture
def instances():
    """One fresh instance of every stubbed class, built as its callers build it."""
    k = kernel.PythonKernel("stub-check", port="1")
    bridge = sensewire.Sensewire()
    made = {
        "PythonKernel": k,
        "MessageBatcher": kernel.MessageBatcher(k),
        "CodeExecutor": kernel.CodeExecutor(),
        "VirtualEnvironment": kernel.VirtualEnvironment("stub-check"),
        "InMemoryModuleLoader": kernel.InMemoryModuleLoader(),
        "StreamCapture": kernel.StreamCapture(lambda text: None),
        "KernelStreamHook": kernel.KernelStreamHook("stdout", lambda kind, text: None),
        "Sensewire": bridge,
        "Feedscout": feedscout.Feedscout(None),
        "_dummy_dist": feedscout._dummy_dist("json", "3.11"),
        "_dummy_metadata": feedscout._dummy_metadata(Name="json", Version="3.11"),
    }
    yield made
    k._thread_pool.shutdown(wait=False)
    k._sensewire.cleanup()
    bridge.cleanup()


def test_instance_attributes_match_the_stub_both_ways(stub_class, instances):
    module, name = stub_class
    assert name in instances, f"add a way to build a {name} to the instances fixture"
    instance = instances[name]
    members = stub_of(module)[0][name].members
    namespace = stub_of(module)[1]
    state = vars(instance) if hasattr(instance, "__dict__") else {}
    wrong = [f"{n}: public instance attribute missing from the stub"
             for n in sorted(state) if not n.startswith("_") and n not in members]
    for member, decl in members.items():
        if decl.kind != "attribute":
            continue
        if member not in state and not hasattr(type(instance), member):
            wrong.append(f"{member}: stubbed, a new instance has no such attribute")
        elif not conforms(getattr(instance, member), evaluate(decl.annotation, namespace)):
            wrong.append(f"{member}: stub says {decl.annotation}, instance holds {getattr(instance, member)!r}")
    assert not wrong, f"{module.__name__}.{name}:\n  " + "\n  ".join(wrong)


# --- the readers of this test, checked on known cases --------------------------------------


def test_coroutine_functions_are_told_from_plain_ones():
    assert is_coroutine_function(kernel.main)
    assert is_coroutine_function(kernel.PythonKernel.send_message)
    assert not is_coroutine_function(kernel.PythonKernel.save_object)
    assert not is_coroutine_function(kernel.json_dumps)

    async def native() -> None: ...

    assert is_coroutine_function(native)
    assert not is_coroutine_function(len)


def test_the_hint_reader_refuses_what_does_not_fit(instances):
    assert conforms({"a": 1}, dict[str, int]) and not conforms({"a": "1"}, dict[str, int])
    assert conforms(None, int | None) and not conforms(1.5, int | None)
    assert conforms(re.compile("x"), typing.Final[re.Pattern[str]]) and not conforms("x", re.Pattern[str])
    assert conforms(dict, type[typing.Any] | None) and not conforms(dict, type[list])
    assert conforms(instances["PythonKernel"]._object_keeper_lock, threading.Lock)
    assert not conforms(object(), threading.Lock)
    assert conforms(instances["PythonKernel"], kernel.PythonKernel) and not conforms(object(), kernel.PythonKernel)


def test_the_signature_check_names_wrong_parameters_and_defaults():
    node = ast.parse("def show_message_box(self, message: str, title: str = 'Title', kind: str = 'Info') -> None: ...")
    problems = check_signature("show_message_box", node.body[0], kernel.PythonKernel.show_message_box, method=True)
    assert any("'kind'" in p and "'type'" in p for p in problems)
    assert any("title='Title'" in p for p in problems)


# --- shipping ------------------------------------------------------------------------------


def test_the_wheel_keeps_the_stubs():
    tomllib = pytest.importorskip("tomllib")
    config = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["tool"]["scikit-build"]
    assert config["wheel"]["packages"] == ["python/tarnlet_master"]
    shipped = [p.relative_to(REPO / "python").as_posix()
               for p in (REPO / "python" / "tarnlet_master").rglob("*") if p.suffix == ".pyi" or p.name == "py.typed"]
    assert {"tarnlet_master/py.typed", "tarnlet_master/python_server/kernel.pyi",
            "tarnlet_master/python_server/sensewire.pyi",
            "tarnlet_master/business_layer/packages/feedscout.pyi"} <= set(shipped)
    # fnmatch's "*" also crosses "/", so it matches at least what the wheel's patterns match.
    dropped = [p for p in shipped for pattern in config["wheel"].get("exclude", [])
               if fnmatch.fnmatch(p, pattern) or fnmatch.fnmatch("python/" + p, pattern)]
    assert not dropped, f"wheel.exclude drops {dropped}"


# --- the type checker and the typed client -------------------------------------------------


def test_mypy_strict_accepts_the_stubs_and_the_typed_client(tmp_path):
    env = dict(os.environ)
    # A copy of the package as it is imported (installed or a build tree), so that mypy
    # reads these stubs as sources: named inside site-packages, they would make all of
    # site-packages a source root, and mypy keeps quiet about errors in installed packages.
    package = Path(importlib.import_module("tarnlet_master").__file__).parent
    source = tmp_path / "src"
    shutil.copytree(package, source / "tarnlet_master", ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    env["MYPYPATH"] = str(source)
    files = [str(CLIENT), *(str(source / (m.__name__.replace(".", "/") + ".pyi")) for m in MODULES.values())]
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), *files],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_typed_client_runs_against_the_modules():
    result = subprocess.run([sys.executable, str(CLIENT)], capture_output=True, text=True, timeout=300,
                            stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr[-4000:]
    seen = json.loads(result.stdout.strip().splitlines()[-1])

    session = seen["kernel"]
    assert session["execution_result"] == repr(6 * 7)
    assert (session["function_status"], session["function_result"]) == ("success", 42)
    assert "double" in session["completions"]
    assert session["kernel_exit_code"] == 0

    local = seen["in_process"]
    assert local["registry"] == [{"key": "answer", "type": "int", "repr": "42"}]
    assert local["stdout"] == "out\n" and local["debugger"] is False and local["module_known"] is True

    language = seen["language"]
    assert "greet" in language["completions"]
    assert "greet" in language["hover"] and language["signatures"]
    assert any("undefined_name" in message for message in language["diagnostics"])

    packages = seen["packages"]
    assert packages["versions"] == ["2.0rc1", "1.10", "1.0"]
    assert packages["extras"] == ["cli"] and packages["dependencies"] == ["attrs", "rich"]
    assert packages["repo"].startswith("http://127.0.0.1:") and packages["repo"].endswith("/simple/")
    assert packages["aiohttp_installed"]

