"""The type stubs and the running code agree: the same public names, the same
methods with the same overloads and argument names, and the same doc strings.
Checked for every module that ships a stub beside its sources."""

import ast
import importlib
import inspect
import json
import os
import re
import subprocess
import sys

import pytest
from conftest import REPO

SOURCES = REPO / "Source" / "PythonModule"
# The client package from the sources, unless one is already importable.
if str(SOURCES) not in sys.path:
    sys.path.append(str(SOURCES))


def stubbed_modules():
    """(module name, stub path) for every .pyi under the Python sources."""
    found = []
    for stub in sorted(SOURCES.rglob("*.pyi")):
        parts = stub.relative_to(SOURCES).with_suffix("").parts
        if parts[-1] == "__init__":
            parts = parts[:-1]
        found.append(pytest.param(".".join(parts), stub, id=".".join(parts)))
    return found


def normal(text):
    return " ".join((text or "").split())


def stub_arguments(node):
    args = node.args
    names = [a.arg for a in args.posonlyargs + args.args]
    if args.vararg:
        names.append("*" + args.vararg.arg)
    names += [a.arg for a in args.kwonlyargs]
    if args.kwarg:
        names.append("**" + args.kwarg.arg)
    return names


def stub_members(body):
    """name -> list of (argument names, doc) per overload; properties and
    attributes map to None."""
    members = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            decorators = {getattr(d, "id", getattr(d, "attr", "")) for d in node.decorator_list}
            if "property" in decorators:
                members[node.name] = None
            else:
                members.setdefault(node.name, []).append((stub_arguments(node), normal(ast.get_docstring(node))))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            members[node.target.id] = None
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    members[target.id] = None
        elif isinstance(node, ast.ClassDef):
            members[node.name] = node
    return members


def _parameter_names(text):
    names, depth, current = [], 0, ""
    for char in text + ",":
        if char in "([":
            depth += 1
        elif char in ")]":
            depth -= 1
        if char == "," and depth == 0:
            if current.strip():
                names.append(current.split(":")[0].split("=")[0].strip())
            current = ""
        else:
            current += char
    return names


def runtime_overloads(function):
    """(argument names, doc) per overload of a bound function."""
    if inspect.isfunction(function):
        signature = inspect.signature(function)
        names = [
            ("*" if p.kind is p.VAR_POSITIONAL else "**" if p.kind is p.VAR_KEYWORD else "") + p.name
            for p in signature.parameters.values()
        ]
        return [(names, normal(inspect.getdoc(function)))]
    name = function.__name__
    pattern = re.compile(rf"^(?:\d+\. )?{re.escape(name)}\((.*)\) -> .*$")
    overloads, doc = [], []
    for line in (function.__doc__ or "").splitlines():
        match = pattern.match(line)
        if match:
            overloads.append((_parameter_names(match.group(1)), doc := []))
        elif overloads and line != "Overloaded function.":
            doc.append(line)
    return [(names, normal("\n".join(lines))) for names, lines in overloads]


def public(names):
    return {n for n in names if not n.startswith("_") or (n.startswith("__") and n.endswith("__"))}


# Special methods the classes define for users; others (comparison, hashing
# of enumerations) come from the binding library and are checked by name only
# where the stub declares them.
USER_DUNDERS = {"__enter__", "__exit__"}


