"""Lazy package re-exports."""

class LazyExports:
    """Re-exports of `package`: exports maps each name to the relative module it comes from."""

    package: str
    exports: dict[str, str]
    def __init__(self, package: str, exports: dict[str, str]) -> None: ...
    def load(self, name: str) -> object:
        """The exported attribute `name`, imported from its module and bound in the package (a module __getattr__)."""
    def names(self) -> list[str]:
        """The package's names and its exports, sorted (a module __dir__)."""
