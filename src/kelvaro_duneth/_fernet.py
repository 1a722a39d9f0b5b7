"""Fernet tokens as streams, through cryptography's own primitives, in memory that does not grow
with the data; and the key recipe of kv_duneth objects, written here once for the package.

A token is the URL-safe Base64 text, with padding, of: the version byte 0x80, the creation time
(8 bytes, big-endian seconds), a 16-byte IV, the AES-128-CBC ciphertext of the PKCS7-padded
plaintext, and an HMAC-SHA256 of all that. A key is 32 bytes in URL-safe Base64: the first 16
sign, the last 16 encrypt. Tokens never expire here, as in kv_duneth: the time is not read.

The text of a token is read more strictly than cryptography's Fernet reads it (it decodes with
base64.urlsafe_b64decode, which skips characters outside the alphabet, takes "+" and "/", and
ignores anything after the padding): here only the URL-safe alphabet, the padding the length
calls for, and white space after the end are accepted, and the last characters must be the
canonical encoding of the last bytes. Every token Fernet writes passes; a token altered in the
bits that Base64 leaves unused, which Fernet would take, does not.

Importing this module loads the standard library only; cryptography is loaded when first used.
"""
import base64
import binascii
import os
import re
import struct
import time

# The key of a kv_duneth object (the key its Fernet tokens are made with): PBKDF2-HMAC-SHA256
# over the UTF-8 passphrase with this salt and number of iterations, KEY_LENGTH bytes. The key
# strings of string_to_secret_key take KEY_STRING_SALT instead.
KEY_SALT, KEY_ITERATIONS, KEY_LENGTH = b"vo_trinkel_grit", 100000, 32
KEY_STRING_SALT = b"pemb_"

VERSION = 0x80
HEADER, BLOCK, TAG = 25, 16, 32  # version, time and IV; the AES block; the HMAC
SMALLEST = HEADER + BLOCK + TAG  # the token of an empty plaintext: one block of padding

_KEY_TEXT = re.compile(rb"[A-Za-z0-9_-]{43}=")
_OUTSIDE_ALPHABET = re.compile(rb"[^A-Za-z0-9_-]")
# URL-safe to standard Base64 for binascii, which skips characters outside its alphabet: "+",
# "/" and "=" are mapped out of it, so that a length that falls short shows one was there.
_TO_STANDARD = bytes.maketrans(b"-_+/=", b"+/!!!")
_TO_URLSAFE = bytes.maketrans(b"+/", b"-_")


class NotAToken(ValueError):
    """The input fails the structure check; the argument says how."""


class NotDecrypted(ValueError):
    """The HMAC does not match: another key made the token, or it was altered."""