@pytest.mark.parametrize("module_name, stub", stubbed_modules())
def test_the_stub_matches_the_runtime(module_name, stub, hv):
    module = importlib.import_module(module_name)
    tree = ast.parse(stub.read_text(), filename=str(stub))
    stubbed = stub_members(tree.body)
    problems = []

    runtime_names = {n for n in dir(module) if not n.startswith("_")}
    stub_names = {n for n in stubbed if not n.startswith("_")}
    # Type aliases (plain or TypeAlias assignments in the stub) exist for checkers only.
    aliases = {t.id for n in tree.body if isinstance(n, ast.Assign) for t in n.targets if isinstance(t, ast.Name)}
    aliases |= {
        n.target.id
        for n in tree.body
        if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name) and ast.unparse(n.annotation) == "TypeAlias"
    }
    if runtime_names != stub_names - aliases:
        problems.append(
            f"module names: only at run time {sorted(runtime_names - stub_names)}, "
            f"only in the stub {sorted(stub_names - aliases - runtime_names)}"
        )
    if normal(module.__doc__) and not normal(ast.get_docstring(tree)):
        problems.append("the stub has no module doc string")

    for class_name, node in stubbed.items():
        if not isinstance(node, ast.ClassDef) or not hasattr(module, class_name):
            continue
        cls = getattr(module, class_name)
        members = stub_members(node.body)
        enumeration = hasattr(cls, "__members__")
        if not enumeration and normal(cls.__doc__) != normal(ast.get_docstring(node)):
            problems.append(
                f"{class_name}: class doc differs:\n  runtime {normal(cls.__doc__)!r}\n"
                f"  stub    {normal(ast.get_docstring(node))!r}"
            )
        runtime_members = {n for n in cls.__dict__ if not n.startswith("_") or n in USER_DUNDERS}
        if enumeration:
            runtime_members = set(cls.__members__) | {"name", "value"}
        stub_public = {n for n in members if not n.startswith("_") or n in USER_DUNDERS}
        if enumeration:  # members are annotated attributes, whatever their names
            stub_public = {n for n, value in members.items() if value is None}
        if runtime_members != stub_public:
            problems.append(
                f"{class_name}: only at run time {sorted(runtime_members - stub_public)}, "
                f"only in the stub {sorted(stub_public - runtime_members)}"
            )
        problems += [f"{class_name}.{n}: in the stub, not at run time" for n in members if not hasattr(cls, n)]
        for member, overloads in members.items():
            documented = any(doc for _, doc in overloads or ())
            if not overloads or member not in cls.__dict__ or (member.startswith("_") and not documented):
                continue
            runtime = runtime_overloads(getattr(cls, member))
            if [names for names, _ in runtime] != [names for names, _ in overloads]:
                problems.append(
                    f"{class_name}.{member}: arguments differ:\n  runtime {[n for n, _ in runtime]}\n"
                    f"  stub    {[n for n, _ in overloads]}"
                )
            for i, ((_, runtime_doc), (_, stub_doc)) in enumerate(zip(runtime, overloads, strict=False)):
                if runtime_doc != stub_doc:
                    problems.append(
                        f"{class_name}.{member} overload {i + 1}: doc differs:\n"
                        f"  runtime {runtime_doc!r}\n  stub    {stub_doc!r}"
                    )
    assert not problems, "\n".join(problems)


def test_connection_methods_take_keywords_and_show_their_signature(hv):
    c = hv.Connection()
    # Every method of Connection has a doc string and a signature that names
    # its arguments; keyword arguments reach the same overloads as positions.
    for name in vars(hv.Connection):
        if name.startswith("_") and name not in {"__init__", "__enter__", "__exit__"}:
            continue
        function = getattr(hv.Connection, name)
        assert normal(function.__doc__), name
        parameters = list(inspect.signature(function).parameters)
        assert parameters[0] == "self", (name, parameters)
    assert str(inspect.signature(c.WriteVrValue)) == "(index, value)"
    # An overloaded name shows the forms that extend one another as one
    # signature; a form named otherwise stays in the doc string.
    merged = {
        "ReadAxisParam": "(self, /, param_name, axis, result=Ellipsis)",
        "ReadVrValue": "(self, /, index, value=Ellipsis)",
        "ReadMultiVrValues": "(self, /, start_index, count, value=Ellipsis)",
        "Cancel": "(self, /, mode, axis=Ellipsis)",
        "Ex": "(self, /, mode=Ellipsis)",
        "MoveAbs": "(self, /, pos, axis)",
        "DefPos": "(self, /, pos, axis)",
    }
    assert {name: str(inspect.signature(getattr(hv.Connection, name))) for name in merged} == merged
    assert "2. MoveAbs(self: Vantrel_HolvaneAPI.Connection, positions:" in hv.Connection.MoveAbs.__doc__
    assert c.WriteVrValue(index=3, value=1.5) == hv.ErrorCode.ConnectionContext
    assert c.ReadVrValue(index=3) == (hv.ErrorCode.ConnectionContext, 0.0)
    assert c.ReadAxisParam(param_name="DPOS", axis=0) == (hv.ErrorCode.ConnectionContext, 0.0)
    assert c.MoveAbs(positions=[1.0, 2.0]) == hv.ErrorCode.ConnectionContext
    with pytest.raises(TypeError):
        c.WriteVrValue(index=3, val=1.5)
    assert "index: " in hv.Connection.WriteVrValue.__doc__
    assert hv.Connection.__doc__.startswith("One connection context to one controller.")


