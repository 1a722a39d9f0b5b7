"""The command line, `python -m kelvaro_duneth` (installed also as `kelvaro-duneth`).

`encrypt` and `decrypt` turn files into Fernet tokens and back, in memory that does not grow with
the file, through cryptography's primitives (kelvaro_duneth._fernet); `key` prints the Fernet key
of those tokens. `string-key` prints the key string of string_to_secret_key, `today` and
`end-date` print dates, through the module. Standard output carries the result alone; every
failure is one line on standard error and an exit status of its own (the EXIT_* names below,
listed in the README).

This module loads nothing at import beyond os and sys, which the interpreter has loaded already,
so that the default SIGINT handler, in place from the start, ends any run with status 130 and one
line.
"""
import os
import sys

ENV_VAR = "KELVARO_PASSPHRASE"

EXIT_OK, EXIT_NOT_DECRYPTED, EXIT_USAGE = 0, 1, 2
EXIT_NOT_TEXT, EXIT_NO_MEMORY, EXIT_IO = 65, 71, 74  # sysexits.h: EX_DATAERR, EX_OSERR, EX_IOERR
EXIT_INTERRUPTED, EXIT_READER_GONE = 130, 141  # 128 + SIGINT, 128 + SIGPIPE, as shells report

CHUNK = 1 << 20  # bytes read at a time: what the memory of encrypt and decrypt scales with

NOT_DECRYPTED = "did not decrypt: wrong passphrase or key, or the token was altered"
NOT_TEXT = ("the plaintext is not text, and standard output is a terminal: write it with -o FILE "
            "or a redirect")


class Failure(Exception):
    """Ends the command with `status` and, unless `message` is empty, one line on stderr."""

    def __init__(self, status, message=""):
        super().__init__(message)
        self.status, self.message = status, message


# --- Standard streams and files --------------------------------------------------------------

def _reason(exc):
    return exc.strerror or str(exc)


def _write_fd(fd, data):
    """Writes the bytes-like `data` whole."""
    view = memoryview(data)
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


def _stdout_fd():
    if sys.stdout is None:  # the process started with standard output closed
        raise Failure(EXIT_IO, "cannot write standard output: it is closed")
    try:
        sys.stdout.flush()
        return sys.stdout.fileno()
    except OSError as exc:
        raise _stdout_failure(exc) from None


def _stdout_failure(exc):
    _silence_stdout()
    if isinstance(exc, BrokenPipeError):  # the reader went away: no message
        return Failure(EXIT_READER_GONE)
    return Failure(EXIT_IO, f"cannot write standard output: {_reason(exc)}")


def _is_stream(path):
    return path is None or path == "-"


def _looks_like_a_token(text):
    return text.startswith("gAAAA") and len(text) > 80


def open_input(path):
    """The name and the file descriptor of the input: standard input when `path` is None or
    "-". The caller closes the descriptor of a file."""
    if _is_stream(path):
        if sys.stdin is None:
            raise Failure(EXIT_IO, "cannot read standard input: it is closed")
        return "standard input", sys.stdin.fileno()
    try:
        return path, os.open(path, os.O_RDONLY)
    except FileNotFoundError as exc:
        if _looks_like_a_token(path):  # `decrypt TOKEN`, as the command once took it
            raise Failure(EXIT_IO, f"cannot read {path[:12]}...: {_reason(exc)} (a token given "
                                   "as text goes on standard input)") from None
        raise Failure(EXIT_IO, f"cannot read {path}: {_reason(exc)}") from None
    except OSError as exc:
        raise Failure(EXIT_IO, f"cannot read {path}: {_reason(exc)}") from None


def read_chunks(name, fd):
    """The input, CHUNK bytes at a time."""
    while True:
        try:
            chunk = os.read(fd, CHUNK)
        except OSError as exc:
            raise Failure(EXIT_IO, f"cannot read {name}: {_reason(exc)}") from None
        if not chunk:
            return
        yield chunk


