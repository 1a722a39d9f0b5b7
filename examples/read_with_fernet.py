"""Reads a token from the command line with cryptography's Fernet alone, without kelvaro_duneth.

    kelvaro-duneth key -o fernet.key                    # once: the key, in a file of mode 0600
    kelvaro-duneth encrypt notes.txt -o notes.tok
    python examples/read_with_fernet.py fernet.key < notes.tok
"""
import sys

from cryptography.fernet import Fernet

with open(sys.argv[1], "rb") as key_file:
    fernet = Fernet(key_file.read().strip())
sys.stdout.buffer.write(fernet.decrypt(sys.stdin.buffer.read().strip()))
