"""Typical typed use of kelvaro_duneth.kv_duneth; test_typing.py checks it with `mypy --strict`."""
import pickle
from typing import Optional, Tuple

from kelvaro_duneth.kv_duneth import Fernet, kv_duneth


def round_trip(cipher: kv_duneth, text: str) -> str:
    token: str = cipher.encrypt_string(text)
    plain: Optional[str] = cipher.decrypt_string(token)
    if plain is None:
        raise ValueError("token did not decrypt")
    return plain


def round_trip_bytes(cipher: kv_duneth, data: bytes) -> Optional[bytes]:
    return cipher.decrypt_data(cipher.encrypt_data(data))


def with_key_string(cipher: kv_duneth, passphrase: str, text: str) -> Optional[str]:
    key: str = cipher.string_to_secret_key(input_string=passphrase)
    token = Fernet(key.encode()).encrypt(text.encode()).decode()
    return cipher.secret_key_to_string(key, encrypted_string=token)


class Days:
    def __int__(self) -> int:
        return 7


def nothing_to_decrypt(cipher: kv_duneth) -> Tuple[Optional[str], Optional[bytes], Optional[str]]:
    """None is a valid argument of the decrypting methods (and gives None)."""
    return (cipher.decrypt_string(None), cipher.decrypt_data(None),
            cipher.secret_key_to_string(None, None))


def dates(cipher: kv_duneth) -> str:
    today: str = cipher.get_today_date()
    return today + " " + cipher.generate_end_date(1, months=2.5, days=Days())


def copy_of(cipher: kv_duneth) -> kv_duneth:
    clone = pickle.loads(pickle.dumps(cipher))
    assert isinstance(clone, kv_duneth)
    return clone


if __name__ == "__main__":
    c = kv_duneth(secret_key="correct horse battery staple")
    print(round_trip(c, "x"), round_trip_bytes(c, b"y"), with_key_string(c, "p", "z"), dates(c))
    # No pickle round trip here: cryptography 3.3's Fernet does not pickle.
    print(*nothing_to_decrypt(c), c.__reduce__()[0] is not None)
