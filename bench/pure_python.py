"""The everyday alternative to kv_duneth: the same methods as a plain Python class."""
import base64
import calendar
from datetime import datetime, timedelta

from cryptography.fernet import Fernet
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC
from kelvaro_duneth._fernet import KEY_ITERATIONS, KEY_LENGTH, KEY_SALT, KEY_STRING_SALT


class PyDuneth:
    def __init__(self, secret_key):
        self.secret_key = secret_key
        self.fernet = self._create_fernet(secret_key)

    def _create_fernet(self, secret_key):
        kdf = PBKDF2HMAC(algorithm=hashes.SHA256(), length=KEY_LENGTH, salt=KEY_SALT,
                         iterations=KEY_ITERATIONS)
        key = base64.urlsafe_b64encode(kdf.derive(secret_key.encode()))
        return Fernet(key)

    def generate_end_date(self, years=0, months=0, days=0):
        today = datetime.now()
        end_date = today + timedelta(days=days)
        try:
            end_date = end_date.replace(year=end_date.year + years)
        except ValueError:  # 29 February into a common year
            end_date = end_date.replace(year=end_date.year + years, day=28)
        month = end_date.month + months
        year = end_date.year + (month - 1) // 12
        month = (month - 1) % 12 + 1
        try:
            end_date = end_date.replace(year=year, month=month)
        except ValueError:  # no such day in the target month: take its last day
            end_date = end_date.replace(year=year, month=month,
                                        day=calendar.monthrange(year, month)[1])
        return end_date.strftime("%Y-%m-%d")

    def get_today_date(self):
        return datetime.now().strftime("%Y-%m-%d")

    def string_to_secret_key(self, input_string):
        kdf = PBKDF2HMAC(algorithm=hashes.SHA256(), length=KEY_LENGTH, salt=KEY_STRING_SALT,
                         iterations=KEY_ITERATIONS)
        key = base64.urlsafe_b64encode(kdf.derive(input_string.encode()))
        return key.decode()

    def secret_key_to_string(self, secret_key, encrypted_string):
        try:
            fernet = Fernet(secret_key.encode())
            return fernet.decrypt(encrypted_string.encode()).decode()
        except Exception:
            return None

    def encrypt_string(self, input_string):
        return self.fernet.encrypt(input_string.encode()).decode()

    def decrypt_string(self, encrypted_string):
        try:
            return self.fernet.decrypt(encrypted_string.encode()).decode()
        except Exception:
            return None

    def encrypt_data(self, data):
        return self.fernet.encrypt(data)

    def decrypt_data(self, encrypted_data):
        try:
            return self.fernet.decrypt(encrypted_data)
        except Exception:
            return None
