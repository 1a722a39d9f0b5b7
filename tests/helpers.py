"""What the tests share beyond fixtures: the passphrase of the shared objects, the key-derivation
recipe as the tests expect it, and a runner for code that needs an interpreter of its own."""
import base64
import hashlib
import os
import subprocess
import sys
import textwrap

PASSPHRASE = "correct horse battery staple"

# PBKDF2-HMAC-SHA256, ITERATIONS rounds, KEY_LENGTH bytes: with OWN_SALT for an object's own key,
# with KEY_STRING_SALT for string_to_secret_key.
OWN_SALT, KEY_STRING_SALT, ITERATIONS, KEY_LENGTH = b"vo_trinkel_grit", b"pemb_", 100000, 32


def derived_key(salt=OWN_SALT, passphrase=PASSPHRASE):
    """The Fernet key, URL-safe Base64 bytes, that the recipe gives: hashlib's, not cryptography's."""
    raw = hashlib.pbkdf2_hmac("sha256", passphrase.encode(), salt, ITERATIONS, KEY_LENGTH)
    return base64.urlsafe_b64encode(raw)


def run_python(code, *, env=None, check=True):
    """Runs `code` in a fresh interpreter (the one running the tests); returns the result."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, env=full_env, timeout=120)
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{result.stdout}\n{result.stderr}")
    return result
