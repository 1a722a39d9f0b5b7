"""Just enough of Distribution for meson to ask whether extensions link against libpython."""


class Extension:
    def __init__(self, name, sources):
        self.name = name
        self.sources = sources


class _BuildExt:
    def ensure_finalized(self):
        pass

    def get_libraries(self, ext):
        # On Linux, CPython extensions never link libpython explicitly.
        return []


class Distribution:
    def get_command_obj(self, name):
        if name != "build_ext":
            raise NotImplementedError(name)
        return _BuildExt()