class Output:
    """Where a command writes its result: standard output, or the file `path`.

    A regular file (or a new one) is written as a temporary file beside it, readable by its
    owner only, which publish() syncs and renames over it: the file appears only complete. A
    file replaced keeps its permission bits. Standard output, a device or a pipe is written in
    place, except when `hold`: then the result goes first to a temporary file of the same mode,
    unlinked at once, in the temporary directory, and publish() copies it out. Until publish(),
    close() drops everything written.
    """

    def __init__(self, path, hold):
        import stat

        self.name, self.fd, self.held, self.temporary, self.mode = path, None, None, None, None
        self.owned = True  # the descriptor is closed with the output (not standard output's)
        self.target = None  # a device or a pipe named by `path`, opened by publish() when held
        if _is_stream(path):
            self.name = "standard output"
            if not hold:
                self.fd, self.owned = _stdout_fd(), False
        else:
            target = os.path.realpath(path)  # through a symbolic link, to the file it names
            try:
                try:
                    mode = os.stat(target).st_mode
                except FileNotFoundError:
                    mode = None
                if mode is None or stat.S_ISREG(mode):
                    self._beside(target, None if mode is None else stat.S_IMODE(mode))
                elif hold:
                    self.target = target
                else:
                    self.fd = os.open(target, os.O_WRONLY)
            except OSError as exc:
                raise self._failure(exc) from None
        if self.fd is None:
            self._hold()

    def _beside(self, target, mode):
        import tempfile

        directory, name = os.path.split(target)
        self.fd, self.temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part",
                                                   dir=directory)
        self.target, self.mode = target, mode

    def _hold(self):
        try:
            self.held = self.fd = _anonymous_file()
        except OSError as exc:
            raise _temporary_failure(exc) from None

    def _failure(self, exc):
        if self.name == "standard output":
            return _stdout_failure(exc)
        return Failure(EXIT_IO, f"cannot write {self.name}: {_reason(exc)}")

    def write(self, data):
        if not data:
            return
        try:
            _write_fd(self.fd, data)
        except OSError as exc:
            if self.held is not None:
                raise _temporary_failure(exc) from None
            raise self._failure(exc) from None

    def publish(self, text_only_to_terminal=False):
        """Makes the result appear. With `text_only_to_terminal`, a held result that is not
        UTF-8 text is refused (EXIT_NOT_TEXT) when the destination is a terminal."""
        try:
            if self.held is not None:
                self._copy_out(text_only_to_terminal)
            elif self.temporary is not None:
                if self.mode is not None:
                    os.fchmod(self.fd, self.mode)
                os.fsync(self.fd)
                os.close(self.fd)
                self.fd = None
                os.replace(self.temporary, self.target)
                self.temporary = None
                _sync_directory(os.path.dirname(self.target))
        except OSError as exc:
            raise self._failure(exc) from None
        finally:
            self.close()

    def _copy_out(self, text_only_to_terminal):
        if self.target is None:
            destination = _stdout_fd()
        else:
            destination = os.open(self.target, os.O_WRONLY)
        try:
            if text_only_to_terminal and os.isatty(destination) and not self._is_text():
                raise Failure(EXIT_NOT_TEXT, NOT_TEXT)
            _copy(self.held, destination)
        finally:
            if self.target is not None:
                os.close(destination)

    def _is_text(self):
        import codecs

        decoder = codecs.getincrementaldecoder("utf-8")()
        os.lseek(self.held, 0, os.SEEK_SET)
        try:
            for chunk in read_chunks("a temporary file", self.held):
                decoder.decode(chunk)
            decoder.decode(b"", final=True)
        except UnicodeDecodeError:
            return False
        return True

    def close(self):
        """Drops whatever was not published: the temporary file, and the held result."""
        if self.fd is not None and self.owned:
            os.close(self.fd)
        self.fd = self.held = None
        if self.temporary is not None:
            try:
                os.unlink(self.temporary)
            except OSError:
                pass
            self.temporary = None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


def _copy(source, destination):
    """Copies the whole file `source` to `destination`: in the kernel (sendfile) where it
    can, else through a buffer (a destination opened for appending, an older kernel)."""
    import errno

    size, offset = os.fstat(source).st_size, 0
    try:
        while offset < size:
            sent = os.sendfile(destination, source, offset, size - offset)
            if not sent:
                raise OSError("the file shrank")
            offset += sent
        return
    except OSError as exc:
        if offset or exc.errno not in (errno.EINVAL, errno.ENOSYS):
            raise
    os.lseek(source, 0, os.SEEK_SET)
    for chunk in read_chunks("a temporary file", source):
        _write_fd(destination, chunk)


def _temporary_failure(exc):
    import tempfile

    return Failure(EXIT_IO, f"cannot write a temporary file in {tempfile.gettempdir()}: "
                            f"{_reason(exc)}")


def _anonymous_file():
    """A file descriptor open on a new file in the temporary directory, of mode 0600, already
    unlinked: it disappears with the process, however it ends."""
    import tempfile

    fd, path = tempfile.mkstemp(prefix="kelvaro-duneth.", suffix=".part")
    os.unlink(path)
    return fd


def _sync_directory(directory):
    try:  # makes the rename itself durable; the output is complete either way
        dir_fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)
    except OSError:
        pass


def write_output(path, *parts):
    """Writes the small result `parts` (bytes) to standard output or the file `path`."""
    with Output(path, hold=False) as output:
        for part in parts:
            output.write(part)
        output.publish()


