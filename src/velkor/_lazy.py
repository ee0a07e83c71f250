"""Lazy package re-exports: a name loads its extension module on first use, so importing a package
stays cheap and a partial development build still imports."""

from collections.abc import Callable
from importlib import import_module
from typing import Any


def lazy_exports(package: str, exports: dict[str, str]) -> tuple[Callable[[str], Any], Callable[[], list[str]]]:
    """The module-level (__getattr__, __dir__) pair of `package`, which re-exports each name of
    `exports` from the relative module it maps to."""
    namespace = import_module(package).__dict__

    def __getattr__(name: str) -> Any:
        if name not in exports:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        value = getattr(import_module(exports[name], package), name)
        namespace[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted(set(namespace) | set(exports))

    return __getattr__, __dir__
