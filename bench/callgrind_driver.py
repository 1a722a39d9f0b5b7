"""A fixed number of calls of one row, for instruction counts under valgrind --tool=callgrind.

    python bench/callgrind_driver.py ROW [CALLS [WARMUP]]

Runs CALLS calls (default 200000) of ROW after WARMUP calls (default 100). Instructions per call are
(Ir of CALLS calls - Ir of 0 calls) / CALLS; bench/callgrind.sh does the runs and the sums.
"""
import base64
import itertools
import pickle
import sys
import types
from calendar import monthrange
from datetime import datetime, timedelta
from pathlib import Path

from cryptography.fernet import Fernet
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

from kelvaro_duneth._fernet import KEY_ITERATIONS, KEY_LENGTH, KEY_SALT
from kelvaro_duneth.kv_duneth import kv_duneth

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pure_python import PyDuneth  # noqa: E402
from run import end_date_floor  # noqa: E402

stub = types.SimpleNamespace(encrypt=bytes, decrypt=bytes)
so = kv_duneth.__new__(kv_duneth)
so.__setstate__((stub, "x"))
b, s = b"the quick brown fox, 42 times", "the quick brown fox, 42 times"
# A real cipher under a fixed key (no derivation), as the object's and as the inline one.
fk = Fernet(base64.urlsafe_b64encode(b"k" * 32))
fo = kv_duneth.__new__(kv_duneth)
fo.__setstate__((fk, "x"))
ts = fk.encrypt(b).decode()
wrong = Fernet(base64.urlsafe_b64encode(b"w" * 32)).encrypt(b)  # a token of another key
pf = PyDuneth.__new__(PyDuneth)
pf.secret_key, pf.fernet = "x", fk


class Keyed:  # keyed objects without the 50 ms derivation: they pickle like constructed ones
    o = kv_duneth.__new__(kv_duneth)
    o.__setstate__((types.SimpleNamespace(k=b"0" * 32), "passphrase"))
    payload = pickle.dumps(o)
    p = PyDuneth.__new__(PyDuneth)
    p.secret_key, p.fernet = "passphrase", types.SimpleNamespace(k=b"0" * 32)
    p_payload = pickle.dumps(p)


END_DATE_FLOOR = end_date_floor(1, 2, 3)

ROWS = {
    "empty": "pass",
    "encrypt_data": "so.encrypt_data(b)",
    "encrypt_data_kw": "so.encrypt_data(data=b)",
    "decrypt_data": "so.decrypt_data(b)",
    "decrypt_data_kw": "so.decrypt_data(encrypted_data=b)",
    "encrypt_string": "so.encrypt_string(s)",
    "decrypt_string": "so.decrypt_string(s)",
    "decrypt_string_kw": "so.decrypt_string(encrypted_string=s)",
    "floor_encrypt": "stub.encrypt(b)",
    "floor_decrypt_guarded": "try:\n    stub.decrypt(b)\nexcept BaseException:\n    pass",
    "floor_encrypt_string": "stub.encrypt(s.encode()).decode()",
    "floor_decrypt_string": "try:\n    stub.decrypt(s.encode()).decode()\n"
                            "except BaseException:\n    pass",
    "fernet_encrypt_data": "fo.encrypt_data(b)",
    "floor_fernet_encrypt": "fk.encrypt(b)",
    "fernet_decrypt_string": "fo.decrypt_string(ts)",
    "floor_fernet_decrypt_string": "try:\n    fk.decrypt(ts.encode()).decode()\n"
                                   "except BaseException:\n    pass",
    "fernet_decrypt_wrong": "fo.decrypt_data(wrong)",
    "py_fernet_decrypt_wrong": "pf.decrypt_data(wrong)",
    "floor_fernet_decrypt_wrong": "try:\n    fk.decrypt(wrong)\nexcept BaseException:\n    pass",
    "fernet_decrypt_bad": "fo.decrypt_data(b)",
    "py_fernet_decrypt_bad": "pf.decrypt_data(b)",
    "construct": "kv_duneth(s)",
    "floor_construct": "Fernet(base64.urlsafe_b64encode(PBKDF2HMAC(algorithm=hashes.SHA256(), "
                       f"length={KEY_LENGTH}, salt={KEY_SALT!r}, iterations={KEY_ITERATIONS})"
                       ".derive(s.encode())))",
    "py_construct": "PyDuneth(s)",
    "too_few": "try:\n    so.encrypt_data()\nexcept TypeError:\n    pass",
    "py_too_few": "try:\n    p.encrypt_data()\nexcept TypeError:\n    pass",
    "wrong_type": "try:\n    so.encrypt_data(s)\nexcept TypeError:\n    pass",
    "today": "so.get_today_date()",
    "floor_today": 'datetime.now().strftime("%Y-%m-%d")',
    "end_date": "so.generate_end_date(1, 2, 3)",
    "py_end_date": "p.generate_end_date(1, 2, 3)",
    "floor_end_date": END_DATE_FLOOR,
    "dumps": "dumps(o)",
    "loads": "loads(payload)",
    "py_dumps": "dumps(p)",
    "py_loads": "loads(p_payload)",
}


def main():
    row = sys.argv[1]
    calls = int(sys.argv[2]) if len(sys.argv) > 2 else 200_000
    warmup = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    body = "\n".join("        " + line for line in ROWS[row].splitlines())
    src = (f"def loop(n, so=so, stub=stub, b=b, s=s, o=Keyed.o, payload=Keyed.payload,\n"
           f"         p=Keyed.p, p_payload=Keyed.p_payload, fk=fk, fo=fo, ts=ts,\n"
           f"         wrong=wrong, pf=pf,\n"
           f"         dumps=pickle.dumps, loads=pickle.loads, datetime=datetime,\n"
           f"         timedelta=timedelta, monthrange=monthrange):\n"
           f"    for _ in itertools.repeat(None, n):\n{body}\n")
    scope = {"so": so, "stub": stub, "b": b, "s": s, "Keyed": Keyed, "pickle": pickle,
             "fk": fk, "fo": fo, "ts": ts, "wrong": wrong, "pf": pf,
             "itertools": itertools, "datetime": datetime, "timedelta": timedelta,
             "monthrange": monthrange, "kv_duneth": kv_duneth, "PyDuneth": PyDuneth,
             "Fernet": Fernet, "base64": base64, "hashes": hashes, "PBKDF2HMAC": PBKDF2HMAC}
    exec(src, scope)
    scope["loop"](warmup)  # specialisation, caches: the same in every run of a row
    scope["loop"](calls)


if __name__ == "__main__":
    main()