# --- Passphrases and keys --------------------------------------------------------------------

def _first_line(path, option):
    """The first line of the file `path`, without its line end, as bytes."""
    if path == "-":
        raise Failure(EXIT_USAGE, f"{option} cannot be standard input, which may carry the data: "
                                  "name a file")
    try:
        with open(path, "rb") as file:
            line = file.readline()
    except OSError as exc:
        raise Failure(EXIT_IO, f"cannot read {path}: {_reason(exc)}") from None
    line = line[:-1] if line.endswith(b"\n") else line
    return line[:-1] if line.endswith(b"\r") else line


def _terminal():
    """Whether the process has a terminal to ask at (/dev/tty, whatever standard input is)."""
    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        return False
    return True


def _prompt(confirm):
    import getpass  # reads /dev/tty, without echo, when it opens: standard input may be data

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
    """From --passphrase-file, else KELVARO_PASSPHRASE, else a prompt at the terminal (asked
    twice when `confirm`). An empty passphrase is refused wherever it comes from."""
    if args.passphrase_file is not None:
        line, source = _first_line(args.passphrase_file, "--passphrase-file"), args.passphrase_file
        try:
            passphrase = line.decode("utf-8")
        except UnicodeDecodeError:
            raise Failure(EXIT_USAGE, f"the passphrase in {source} is not UTF-8 text") from None
    elif ENV_VAR in os.environ:
        passphrase, source = os.environ[ENV_VAR], ENV_VAR
    elif _terminal():
        passphrase, source = _prompt(confirm), "the one typed"
    else:
        options = "--passphrase-file FILE" + (" or --key-file FILE" if args.keyed else "")
        raise Failure(EXIT_USAGE, f"no passphrase and no terminal to ask for one: give {options}, "
                                  f"or set {ENV_VAR}")
    if not passphrase:
        raise Failure(EXIT_USAGE, f"no passphrase: {source} is empty")
    try:
        passphrase.encode("utf-8")
    except UnicodeEncodeError:
        raise Failure(EXIT_USAGE, "the passphrase is not valid UTF-8") from None
    return passphrase


def read_key(args, confirm):
    """The 32 bytes of the Fernet key: from --key-file, else derived from the passphrase."""
    from kelvaro_duneth import _fernet

    if args.key_file is None:
        return _fernet.parse_key(_fernet.derive_key(read_passphrase(args, confirm)))
    try:
        return _fernet.parse_key(_first_line(args.key_file, "--key-file").rstrip())
    except ValueError as exc:
        raise Failure(EXIT_USAGE, f"{args.key_file} does not hold a Fernet key ({exc})") from None


def _cipher_class():
    from kelvaro_duneth.kv_duneth import kv_duneth

    return kv_duneth


# --- Commands --------------------------------------------------------------------------------

def _encrypt(args):
    from kelvaro_duneth import _fernet

    name, fd = open_input(args.file)  # a file that cannot be read fails before any prompt
    try:
        key = read_key(args, confirm=True)
        with Output(args.output, hold=False) as output:
            _fernet.encrypt(key, read_chunks(name, fd), output.write)
            output.write(b"\n")
            output.publish()
    finally:
        if not _is_stream(args.file):
            os.close(fd)


def _decrypt(args):
    from kelvaro_duneth import _fernet

    name, fd = open_input(args.file)
    try:
        key = read_key(args, confirm=False)
        with Output(args.output, hold=True) as output:
            try:
                _fernet.decrypt(key, read_chunks(name, fd), output.write)
            except _fernet.NotAToken as exc:
                raise Failure(EXIT_NOT_DECRYPTED, f"{name} is not a Fernet token ({exc})") from None
            except _fernet.NotDecrypted:
                raise Failure(EXIT_NOT_DECRYPTED, NOT_DECRYPTED) from None
            output.publish(text_only_to_terminal=True)
    finally:
        if not _is_stream(args.file):
            os.close(fd)


def _key(args):
    from kelvaro_duneth import _fernet

    write_output(args.output, _fernet.derive_key(read_passphrase(args)), b"\n")


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
    f"else from the environment variable {ENV_VAR}, else from a prompt without echo at the "
    "terminal, even when standard input carries the data (encrypt asks twice). It is never taken "
    "from the command line. With none of them, or an empty one, the command refuses to run "
    "(exit 2).")
_KEY_FILE_HELP = (
    "--key-file FILE takes a Fernet key instead (44 URL-safe Base64 characters, as `key` prints "
    "and Fernet.generate_key() makes).")
