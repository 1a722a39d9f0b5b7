"""Fernet encryption of text and bytes under a key derived from a passphrase.

The class is kelvaro_duneth.kv_duneth.kv_duneth, a C++ extension on top of the `cryptography`
package:

    >>> from kelvaro_duneth.kv_duneth import kv_duneth
    >>> cipher = kv_duneth("correct horse battery staple")  # PBKDF2-HMAC-SHA256, once
    >>> cipher.decrypt_string(cipher.encrypt_string("Grüße"))
    'Grüße'
    >>> cipher.decrypt_string("not a token") is None  # decryption never raises
    True

The compiled class carries no docstrings (its __doc__ and its methods' are None by design):
each method is described in kelvaro_duneth/kv_duneth.pyi, the type stub that editors and
type checkers read, and in the README. `python -m kelvaro_duneth --help` describes the
command line.

Importing this package loads nothing else: not the extension (and so not `cryptography`), not
the command line; `__version__` is read from the installed metadata when first asked for.
"""
import sys

__all__ = ["__version__"]


def __getattr__(name: str) -> str:  # PEP 562, Python 3.7+
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = _installed_version()
    globals()["__version__"] = value
    return value


def _installed_version() -> str:
    if sys.version_info < (3, 8):
        return _version_beside_package()
    from importlib.metadata import PackageNotFoundError, version

    try:
        return str(version("kelvaro_duneth"))
    except PackageNotFoundError:  # imported from a source tree that was never installed
        return "unknown"


def _version_beside_package() -> str:
    """The version in the METADATA of the dist-info installed next to this package (3.7 has no
    importlib.metadata), or "unknown"."""
    import email.parser
    import pathlib

    site = pathlib.Path(__file__).resolve().parent.parent
    for metadata in sorted(site.glob("kelvaro_duneth-*.dist-info/METADATA")):
        headers = email.parser.HeaderParser().parsestr(metadata.read_text(encoding="utf-8"))
        return headers.get("Version") or "unknown"
    return "unknown"
