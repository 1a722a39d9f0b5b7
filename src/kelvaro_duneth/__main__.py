"""`python -m kelvaro_duneth`: the command line of kelvaro_duneth._cli."""
import sys

from kelvaro_duneth._cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m kelvaro_duneth"))