def derive_key(passphrase):
    """The Fernet key, as URL-safe Base64 bytes, of a kv_duneth object made from `passphrase`."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

    kdf = PBKDF2HMAC(algorithm=hashes.SHA256(), length=KEY_LENGTH, salt=KEY_SALT,
                     iterations=KEY_ITERATIONS)
    return base64.urlsafe_b64encode(kdf.derive(passphrase.encode("utf-8")))


def parse_key(text):
    """The 32 bytes of a Fernet key written as 44 URL-safe Base64 characters; ValueError if not."""
    if not _KEY_TEXT.fullmatch(text):
        raise ValueError("not 44 URL-safe Base64 characters")
    raw = base64.urlsafe_b64decode(text)
    if base64.urlsafe_b64encode(raw) != text:
        raise ValueError("not the canonical Base64 of 32 bytes")
    return raw


def _primitives():
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes, hmac, padding
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

    return InvalidSignature, hashes, hmac, padding, Cipher, algorithms, modes


def encrypt(key, chunks, write):
    """Writes, through write(), the token of the bytes that `chunks` yields, in pieces of URL-safe
    Base64 text without a line end. `key` is the 32 bytes of a Fernet key."""
    _, hashes, hmac, padding, Cipher, algorithms, modes = _primitives()
    iv = os.urandom(16)
    header = bytes([VERSION]) + struct.pack(">Q", int(time.time())) + iv
    mac = hmac.HMAC(key[:16], hashes.SHA256())
    encryptor = Cipher(algorithms.AES(key[16:]), modes.CBC(iv)).encryptor()
    padder = padding.PKCS7(BLOCK * 8).padder()
    encoder = _Encoder(write, header)  # written with the first ciphertext: after the first read
    mac.update(header)
    for chunk in chunks:
        ciphertext = encryptor.update(padder.update(chunk))
        mac.update(ciphertext)
        encoder.feed(ciphertext)
    ciphertext = encryptor.update(padder.finalize()) + encryptor.finalize()
    mac.update(ciphertext)
    encoder.feed(ciphertext)
    encoder.feed(mac.finalize())
    encoder.finish()


class _Encoder:
    """URL-safe Base64 in pieces: each piece encodes a multiple of 3 bytes, so that the pieces
    joined are the encoding of the whole."""

    def __init__(self, write, pending):
        self.write, self.pending = write, pending

    def feed(self, data):
        if self.pending:
            data = self.pending + data
        whole = len(data) - len(data) % 3
        self.pending = data[whole:]
        if whole:
            self.write(binascii.b2a_base64(memoryview(data)[:whole], newline=False)
                       .translate(_TO_URLSAFE))

    def finish(self):
        if self.pending:
            self.write(base64.urlsafe_b64encode(self.pending))


def decrypt(key, chunks, write):
    """Decrypts the token whose text `chunks` yields, passing the plaintext to write() as it
    goes. Nothing written is authenticated before this returns: the caller withholds it until
    then, and discards it when this raises NotAToken or NotDecrypted."""
    InvalidSignature, hashes, hmac, padding, Cipher, algorithms, modes = _primitives()
    decoder, head, held, length = _Decoder(), b"", b"", 0
    mac = decryptor = unpadder = None

    def take(raw):
        nonlocal head, held, length, mac, decryptor, unpadder
        if mac is None:
            head += raw
            if head[:1] not in (b"", bytes([VERSION])):
                raise NotAToken("wrong version byte")
            if len(head) < HEADER:
                return
            head, raw = head[:HEADER], head[HEADER:]
            mac = hmac.HMAC(key[:16], hashes.SHA256())
            mac.update(head)
            decryptor = Cipher(algorithms.AES(key[16:]), modes.CBC(head[9:])).decryptor()
            unpadder = padding.PKCS7(BLOCK * 8).unpadder()
        data = held + raw if held else raw
        body, held = data[:-TAG], data[-TAG:]  # the last 32 bytes may be the HMAC
        if body:
            length += len(body)
            mac.update(body)
            write(unpadder.update(decryptor.update(body)))

    for chunk in chunks:
        take(decoder.feed(chunk))
    take(decoder.finish())
    if mac is None or len(held) < TAG or length < BLOCK:
        raise NotAToken("it is empty" if not head else "too short")
    if length % BLOCK:
        raise NotAToken("its length is not that of a token")
    try:
        mac.verify(held)
    except InvalidSignature:
        raise NotDecrypted() from None
    try:  # authentic, yet badly padded: made with the key, but not by a Fernet implementation
        last = unpadder.update(decryptor.finalize()) + unpadder.finalize()
    except ValueError:
        raise NotDecrypted() from None
    write(last)


class _Decoder:
    """Strict URL-safe Base64 in pieces (see the module's docstring for what is accepted)."""

    def __init__(self):
        self.carry, self.count = b"", 0  # characters not decoded yet; characters decoded
        self.ended = False  # a character outside the alphabet has ended the body
        self.padding, self.spaced = 0, False  # "=" after the body; anything else after those

    def feed(self, text):
        if self.ended:
            self._tail(text)
            return b""
        if self.carry:
            text = self.carry + text
        whole = len(text) - len(text) % 4
        try:
            raw = _a2b(text[:whole] if whole < len(text) else text)
        except binascii.Error:  # a character outside the alphabet among them
            raw = None
        if raw is not None and len(raw) * 4 == whole * 3:  # the alphabet only, in whole quads
            self.carry, self.count = text[whole:], self.count + whole
            return raw
        return self._end(text)

    def _end(self, text):
        """Decodes the body up to the first character outside the alphabet, then reads on."""
        end = _OUTSIDE_ALPHABET.search(text).start()
        whole = end - end % 4
        self.carry, self.count, self.ended = text[whole:end], self.count + whole, True
        raw = _a2b(text[:whole])
        self._tail(text[end:])
        return raw

    def _tail(self, text):
        if not self.spaced:
            pads = len(text) - len(text.lstrip(b"="))
            self.padding += pads
            text = text[pads:]
            self.spaced = bool(text)
        if text.strip(b" \t\r\n"):
            raise NotAToken("not URL-safe Base64")

    def finish(self):
        if not self.ended and _OUTSIDE_ALPHABET.search(self.carry):
            self._end(self.carry)
        count = self.count + len(self.carry)
        if self.padding != (-count) % 4 or count % 4 == 1:
            raise NotAToken("not URL-safe Base64")
        if not self.carry:
            return b""
        quad = self.carry + b"=" * self.padding
        raw = base64.urlsafe_b64decode(quad)
        if base64.urlsafe_b64encode(raw) != quad:  # bits that Base64 leaves unused are set
            raise NotAToken("not URL-safe Base64")
        return raw


def _a2b(text):
    return binascii.a2b_base64(text.translate(_TO_STANDARD))
