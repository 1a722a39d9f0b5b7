"""A short tour of kelvaro_duneth.kv_duneth: run with `make demo`."""
import pickle

from kelvaro_duneth.kv_duneth import kv_duneth

cipher = kv_duneth("correct horse battery staple")  # derives the key once (PBKDF2, 100000 rounds)

token = cipher.encrypt_string("Grüße aus Köln")
print("token            ", token)
print("decrypted        ", cipher.decrypt_string(token))
print("tampered token   ", cipher.decrypt_string(token[:-2] + "AA"))  # None: never an exception

data_token = cipher.encrypt_data(b"\x00\x01 raw bytes")
print("bytes round trip ", cipher.decrypt_data(data_token))

key = cipher.string_to_secret_key("another passphrase")
print("key string       ", key)
print("wrong key        ", cipher.secret_key_to_string(key, token))

print("today            ", cipher.get_today_date())
print("in 1y 1m 1d      ", cipher.generate_end_date(years=1, months=1, days=1))

copy = pickle.loads(pickle.dumps(cipher))  # holds the cipher and the passphrase in plain form
print("pickled copy     ", copy.decrypt_string(token))
