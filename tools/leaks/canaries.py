"""Two deliberate leaks, measured by make test-leaks before the suite: both must be reported."""
import ctypes

api = ctypes.pythonapi
api.Py_IncRef.argtypes = [ctypes.py_object]
api.Py_IncRef.restype = None
api.PyMem_Malloc.argtypes = [ctypes.c_size_t]
api.PyMem_Malloc.restype = ctypes.c_void_p
TARGET = object()


def test_a_reference_per_run():
    api.Py_IncRef(TARGET)


def test_a_memory_block_per_run():
    api.PyMem_Malloc(24)
