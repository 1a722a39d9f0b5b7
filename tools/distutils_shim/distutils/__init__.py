"""The few distutils names that Debian's meson 1.0 asks of the interpreter it builds for.

CPython 3.12 removed distutils; meson's interpreter probe still imports it. This stand-in is put
on PYTHONPATH only while `meson setup` probes a pyenv 3.12 or 3.13 interpreter.
"""
