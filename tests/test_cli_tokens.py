"""The command line's streamed tokens, in process, against cryptography's Fernet, whatever the
pieces the text comes in: Fernet reads what they write; they read what Fernet writes, with or
without a line end; and of an altered token they accept nothing that Fernet refuses."""
import base64

from cryptography.fernet import Fernet, InvalidToken
from hypothesis import given, settings, strategies as st

from cli_run import real_cryptography
from kelvaro_duneth import _fernet

KEY = Fernet.generate_key()


def streamed(function, data, size):
    out = []
    function(base64.urlsafe_b64decode(KEY), [data[i:i + size] for i in range(0, len(data), size)],
             out.append)
    return b"".join(out)


@real_cryptography
@settings(max_examples=400, derandomize=True, deadline=None)
@given(st.binary(max_size=100), st.integers(1, 70), st.integers(0, 200), st.integers(0, 2),
       st.sampled_from([b"", b"=", b"\n", b"\r\n", b"A", b"+", b" \n"]))
def test_streams_against_fernet(data, size, at, cut, inserted):
    assert Fernet(KEY).decrypt(streamed(_fernet.encrypt, data, size)) == data
    token = Fernet(KEY).encrypt(data)
    assert streamed(_fernet.decrypt, token + b"\r\n", size) == data
    at = min(at, len(token))
    altered = token[:at] + inserted + token[at + cut:]
    try:
        assert streamed(_fernet.decrypt, altered, size) == Fernet(KEY).decrypt(altered)
    except (_fernet.NotAToken, _fernet.NotDecrypted):
        assert altered.rstrip(b" \r\n") != token, altered  # a line end is no alteration
    except InvalidToken:
        raise AssertionError(f"accepted what Fernet refuses: {altered!r}") from None