def python_modules():
    """The pure-Python modules of the client package, by dotted name."""
    found = []
    for source in sorted((SOURCES / "holvane").rglob("*.py")):
        parts = source.relative_to(SOURCES).with_suffix("").parts
        if parts[-1] == "__init__":
            parts = parts[:-1]
        elif parts[-1].startswith("_") or parts[-1] == "__main__":
            continue
        found.append(pytest.param(".".join(parts), id=".".join(parts)))
    return found


@pytest.mark.parametrize("module_name", python_modules())
def test_the_client_package_is_typed_and_documented(module_name, hv):
    # Its sources are its own stubs (py.typed): every public name it exports
    # exists, its public functions and classes have doc strings, and every
    # public function and method has annotations on every argument and on
    # its result.
    module = importlib.import_module(module_name)
    names = getattr(module, "__all__", None)
    problems = [] if names is not None else [f"{module_name} has no __all__"]
    names = names or []
    problems += [f"{module_name}.__all__ names {n}, which does not exist" for n in names if not hasattr(module, n)]
    defined_here = [
        n
        for n, v in vars(module).items()
        if not n.startswith("_") and getattr(v, "__module__", None) == module_name and inspect.isclass(v)
    ]
    problems += [f"{module_name}.{n} is public but not in __all__" for n in defined_here if n not in names]
    assert (SOURCES / "holvane" / "py.typed").exists()

    def check(qualified, function, documented=True):
        if documented and not normal(inspect.getdoc(function)):
            problems.append(f"{qualified}: no doc string")
        signature = inspect.signature(function)
        for parameter in signature.parameters.values():
            if parameter.name not in ("self", "cls") and parameter.annotation is parameter.empty:
                problems.append(f"{qualified}: argument {parameter.name} has no annotation")
        if signature.return_annotation is signature.empty and function.__name__ != "__init__":
            problems.append(f"{qualified}: no result annotation")

    for name in names:
        value = getattr(module, name, None)
        if inspect.isfunction(value):
            check(f"{module_name}.{name}", value)
        elif inspect.isclass(value) and value.__module__.startswith("holvane"):
            if not normal(value.__doc__):
                problems.append(f"{module_name}.{name}: no class doc string")
            for member, function in vars(value).items():
                if inspect.isfunction(function) and not member.startswith("_"):
                    check(f"{module_name}.{name}.{member}", function, documented=False)
                elif isinstance(function, property) and not member.startswith("_"):
                    # help() shows a property with its doc string.
                    if not normal(function.__doc__):
                        problems.append(f"{module_name}.{name}.{member}: property without a doc string")
                    check(f"{module_name}.{name}.{member}", function.fget, documented=False)
    # What help() and reprs show of the package's objects: real types, no ForwardRef.
    for name in names:
        value = getattr(module, name, None)
        if inspect.isclass(value) and value.__module__.startswith("holvane"):
            try:
                shown = str(inspect.signature(value))
            except ValueError:
                continue
            if "ForwardRef" in shown:
                problems.append(f"{module_name}.{name}: signature shows {shown}")
    assert not problems, "\n".join(problems)


