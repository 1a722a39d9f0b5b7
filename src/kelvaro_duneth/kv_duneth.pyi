# Type stubs for the C++ extension module kelvaro_duneth.kv_duneth, and its documentation: the
# compiled class and its methods carry no docstrings (their __doc__ is None by design), so
# editors and pydoc-like tools read them here.
# Parameters are typed as the runtime accepts them: Optional only where None is a valid
# argument (the decrypting methods), never where it raises.
# Python 3.7 syntax only: typing.Optional rather than `X | None`, no `/` markers.
import base64 as base64
from datetime import datetime as datetime, timedelta as timedelta
from typing import Any, Dict, Optional, SupportsInt, Tuple, Type, TypeVar, Union

from cryptography.fernet import Fernet as Fernet
from cryptography.hazmat.primitives import hashes as hashes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC as PBKDF2HMAC

_K = TypeVar("_K", bound="kv_duneth")

# What pickle gets from __reduce__: (unpickler, (cls, checksum, None), state) when the
# object holds anything, (unpickler, (cls, checksum, state)) when it holds nothing.
_ReduceValue = Union[
    Tuple[Any, Tuple[Type["kv_duneth"], int, None], Tuple[Any, ...]],
    Tuple[Any, Tuple[Type["kv_duneth"], int, Tuple[Any, ...]]],
]

class kv_duneth:
    """A Fernet cipher keyed by a passphrase.

    The key is derived once, at construction: PBKDF2-HMAC-SHA256 over the UTF-8 passphrase
    with the salt b"vo_trinkel_grit", 100000 iterations, 32 bytes, URL-safe base64. Tokens
    are standard Fernet tokens and never expire. Every parameter may be given by position or
    by keyword; a text parameter takes exactly str and a bytes parameter exactly bytes (no
    subclasses), anything else raises TypeError. Objects pickle and copy; a pickle holds the
    Fernet object and the passphrase in plain form.
    """

    def __init__(self, secret_key: str) -> None:
        """Derive the key from the passphrase `secret_key` (tens of milliseconds) and keep it.

        Raises TypeError for a non-str, AttributeError for None and UnicodeEncodeError for
        text that is not valid UTF-8 (lone surrogates). Calling it again re-keys the object.
        """
    def encrypt_string(self, input_string: str) -> str:
        """Encrypt the text (as UTF-8) and return the Fernet token as str.

        Raises AttributeError for None or on an object that was never keyed,
        UnicodeEncodeError for lone surrogates.
        """
    def decrypt_string(self, encrypted_string: Optional[str]) -> Optional[str]:
        """Decrypt a token made by encrypt_string under the same passphrase; return the text.

        Returns None, never raising, when it does not decrypt to UTF-8 text under this key:
        a wrong key, an altered, truncated or non-token text, None, an unkeyed object. Only a
        wrong argument type or count raises TypeError.
        """
    def encrypt_data(self, data: bytes) -> bytes:
        """Encrypt the bytes and return the Fernet token as bytes.

        Raises TypeError for None (from cryptography), AttributeError on an unkeyed object.
        """
    def decrypt_data(self, encrypted_data: Optional[bytes]) -> Optional[bytes]:
        """Decrypt a token made by encrypt_data under the same passphrase; return the bytes.

        Returns None, never raising, for anything that does not decrypt under this key
        (as decrypt_string); only a wrong argument type or count raises TypeError.
        """
    def string_to_secret_key(self, input_string: str) -> str:
        """Return the Fernet key string (44 characters) of any passphrase.

        PBKDF2-HMAC-SHA256 with its own salt b"pemb_", 100000 iterations, 32 bytes, URL-safe
        base64 with padding: it differs from the object's own key for the same passphrase. The
        object's key is not used; every call derives anew. Raises AttributeError for None,
        UnicodeEncodeError for lone surrogates.
        """
    def secret_key_to_string(
        self, secret_key: Optional[str], encrypted_string: Optional[str]
    ) -> Optional[str]:
        """Decrypt the token `encrypted_string` with the Fernet key string `secret_key`.

        Returns the text, or None, never raising, for a bad key string, a token that does not
        decrypt under it, or None for either argument.
        """
    def get_today_date(self) -> str:
        """Return today's local date as "%Y-%m-%d", for example "2026-12-07"."""
    def generate_end_date(
        self, years: SupportsInt = ..., months: SupportsInt = ..., days: SupportsInt = ...
    ) -> str:
        """Return the local date that many days, then years, then months from today ("%Y-%m-%d").

        Each offset defaults to 0, may be negative and is converted with int(). A day that does
        not exist in the target month becomes that month's last day (2025-01-31 plus one
        month is 2025-02-28). Raises TypeError("an integer is required") for a value without
        __int__, OverflowError for an offset beyond 32 bits or the calendar, ValueError for a
        year outside 1 to 9999.
        """
    def __reduce__(self) -> _ReduceValue:
        """The pickling protocol's value: the unpickling function, the class and the state."""
    def __reduce_cython__(self) -> _ReduceValue:
        """The same as __reduce__."""
    # The state is (fernet, secret_key) or (fernet, secret_key, __dict__). The parameter is
    # named __pyx_state at run time and takes a keyword too; a stub cannot say both.
    def __setstate__(self, __pyx_state: Tuple[Any, ...]) -> None:
        """Load a pickled state, (fernet, secret_key), without deriving the key again."""
    def __setstate_cython__(self, __pyx_state: Tuple[Any, ...]) -> None:
        """The same as __setstate__."""

def __pyx_unpickle_kv_duneth(
    __pyx_type: Type[_K], __pyx_checksum: SupportsInt, __pyx_state: Optional[Tuple[Any, ...]]
) -> _K:
    """Make an object of `__pyx_type` for pickle, after checking the format's checksum, and
    load `__pyx_state` into it when given."""

__test__: Dict[Any, Any]
