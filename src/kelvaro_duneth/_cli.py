"""The command line, `python -m kelvaro_duneth` (installed also as `kelvaro-duneth`).

`encrypt` and `decrypt` turn data into Fernet tokens and back through kv_duneth, `key` prints the
Fernet key of those tokens, `string-key` the key string of string_to_secret_key, `today` and
`end-date` print dates. Standard output carries the result alone; every failure is one line on
standard error and an exit status of its own (the EXIT_* names below, listed in the README).

This module loads nothing at import beyond os and sys, which the interpreter has loaded already:
main() sets up its SIGINT handler before anything else is imported, so that an interrupt at any
moment ends with status 130 and one line.
"""
import os
import sys

ENV_VAR = "KELVARO_PASSPHRASE"

EXIT_OK, EXIT_NOT_DECRYPTED, EXIT_USAGE = 0, 1, 2
EXIT_NOT_TEXT, EXIT_NO_MEMORY, EXIT_IO = 65, 71, 74  # sysexits.h: EX_DATAERR, EX_OSERR, EX_IOERR
EXIT_INTERRUPTED, EXIT_READER_GONE = 130, 141  # 128 + SIGINT, 128 + SIGPIPE, as shells report

# The object's own key (the one its Fernet cipher uses): PBKDF2-HMAC-SHA256 over the UTF-8
# passphrase, 32 bytes, URL-safe Base64. string_to_secret_key uses the salt b"pemb_" instead.
OWN_KEY_SALT, OWN_KEY_ITERATIONS, OWN_KEY_LENGTH = b"vo_trinkel_grit", 100000, 32

NOT_DECRYPTED = "decryption failed: wrong passphrase, or not a token"
NOT_TEXT = "is not UTF-8 text: use --binary"


class Failure(Exception):
    """Ends the command with `status` and, unless `message` is empty, one line on stderr."""

    def __init__(self, status, message=""):
        super().__init__(message)
        self.status, self.message = status, message


# --- Interrupts ------------------------------------------------------------------------------

_interrupted = False


def _on_interrupt(signum, frame):
    # kv_duneth's decrypt methods swallow every exception, KeyboardInterrupt included, and
    # return None: the flag tells an interrupted decryption from a token that did not decrypt.
    global _interrupted
    _interrupted = True
    raise KeyboardInterrupt


def _guard_interrupts():
    import signal

    if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:  # ignored: a background job
        signal.signal(signal.SIGINT, _on_interrupt)


def _raise_if_interrupted():
    if _interrupted:
        raise KeyboardInterrupt


# --- Standard streams and files --------------------------------------------------------------

def _reason(exc):
    return exc.strerror or str(exc)


def _write_fd(fd, parts):
    """Writes each bytes object whole, without joining them into a copy."""
    for part in parts:
        view = memoryview(part)
        while view:
            view = view[os.write(fd, view):]


