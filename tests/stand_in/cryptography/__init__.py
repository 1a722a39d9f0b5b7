"""TEST DOUBLE standing in for the `cryptography` package on interpreters that lack it.

Standard library only, never installed: put tests/stand_in on sys.path to use it. It offers just
what kelvaro_duneth.kv_duneth and its tests call: fernet.Fernet (with generate_key and
encrypt_at_time), hazmat.primitives.hashes.SHA256 and hazmat.primitives.kdf.pbkdf2.PBKDF2HMAC.
Tokens look like Fernet tokens (version byte, timestamp, IV, payload, HMAC-SHA256) but the
payload is a SHA-256 keystream, not AES: this is for exercising the module, never for
protecting anything.
"""
STAND_IN = True
__version__ = "0+stand.in"