_DATA_HELP = (
    "Bytes in, the same bytes out: nothing is added to or taken from the plaintext. A token is "
    "written as one line, and read with or without its line end. Any size, in bounded memory. "
    "decrypt checks the whole token before it writes anything; to a terminal it writes text "
    "only. Output to a file appears only complete: a temporary file beside it is renamed at the "
    "end (a new file gets mode 0600, a replaced one keeps its mode); on failure the file is left "
    "as it was.")
_STATUS_HELP = (
    "Exit status: 0 success, 1 not a Fernet token or it did not decrypt, 2 usage error, 65 "
    "decrypted data that is not text refused to a terminal, 71 out of memory, 74 input/output "
    "error, 130 interrupted, 141 the reader of standard output went away.")


def _options(*names):
    import argparse

    options = argparse.ArgumentParser(add_help=False)
    if "output" in names:
        options.add_argument("-o", "--output", metavar="FILE",
                             help="write the result to FILE (default, or -: standard output)")
    secret = options.add_mutually_exclusive_group() if "key" in names else options
    secret.add_argument("--passphrase-file", metavar="FILE",
                        help="read the passphrase from the first line of FILE")
    if "key" in names:
        secret.add_argument("--key-file", metavar="FILE",
                            help="read a Fernet key from FILE instead of using a passphrase")
    options.set_defaults(keyed="key" in names, key_file=None)
    return options


def build_parser(prog=None):
    import argparse

    from kelvaro_duneth import __version__

    parser = argparse.ArgumentParser(
        prog=prog, allow_abbrev=False,
        description="Encrypt and decrypt files as Fernet tokens under a passphrase-derived key, "
                    "print that key, and compute dates.",
        epilog=_PASSPHRASE_HELP + " " + _STATUS_HELP)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    keyed, secret = _options("output", "key"), _options("output")

    def command(name, func, help_text, epilog=None, parents=()):
        sub = commands.add_parser(name, help=help_text, description=help_text, epilog=epilog,
                                  parents=list(parents), allow_abbrev=False)
        sub.set_defaults(func=func, prog=sub.prog)
        return sub

    data_help = f"{_DATA_HELP} {_PASSPHRASE_HELP} {_KEY_FILE_HELP}"
    sub = command("encrypt", _encrypt, "Encrypt FILE, or standard input, into a token.",
                  data_help, (keyed,))
    sub.add_argument("file", nargs="?", metavar="FILE",
                     help="the file to encrypt (none, or -: standard input)")
    sub = command("decrypt", _decrypt,
                  "Decrypt the token in FILE, or standard input; exit 1 when it is not a token "
                  "or does not decrypt.", data_help, (keyed,))
    sub.add_argument("file", nargs="?", metavar="FILE",
                     help="the file that holds the token (none, or -: standard input)")
    command("key", _key,
            "Print the Fernet key of the tokens that encrypt makes under the passphrase: any "
            "Fernet implementation decrypts them with it.", _PASSPHRASE_HELP, (secret,))
    command("string-key", _string_key,
            "Print the key string of string_to_secret_key for the passphrase. Its salt differs "
            "from that of the key encrypt uses, so it does not decrypt those tokens.",
            _PASSPHRASE_HELP, (secret,))
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


def _parse(parser, argv):
    """The arguments; or, for --help, --version and usage errors, argparse's exit status once
    what it printed is out. Since Python 3.12 (and 3.11.7), argparse drops a failure to write
    its help: it writes into a buffer here, and the command writes that out itself."""
    import io

    printed, stdout = io.StringIO(), sys.stdout
    sys.stdout = printed
    try:
        return parser.parse_args(argv), None
    except SystemExit as exc:
        status = exc.code
    finally:
        sys.stdout = stdout
    if printed.getvalue():
        fd = _stdout_fd()
        try:
            _write_fd(fd, printed.getvalue().encode(sys.stdout.encoding, "replace"))
        except OSError as exc:
            raise _stdout_failure(exc) from None
    return None, status


def _run(argv, prog):
    global _prog
    args, status = _parse(build_parser(prog), argv)
    if args is None:
        return status
    _prog = args.prog
    args.func(args)
    return EXIT_OK


def main(argv=None, prog=None):
    """Runs one command and returns its exit status. It is the program's entry point: once the
    command is over, it ignores SIGINT."""
    try:
        status = _run(argv, prog)
    except Failure as failure:
        return _report(prog, failure)
    except KeyboardInterrupt:
        return _report(prog, Failure(EXIT_INTERRUPTED, "interrupted"))
    except MemoryError:
        return _report(prog, Failure(EXIT_NO_MEMORY, "out of memory"))
    except ImportError as exc:
        if not _is_cryptography_missing(exc):
            raise
        return _report(prog, Failure(EXIT_USAGE, "the Python package 'cryptography' is not "
                                                 f"installed, and it is needed ({exc})"))
    _ignore_interrupts()
    return status
