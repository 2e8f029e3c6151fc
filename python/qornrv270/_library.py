"""Loading the library and calling its exports through ctypes.

Every export is declared from the table in _declarations.py, but a symbol is looked up
only when it is first used: a library that provides only some of the exports loads, and
a missing one raises MissingExport when called for.
"""
import ctypes
import os
import sys
from typing import Any, Dict, List, Optional, Tuple

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

#: The environment variable that names the library file to load.
LIBRARY_VARIABLE = "QORNRV270_LIBRARY"


class MissingExport(AttributeError):
    """The loaded library does not provide this export (yet)."""


class LibraryNotFound(OSError):
    """The library could not be loaded; the message lists what was tried and why."""


def _library_names() -> List[str]:
    if sys.platform == "win32":
        return ["QornRV270API.dll"]
    return ["libQornRV270API.so.1", "libQornRV270API.so"]


def gbk(parameter: str, value: Any, *, nullable: bool = False) -> Optional[bytes]:
    """A text argument as the library takes it: str becomes GBK, bytes stay as they are.
    A wrong type, or a character that GBK lacks, raises TypeError or ValueError naming
    the parameter (and the character and its position)."""
    if value is None and nullable:
        return None
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if not isinstance(value, str):
        raise TypeError("%s must be str, not %s" % (parameter, type(value).__name__))
    try:
        return value.encode(ENCODING)
    except UnicodeEncodeError as error:
        raise ValueError("%s: %r at position %d has no GBK form" % (
            parameter, value[error.start], error.start)) from None


def integer(parameter: str, value: Any, low: int = -2**31, high: int = 2**31 - 1) -> int:
    """An int argument checked against its range; errors name the parameter."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be int, not %s" % (parameter, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be from %d to %d, not %d" % (parameter, low, high, value))
    return value


def _convert(name: str, kind: str, value: Any) -> Any:
    """One argument in the form ctypes takes: str texts become GBK bytes, a bytearray
    becomes a writable buffer over the same memory. Errors name the C parameter."""
    if kind == "i":
        return integer(name, value)
    if kind == "s":
        return gbk(name, value, nullable=True)
    if kind in "bdu" and isinstance(value, bytearray):
        return (ctypes.c_char * len(value)).from_buffer(value) if value else None
    return value


class Export:
    """One export: checks the argument count (a wrong count would unbalance the stack of
    a 32-bit stdcall function) and converts texts and buffers."""

    def __init__(self, name: str, function: Any, params: Tuple[Tuple[str, str], ...]) -> None:
        self.name = name
        self.params = params
        self._function = function
        function.argtypes = [_ARGTYPES[kind] for _, kind in params]
        function.restype = ctypes.c_int

    def __call__(self, *args: Any) -> int:
        if len(args) != len(self.params):
            raise TypeError("%s takes %d arguments (%s), %d given" % (
                self.name, len(self.params), ", ".join(p for p, _ in self.params), len(args)))
        converted = [_convert(p, kind, a) for (p, kind), a in zip(self.params, args)]
        try:
            return int(self._function(*converted))
        except ctypes.ArgumentError as error:
            # ctypes counts from 1 and does not name the parameter.
            text = str(error)
            index = int(text.split(":", 1)[0].split()[-1]) - 1 if text.startswith("argument ") else -1
            where = self.params[index][0] if 0 <= index < len(self.params) else "an argument"
            raise TypeError("%s: %s: %s" % (self.name, where, text.split(":", 1)[-1].strip())) from None

    def __repr__(self) -> str:
        return "<export %s(%s)>" % (self.name, ", ".join(p for p, _ in self.params))


class Library:
    """The loaded QornRV270API library. Exports are attributes: lib.RV270Api_GetErrorCode().

    path: the library file; by default the environment variable QORNRV270_LIBRARY, else
    the library beside this package, else the system's search (libQornRV270API.so.1 on
    Linux, QornRV270API.dll on Windows).
    """

    path: str

    def __init__(self, path: Optional[str] = None) -> None:
        from_variable = path is None and bool(os.environ.get(LIBRARY_VARIABLE))
        path = path or os.environ.get(LIBRARY_VARIABLE) or self._beside_package()
        loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL  # type: ignore[attr-defined]
        errors = []
        for candidate in [path] if path else _library_names():
            try:
                self._dll = loader(candidate)
                self.path = candidate
                break
            except OSError as error:
                errors.append(str(error))
        else:
            if from_variable:
                hint = "%s names %s, which does not load" % (LIBRARY_VARIABLE, path)
            elif path:
                hint = "set %s to the library's path instead" % LIBRARY_VARIABLE
            else:
                hint = ("not beside the package nor on the system's library path: set %s to "
                        "the library's path" % LIBRARY_VARIABLE)
            raise LibraryNotFound("cannot load QornRV270API (%s): %s" % (hint, "; ".join(errors)))
        self._exports: Dict[str, Export] = {}

    @staticmethod
    def _beside_package() -> Optional[str]:
        here = os.path.dirname(os.path.abspath(__file__))
        for name in _library_names():
            if os.path.isfile(os.path.join(here, name)):
                return os.path.join(here, name)
        return None

    def has(self, name: str) -> bool:
        """True when the library provides the export name."""
        try:
            getattr(self, name)
            return True
        except MissingExport:
            return False

    def available(self) -> List[str]:
        """The names of the declared exports this library provides."""
        return [name for name in EXPORTS if self.has(name)]

    def __getattr__(self, name: str) -> Export:
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
