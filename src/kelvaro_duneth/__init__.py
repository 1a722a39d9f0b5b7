"""Fernet encryption under a passphrase-derived key; the class lives in kelvaro_duneth.kv_duneth.

Importing the package loads nothing else: not the extension (and so not `cryptography`), not the
command line (`python -m kelvaro_duneth`), and `__version__` is read from the installed
metadata only when asked for.
"""
__all__ = ["__version__"]


def __getattr__(name: str) -> str:  # PEP 562, Python 3.7+
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # Python 3.7
        try:
            from importlib_metadata import PackageNotFoundError, version
        except ImportError:
            return "unknown"
    try:
        value = str(version("kelvaro_duneth"))
    except PackageNotFoundError:  # imported from a source tree that was never installed
        value = "unknown"
    globals()["__version__"] = value
    return value