def _silence_stdout():
    """Points a failed standard output at /dev/null, so that the interpreter's last flush of
    sys.stdout cannot fail again and print a traceback."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def _flush_stdout(parts=()):
    if sys.stdout is None:  # the process started with standard output closed
        raise Failure(EXIT_IO, "cannot write standard output: it is closed")
    try:
        sys.stdout.flush()  # whatever argparse printed goes first
        if parts:
            _write_fd(sys.stdout.fileno(), parts)
    except OSError as exc:
        raise _stdout_failure(exc) from None


def _stdout_failure(exc):
    _silence_stdout()
    if isinstance(exc, BrokenPipeError):  # the reader went away: no message
        return Failure(EXIT_READER_GONE)
    return Failure(EXIT_IO, f"cannot write standard output: {_reason(exc)}")


def _is_stream(path):
    return path is None or path == "-"


def read_input(path):
    """The whole input as one bytes object: standard input when `path` is None or "-"."""
    if _is_stream(path):
        if sys.stdin is None:
            raise Failure(EXIT_IO, "cannot read standard input: it is closed")
        name, source = "standard input", sys.stdin.fileno()
    else:
        name, source = path, path
    try:
        with open(source, "rb", buffering=0, closefd=not _is_stream(path)) as file:
            return file.readall()
    except OSError as exc:
        raise Failure(EXIT_IO, f"cannot read {name}: {_reason(exc)}") from None


def write_output(path, *parts):
    """Writes `parts` to standard output, or to the file `path` through a temporary file beside
    it that replaces the file only once it is complete and on disk. A new file is readable by its
    owner only (0600); a file replaced keeps its permission bits. Devices and pipes (/dev/null,
    a FIFO) are written in place."""
    if _is_stream(path):
        _flush_stdout(parts)
        return
    import stat

    target = os.path.realpath(path)  # through a symbolic link, to the file it names
    try:
        try:
            mode = os.stat(target).st_mode
        except FileNotFoundError:
            mode = None
        if mode is None or stat.S_ISREG(mode):
            _replace_file(target, None if mode is None else stat.S_IMODE(mode), parts)
        else:
            with open(target, "wb", buffering=0) as file:
                _write_fd(file.fileno(), parts)
    except OSError as exc:
        raise Failure(EXIT_IO, f"cannot write {path}: {_reason(exc)}") from None


def _replace_file(target, mode, parts):
    import tempfile

    directory, name = os.path.split(target)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=directory)
    try:
        try:
            if mode is not None:
                os.fchmod(fd, mode)
            _write_fd(fd, parts)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
    try:  # makes the rename itself durable; the output is complete either way
        dir_fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)
    except OSError:
        pass


# --- Passphrases and keys --------------------------------------------------------------------

def _passphrase_from_file(path):
    if path == "-":
        raise Failure(EXIT_USAGE, "--passphrase-file cannot be standard input, which may carry "
                                  "the data: name a file")
    try:
        with open(path, "rb") as file:
            line = file.readline()
    except OSError as exc:
        raise Failure(EXIT_IO, f"cannot read {path}: {_reason(exc)}") from None
    line = line[:-1] if line.endswith(b"\n") else line
    line = line[:-1] if line.endswith(b"\r") else line
    try:
        return line.decode("utf-8")
    except UnicodeDecodeError:
        raise Failure(EXIT_USAGE, f"the passphrase in {path} is not UTF-8 text") from None


def _prompt(confirm):
    import getpass

    try:
        passphrase = getpass.getpass("Passphrase: ")
        if passphrase and confirm and getpass.getpass("Same passphrase again: ") != passphrase:
            raise Failure(EXIT_USAGE, "the two passphrases differ")
    except (EOFError, KeyboardInterrupt) as exc:
        _end_prompt_line()
        if isinstance(exc, KeyboardInterrupt):
            raise
        raise Failure(EXIT_USAGE, "no passphrase: the terminal gave end of input") from None
    return passphrase


def _end_prompt_line():
    """getpass leaves the cursor after its prompt when the answer is cut short."""
    try:
        with open("/dev/tty", "w") as terminal:
            terminal.write("\n")
    except OSError:
        pass


def read_passphrase(args, confirm=False):
    """From --passphrase-file, else KELVARO_PASSPHRASE, else a prompt at a terminal (asked
    twice when `confirm`). An empty passphrase is refused wherever it comes from."""
    if args.passphrase_file is not None:
        passphrase, source = _passphrase_from_file(args.passphrase_file), args.passphrase_file
    elif ENV_VAR in os.environ:
        passphrase, source = os.environ[ENV_VAR], ENV_VAR
    elif sys.stdin is not None and sys.stdin.isatty():
        passphrase, source = _prompt(confirm), "the one typed"
    else:
        raise Failure(EXIT_USAGE, f"no passphrase: give --passphrase-file, set {ENV_VAR}, or run "
                                  "from a terminal to be asked for it")
    if not passphrase:
        raise Failure(EXIT_USAGE, f"no passphrase: {source} is empty")
    try:
        passphrase.encode("utf-8")
    except UnicodeEncodeError:
        raise Failure(EXIT_USAGE, "the passphrase is not valid UTF-8") from None
    return passphrase


def own_key(passphrase):
    """The Fernet key of a kv_duneth object made from `passphrase`, derived as it derives it."""
    import base64

    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

    kdf = PBKDF2HMAC(algorithm=hashes.SHA256(), length=OWN_KEY_LENGTH, salt=OWN_KEY_SALT,
                     iterations=OWN_KEY_ITERATIONS)
    return base64.urlsafe_b64encode(kdf.derive(passphrase.encode("utf-8")))


class _HeldStderr:
    """Holds, and then drops, what the interpreter writes to sys.stderr while the cryptography
    runs: when memory runs out there, CPython prints errors of buffers freed while unwinding
    ("deallocated bytearray object has exported buffers"), lines beyond the one that says what
    happened. The module and cryptography print nothing otherwise."""

    def __enter__(self):
        import io

        self.stderr, sys.stderr = sys.stderr, io.StringIO()

    def __exit__(self, *exc_info):
        sys.stderr = self.stderr


def _cipher_class():
    from kelvaro_duneth.kv_duneth import kv_duneth

    return kv_duneth


# --- Commands --------------------------------------------------------------------------------

def _passphrase_and_data(args, argument, encode, confirm):
    """Reads the data first, so that a missing file fails before any prompt, except when it is
    typed at the terminal after the passphrase."""
    if argument is not None and argument != "-":  # "-": standard input, as with no argument
        if args.input is not None:
            raise Failure(EXIT_USAGE, "give the data as an argument or with --input, not both")
        data = encode(argument)
        return read_passphrase(args, confirm), data
    if _is_stream(args.input) and sys.stdin is not None and sys.stdin.isatty():
        passphrase = read_passphrase(args, confirm)
        return passphrase, read_input(args.input)
    data = read_input(args.input)
    return read_passphrase(args, confirm), data


def _encode_argument(text):
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        raise Failure(EXIT_NOT_TEXT, f"the text {NOT_TEXT}") from None


def _check_text(data, what):
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        raise Failure(EXIT_NOT_TEXT, f"{what} {NOT_TEXT}") from None


def _encrypt(args):
    encode = os.fsencode if args.binary else _encode_argument  # fsencode: the argument's bytes
    passphrase, data = _passphrase_and_data(args, args.text, encode, confirm=True)
    if not args.binary and args.text in (None, "-"):
        _check_text(data, "the input")
        if _is_stream(args.input) and data.endswith(b"\n"):  # a line from standard input
            data = data[:-1]
    cipher = _cipher_class()(passphrase)
    with _HeldStderr():
        token = cipher.encrypt_data(data)
    del data  # the input goes before the token is written
    write_output(args.output, token, b"\n")


def _decrypt(args):
    passphrase, raw = _passphrase_and_data(args, args.token, os.fsencode, confirm=False)
    token = raw.strip()
    del raw
    cipher = _cipher_class()(passphrase)
    with _HeldStderr():
        plaintext = cipher.decrypt_data(token)
        _raise_if_interrupted()
        if plaintext is None:
            plaintext = _decrypt_directly(passphrase, token)
    del token
    if args.binary:
        write_output(args.output, plaintext)
        return
    _check_text(plaintext, "decrypted, but the plaintext")
    write_output(args.output, plaintext, b"\n" if _is_stream(args.output) else b"")


def _decrypt_directly(passphrase, token):
    """Asks cryptography's Fernet, with the same key, why the token gave None: InvalidToken
    means it did not decrypt; running out of memory raises MemoryError here too."""
    from cryptography.fernet import Fernet, InvalidToken

    try:
        return Fernet(own_key(passphrase)).decrypt(token)
    except InvalidToken:
        raise Failure(EXIT_NOT_DECRYPTED, NOT_DECRYPTED) from None


def _key(args):
    write_output(args.output, own_key(read_passphrase(args)), b"\n")


def _string_key(args):
    passphrase = read_passphrase(args)
    kv_duneth = _cipher_class()
    key = kv_duneth.__new__(kv_duneth).string_to_secret_key(passphrase)
    write_output(args.output, key.encode(), b"\n")


def _unkeyed():
    # The date methods never read the object's key: skip the derivation.
    kv_duneth = _cipher_class()
    return kv_duneth.__new__(kv_duneth)


def _today(args):
    write_output(None, _unkeyed().get_today_date().encode(), b"\n")


def _end_date(args):
    try:
        date = _unkeyed().generate_end_date(args.years, args.months, args.days)
    except (ValueError, OverflowError) as exc:
        raise Failure(EXIT_USAGE, f"no such date: {exc}") from None
    write_output(None, date.encode(), b"\n")


# --- Arguments -------------------------------------------------------------------------------

_PASSPHRASE_HELP = (
    "The passphrase comes from --passphrase-file FILE (its first line, without the line end), "
    f"else from the environment variable {ENV_VAR}, else from a prompt without echo when "
    "standard input is a terminal (encrypt asks twice). It is never taken from the command "
    "line. With none of them, or an empty one, the command refuses to run (exit 2).")
_DATA_HELP = (
    "Text mode (the default): text read from standard input loses one final newline and text "
    "written to standard output gains one, as a line does; a file named by --input or "
    "--output holds the text exactly, so files round-trip byte for byte. With --binary the "
    "plaintext is bytes, taken and given exactly. A token is written as one line. Output to a "
    "file appears only complete: a temporary file beside it is renamed at the end (a new file "
    "gets mode 0600, a replaced one keeps its mode); on failure the file is left as it was.")
_STATUS_HELP = (
    "Exit status: 0 success, 1 the token did not decrypt, 2 usage error, 65 the data is not "
    "UTF-8 text (use --binary), 71 out of memory, 74 input/output error, 130 interrupted, 141 "
    "the reader of standard output went away.")


def _passphrase_options():
    import argparse

    options = argparse.ArgumentParser(add_help=False)
    options.add_argument("--passphrase-file", metavar="FILE",
                         help="read the passphrase from the first line of FILE")
    return options


def _output_option():
    import argparse

    options = argparse.ArgumentParser(add_help=False)
    options.add_argument("-o", "--output", metavar="FILE",
                         help="write the result to FILE (default, or -: standard output)")
    return options


def _data_options():
    import argparse

    options = argparse.ArgumentParser(add_help=False)
    options.add_argument("-i", "--input", metavar="FILE",
                         help="read the data from FILE (default, or -: standard input)")
    options.add_argument("--binary", action="store_true",
                         help="the plaintext is bytes, not UTF-8 text")
    return options


def build_parser(prog=None):
    import argparse

    from kelvaro_duneth import __version__

    parser = argparse.ArgumentParser(
        prog=prog, allow_abbrev=False,
        description="Encrypt and decrypt data as Fernet tokens under a passphrase-derived key, "
                    "print that key, and compute dates.",
        epilog=_PASSPHRASE_HELP + " " + _STATUS_HELP)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    secret, output, data = _passphrase_options(), _output_option(), _data_options()

    def command(name, func, help_text, epilog=None, parents=()):
        sub = commands.add_parser(name, help=help_text, description=help_text, epilog=epilog,
                                  parents=list(parents), allow_abbrev=False)
        sub.set_defaults(func=func, prog=sub.prog)
        return sub

    sub = command("encrypt", _encrypt, "Encrypt TEXT, or the input, and print the token.",
                  f"{_DATA_HELP} {_PASSPHRASE_HELP}", (secret, data, output))
    sub.add_argument("text", nargs="?", metavar="TEXT",
                     help="the text to encrypt (none, or -: the input)")
    sub = command("decrypt", _decrypt,
                  "Decrypt TOKEN, or the token in the input, and print the plaintext; exit 1 "
                  "when it does not decrypt.", f"{_DATA_HELP} {_PASSPHRASE_HELP}",
                  (secret, data, output))
    sub.add_argument("token", nargs="?", metavar="TOKEN",
                     help="the token to decrypt (none, or -: the input)")
    command("key", _key,
            "Print the Fernet key of the tokens that encrypt makes under the passphrase: any "
            "Fernet implementation decrypts them with it.", _PASSPHRASE_HELP, (secret, output))
    command("string-key", _string_key,
            "Print the key string of string_to_secret_key for the passphrase. Its salt differs "
            "from that of the key encrypt uses, so it does not decrypt those tokens.",
            _PASSPHRASE_HELP, (secret, output))
    command("today", _today, "Print today's local date (YYYY-MM-DD).")
    sub = command("end-date", _end_date,
                  "Print the local date that many days, then years, then months from today.")
    for unit in ("years", "months", "days"):
        sub.add_argument(f"--{unit}", type=int, default=0, metavar="N",
                         help=f"{unit} to add, negative to go back (default 0)")
    return parser


# --- Entry point -----------------------------------------------------------------------------

def _is_cryptography_missing(exc):
    return (exc.name or "").partition(".")[0] == "cryptography"


def _ignore_interrupts():
    import signal

    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the command is over: nothing left to stop


def _report(prog, failure):
    _ignore_interrupts()
    name = _prog or prog or os.path.basename(sys.argv[0] or "kelvaro-duneth")
    if failure.message and sys.stderr is not None:
        label = "" if failure.status == EXIT_INTERRUPTED else "error: "
        try:
            sys.stderr.write(f"{name}: {label}{failure.message}\n")
            sys.stderr.flush()
        except (OSError, ValueError):
            pass
    return failure.status


_prog = None  # the command's own name for messages, once the arguments are parsed


def _run(argv, prog):
    global _prog
    parser = build_parser(prog)
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version, or a usage error that argparse reported
        if sys.stdout is not None:
            _flush_stdout()
        return exc.code
    except OSError as exc:  # argparse writing --help or --version
        raise _stdout_failure(exc) from None
    _prog = args.prog
    args.func(args)
    return EXIT_OK


def main(argv=None, prog=None):
    """Runs one command and returns its exit status. It is the program's entry point: it sets
    the process's SIGINT handler and, once the command is over, ignores SIGINT."""
    try:
        _guard_interrupts()
        status = _run(argv, prog)
        _raise_if_interrupted()  # an interrupt that code called from C swallowed (a callback)
    except Failure as failure:
        return _report(prog, failure)
    except KeyboardInterrupt:
        return _report(prog, Failure(EXIT_INTERRUPTED, "interrupted"))
    except MemoryError:
        return _report(prog, Failure(EXIT_NO_MEMORY, "out of memory: the whole input and "
                                                     "several copies of it are held in memory"))
    except ImportError as exc:
        if not _is_cryptography_missing(exc):
            raise
        return _report(prog, Failure(EXIT_USAGE, "the Python package 'cryptography' is not "
                                                 f"installed, and it is needed ({exc})"))
    _ignore_interrupts()
    return status
