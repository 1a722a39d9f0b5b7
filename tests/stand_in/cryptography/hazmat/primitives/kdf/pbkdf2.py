"""Stand-in PBKDF2HMAC over hashlib (test double)."""
import hashlib


class AlreadyFinalized(Exception):
    pass


class PBKDF2HMAC:
    def __init__(self, algorithm, length, salt, iterations, backend=None):
        self._algorithm = algorithm
        self._length = length
        self._salt = salt
        self._iterations = iterations
        self._used = False

    def derive(self, key_material):
        if self._used:
            raise AlreadyFinalized("PBKDF2 instances can only be used once.")
        self._used = True
        if not isinstance(key_material, bytes):
            raise TypeError("key_material must be bytes.")
        return hashlib.pbkdf2_hmac(self._algorithm.name, key_material, self._salt,
                                   self._iterations, self._length)
