"""`python -m kelvaro_duneth`: the command line of kelvaro_duneth._cli."""
import sys

PROG = "python -m kelvaro_duneth"

try:
    from kelvaro_duneth._cli import main
except KeyboardInterrupt:  # before main() has set up its own handler: the same ending
    if sys.stderr is not None:
        sys.stderr.write(f"{PROG}: interrupted\n")
    sys.exit(130)

if __name__ == "__main__":
    sys.exit(main(prog=PROG))