TYPED_CODE = """
import numpy as np
import numpy.typing as npt
import Vantrel_HolvaneAPI as hv

import holvane
import holvane.aio


def module_face() -> float:
    with hv.Connection() as c:  # leaving the block never swallows an exception
        code, value = c.ReadVrValue(1)
        assert code == hv.ErrorCode.NoError and c.ReadVrValue(1, 0.0) == hv.ErrorCode.NoError
        assert c.MoveAbs(1.0, 0) == c.MoveAbs([1.0, 2.0]) == c.Cancel(0) == c.Cancel(0, 1) == c.Ex()
        _, dpos = c.ReadAxisParam("DPOS", 0)
        return value + dpos


def blocking_face() -> float:
    with holvane.connect("127.0.0.1") as c:
        values: list[float] = c.vr[0:4]
        one: float = c.vr[1]
        c.vr[2] = 1.5
        info: holvane.ControllerInfo = c.info()
        with c.batch() as b:
            pending: holvane.BatchResult = b.read_vr(1)
        return one + sum(values) + info.axis_count + (pending.value or 0.0) + c.axis(0).dpos


async def asyncio_face() -> float:
    async with holvane.aio.connect("127.0.0.1") as c:
        value: float = await c.read_vr(1)
        block: list[float] = await c.read_vr_block(0, 2)
        position: float = await c.axis(0).dpos
        await c.axis(0).move_abs(1.0, sp=True)
        return value + position + sum(block)


def recording_face() -> float:
    with holvane.connect("127.0.0.1", nodelay=True) as c:
        rec: holvane.Recording = c.record(["DPOS(0)", "VR(10)"], 1000, 1.0, realtime=True)
        dpos: npt.NDArray[np.float64] = rec["DPOS(0)"]
        seq: npt.NDArray[np.int64] = rec.seq
        with c.recorder("MPOS(1)", 100.0, in_flight=8) as r:
            blocks: list[holvane.Recording] = list(r)
        with c.watch(["VR(1)"], 0.1, deadband=0.5) as w:
            previous: float | None = next(iter(w)).previous
        with c.on_change("VR(2)", lambda change: None, 0.1):
            pass
        return float(dpos[0]) + float(seq[0]) + rec.stats.send_error.p99 + len(blocks) + (previous or 0.0)


async def asyncio_recording() -> int:
    async with holvane.aio.connect("127.0.0.1") as c:
        rec: holvane.Recording = await c.record("DPOS(0)", 100, 0.5)
        async with c.recorder("DPOS(0)", 100) as r:
            async for part in r:
                rec = holvane.Recording.concat([rec, part])
        async with c.watch("VR(1)", 0.1) as w:
            async for change in w:
                return len(rec) + int(change.value)
        return len(rec)
"""


def test_both_type_checkers_accept_typical_code(tmp_path):
    # The module's stub and the package's annotations as a user's checker
    # sees them: overloads resolved, with-blocks that return, coroutines typed.
    source = tmp_path / "typical.py"
    source.write_text(TYPED_CODE)
    env = dict(os.environ, MYPYPATH=str(SOURCES))
    mypy = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(source)],
        capture_output=True,
        text=True,
        env=env,
        cwd=tmp_path,
        timeout=300,
        check=False,
    )
    assert mypy.returncode == 0, mypy.stdout + mypy.stderr
    (tmp_path / "pyrightconfig.json").write_text(json.dumps({"extraPaths": [str(SOURCES)]}))
    pyright = subprocess.run(
        [sys.executable, "-m", "pyright", str(source)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
        check=False,
    )
    assert pyright.returncode == 0 and "0 errors" in pyright.stdout, pyright.stdout + pyright.stderr


def test_help_shows_the_accessors_and_settings(hv):
    import pydoc

    import holvane

    text = pydoc.render_doc(holvane.Controller, renderer=pydoc.plaintext)
    for name in ("vr", "table", "vr_string", "host", "port", "connected", "allow_nonfinite"):
        assert re.search(rf"\n \|  {name}\n \|      \S", text), name
