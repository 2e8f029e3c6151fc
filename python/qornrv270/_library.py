"""Loading the library and calling its exports through ctypes.

Every export is declared from the table in _declarations.py, but a symbol is looked up
only when it is first used: a library that provides only some of the exports loads, and
a missing one raises MissingExport when called for.
"""
import ctypes
import os
import sys

from ._declarations import EXPORTS

_ARGTYPES = {
    "i": ctypes.c_int,
    "s": ctypes.c_char_p,
    "b": ctypes.c_char_p,
    "d": ctypes.c_char_p,
    "u": ctypes.c_char_p,
    "p": ctypes.POINTER(ctypes.c_int),
}

ENCODING = "gbk"


class MissingExport(AttributeError):
    """The loaded library does not provide this export (yet)."""


def _library_names():
    if sys.platform == "win32":
        return ["QornRV270API.dll"]
    return ["libQornRV270API.so.1", "libQornRV270API.so"]


def _convert(kind, value):
    """One argument in the form ctypes takes: str texts become GBK bytes, a bytearray
    becomes a writable buffer over the same memory."""
    if kind == "s" and isinstance(value, str):
        return value.encode(ENCODING)
    if kind in "bdu" and isinstance(value, bytearray):
        return (ctypes.c_char * len(value)).from_buffer(value) if value else None
    return value


class Export:
    """One export: checks the argument count (a wrong count would unbalance the stack of
    a 32-bit stdcall function) and converts texts and buffers."""

    def __init__(self, name, function, params):
        self.name = name
        self.params = params
        self._function = function
        function.argtypes = [_ARGTYPES[kind] for _, kind in params]
        function.restype = ctypes.c_int

    def __call__(self, *args):
        if len(args) != len(self.params):
            raise TypeError("%s takes %d arguments (%s), %d given" % (
                self.name, len(self.params), ", ".join(p for p, _ in self.params), len(args)))
        return self._function(*(_convert(kind, a) for (_, kind), a in zip(self.params, args)))

    def __repr__(self):
        return "<export %s(%s)>" % (self.name, ", ".join(p for p, _ in self.params))


class Library:
    """The loaded QornRV270API library. Exports are attributes: lib.RV270Api_GetErrorCode().

    path: the library file; by default the environment variable QORNRV270_LIBRARY, else
    the library beside this package, else the system's search (libQornRV270API.so.1 on
    Linux, QornRV270API.dll on Windows).
    """

    def __init__(self, path=None):
        path = path or os.environ.get("QORNRV270_LIBRARY") or self._beside_package()
        loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
        errors = []
        for candidate in [path] if path else _library_names():
            try:
                self._dll = loader(candidate)
                self.path = candidate
                break
            except OSError as error:
                errors.append(str(error))
        else:
            raise OSError("cannot load QornRV270API: " + "; ".join(errors))
        self._exports = {}

    @staticmethod
    def _beside_package():
        here = os.path.dirname(os.path.abspath(__file__))
        for name in _library_names():
            if os.path.isfile(os.path.join(here, name)):
                return os.path.join(here, name)
        return None

    def has(self, name):
        """True when the library provides the export name."""
        try:
            getattr(self, name)
            return True
        except MissingExport:
            return False

    def available(self):
        """The names of the declared exports this library provides."""
        return [name for name in EXPORTS if self.has(name)]

    def __getattr__(self, name):
        if name.startswith("_") or name not in EXPORTS:
            raise AttributeError(name)
        export = self._exports.get(name)
        if export is None:
            try:
                function = getattr(self._dll, name)
            except AttributeError:
                raise MissingExport("%s does not provide %s" % (self.path, name)) from None
            export = self._exports[name] = Export(name, function, EXPORTS[name])
        return export
