"""Every compiled module agrees with its .pyi stub: same public names, same parameters."""

import ast
import importlib
import inspect
import pathlib

import pytest

import tessom
import velkor

ROOTS = [pathlib.Path(velkor.__file__).parent, pathlib.Path(tessom.__file__).parent]
STUBS = sorted(stub for root in ROOTS for stub in root.rglob("*.pyi"))


def module_name(stub: pathlib.Path) -> str:
    for root in ROOTS:
        if root in stub.parents:
            return ".".join(stub.relative_to(root.parent).with_suffix("").parts)
    raise AssertionError(stub)


def stub_parameters(fn: ast.FunctionDef) -> list[tuple[str, object]]:
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = list(zip((a.arg for a in positional), defaults))
    params += list(zip((a.arg for a in args.kwonlyargs), (d if d is not None else inspect.Parameter.empty for d in args.kw_defaults)))
    result = []
    for name, default in params:
        if isinstance(default, ast.expr):
            default = ... if isinstance(default, ast.Constant) and default.value is ... else ast.literal_eval(default)
        result.append((name, default))
    return result


def runtime_parameters(obj) -> list[tuple[str, object]] | None:
    try:
        signature = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    return [(p.name, p.default) for p in signature.parameters.values()]


def assert_same_parameters(where: str, stub_fn: ast.FunctionDef, runtime) -> None:
    actual = runtime_parameters(runtime)
    if actual is None:
        return
    expected = stub_parameters(stub_fn)
    assert [n for n, _ in actual] == [n for n, _ in expected], where
    for (name, got), (_, want) in zip(actual, expected):
        if want is not ...:
            assert got == want or (got is want), f"{where}: default of {name}"


@pytest.mark.parametrize("stub", STUBS, ids=lambda p: module_name(p))
def test_stub_matches_module(stub):
    name = module_name(stub)
    module = importlib.import_module(name)
    tree = ast.parse(stub.read_text())
    stubbed = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            stubbed.add(node.name)
            assert hasattr(module, node.name), f"{name}.{node.name} is in the stub but not in the module"
        if isinstance(node, ast.FunctionDef):
            assert_same_parameters(f"{name}.{node.name}", node, getattr(module, node.name))
        elif isinstance(node, ast.ClassDef):
            cls = getattr(module, node.name)
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not item.decorator_list:
                    assert hasattr(cls, item.name), f"{name}.{node.name}.{item.name} missing"
                    assert_same_parameters(f"{name}.{node.name}.{item.name}", item, inspect.getattr_static(cls, item.name))
    public = {
        attr
        for attr, value in vars(module).items()
        if not attr.startswith("_") and callable(value) and getattr(value, "__module__", None) == name
    }
    assert public <= stubbed, f"{name}: not in the stub: {sorted(public - stubbed)}"
