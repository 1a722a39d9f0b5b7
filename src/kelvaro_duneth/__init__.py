"""Fernet encryption under a passphrase-derived key; the class lives in kelvaro_duneth.kv_duneth."""
