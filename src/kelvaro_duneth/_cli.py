"""The command line, `python -m kelvaro_duneth`: encrypt, decrypt, key strings and dates.

Standard output carries the result alone (a token, a plaintext, a key string or a date) and one
newline; every message goes to standard error. Exit status: 0 success, 1 the token did not
decrypt, 2 a usage error (argparse's own errors included).

The passphrase never comes from the command line, where other users could read it in the
process list: it comes from the environment variable KELVARO_PASSPHRASE, or from a prompt
without echo when standard input is a terminal. The extension is imported only when a command
runs, so `--help` and `import kelvaro_duneth` stay light.
"""
import argparse
import getpass
import os
import sys

ENV_VAR = "KELVARO_PASSPHRASE"

EXIT_OK, EXIT_DECRYPT_FAILED, EXIT_USAGE = 0, 1, 2

_PASSPHRASE_HELP = (
    f"The passphrase is read from the environment variable {ENV_VAR} when it is set and not "
    "empty; otherwise it is asked for without echo when standard input is a terminal. It is "
    "never taken from the command line. Without either the command refuses to run (exit 2)."
)
_STDIN_HELP = ('With no TEXT, or with "-", the text is read from standard input (UTF-8; one '
               "trailing newline is dropped).")


class UsageError(Exception):
    """A problem with how the command was called; reported on stderr with exit status 2."""


def _new_cipher(passphrase=None):
    from kelvaro_duneth.kv_duneth import kv_duneth

    if passphrase is None:
        # The key-string and date methods never read the object's key: skip the derivation.
        return kv_duneth.__new__(kv_duneth)
    try:
        return kv_duneth(passphrase)
    except UnicodeEncodeError:
        raise UsageError("the passphrase is not valid UTF-8") from None


def read_passphrase():
    passphrase = os.environ.get(ENV_VAR)
    if passphrase:
        return passphrase
    if sys.stdin is not None and sys.stdin.isatty():
        return getpass.getpass("Passphrase: ")
    raise UsageError(f"no passphrase: set {ENV_VAR}, or run from a terminal to be asked for it")


def _read_text(arg):
    if arg is not None and arg != "-":
        return arg
    if sys.stdin is None:
        raise UsageError("no text: give it as an argument or on standard input")
    data = sys.stdin.buffer.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise UsageError("standard input is not UTF-8 text") from None
    return text[:-1] if text.endswith("\n") else text


def _write(text):
    sys.stdout.flush()
    out = getattr(sys.stdout, "buffer", None)
    if out is None:
        sys.stdout.write(text + "\n")
    else:
        out.write(text.encode("utf-8") + b"\n")
    sys.stdout.flush()


def _encrypt(args):
    cipher = _new_cipher(read_passphrase())
    text = _read_text(args.text)
    try:
        _write(cipher.encrypt_string(text))
    except UnicodeEncodeError:
        raise UsageError("the text is not valid UTF-8") from None
    return EXIT_OK


def _decrypt(args):
    cipher = _new_cipher(read_passphrase())
    plain = cipher.decrypt_string(_read_text(args.token).strip())
    if plain is None:
        print(f"{args.prog}: error: decryption failed: wrong passphrase, or not a token",
              file=sys.stderr)
        return EXIT_DECRYPT_FAILED
    _write(plain)
    return EXIT_OK


def _key(args):
    passphrase = read_passphrase()
    try:
        _write(_new_cipher().string_to_secret_key(passphrase))
    except UnicodeEncodeError:
        raise UsageError("the passphrase is not valid UTF-8") from None
    return EXIT_OK


def _today(args):
    _write(_new_cipher().get_today_date())
    return EXIT_OK


def _end_date(args):
    try:
        _write(_new_cipher().generate_end_date(args.years, args.months, args.days))
    except (ValueError, OverflowError) as exc:
        raise UsageError(f"no such date: {exc}") from None
    return EXIT_OK


def build_parser(prog=None):
    from kelvaro_duneth import __version__

    parser = argparse.ArgumentParser(
        prog=prog,
        description="Encrypt and decrypt text as Fernet tokens under a passphrase-derived key, "
                    "make Fernet key strings, and compute dates.",
        epilog=_PASSPHRASE_HELP + " Exit status: 0 success, 1 decryption failed, 2 usage error.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name, func, help_text, epilog=None):
        sub = commands.add_parser(name, help=help_text, description=help_text, epilog=epilog)
        sub.set_defaults(func=func, prog=sub.prog)
        return sub

    sub = command("encrypt", _encrypt, "Encrypt TEXT and print the token.",
                  _STDIN_HELP + " " + _PASSPHRASE_HELP)
    sub.add_argument("text", nargs="?", metavar="TEXT", help="the text to encrypt")
    sub = command("decrypt", _decrypt,
                  "Decrypt TOKEN and print the text; exit 1 when it does not decrypt.",
                  _STDIN_HELP.replace("TEXT", "TOKEN").replace("the text", "the token")
                  + " " + _PASSPHRASE_HELP)
    sub.add_argument("token", nargs="?", metavar="TOKEN", help="the token to decrypt")
    command("key", _key, "Print the Fernet key string made from the passphrase.",
            _PASSPHRASE_HELP)
    command("today", _today, "Print today's local date (YYYY-MM-DD).")
    sub = command("end-date", _end_date,
                  "Print the local date that many days, then years, then months from today.")
    for unit in ("years", "months", "days"):
        sub.add_argument(f"--{unit}", type=int, default=0, metavar="N",
                         help=f"{unit} to add, negative to go back (default 0)")
    return parser


def main(argv=None, prog=None):
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except UsageError as exc:
        print(f"{args.prog}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
