"""The check each wheel test runs in its fresh venv before the suite.

    python installed.py VENV-DIR [--real-cryptography] [--machine MACHINE]

Fails unless the module is the copy installed in VENV-DIR (and, when asked, the cryptography is the
real one and the machine is MACHINE); prints the line the results table reads:
"== CPython X.Y.Z MACHINE, cryptography VERSION-or-stand-in, MODULE-FILE".
"""
import platform
import sys

import cryptography
import kelvaro_duneth.kv_duneth as module

venv, options = sys.argv[1], sys.argv[2:]
stand_in = getattr(cryptography, "STAND_IN", False)
assert module.__file__.startswith(venv), module.__file__
assert not (stand_in and "--real-cryptography" in options), "the test double, not cryptography"
if "--machine" in options:
    machine = options[options.index("--machine") + 1]
    assert platform.machine() == machine, platform.machine()
print(f"== CPython {platform.python_version()} {platform.machine()}, cryptography "
      f"{'stand-in' if stand_in else cryptography.__version__}, {module.__file__}")
