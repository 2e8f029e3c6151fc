"""Python bindings of QornRV270API, the host library of the RV270 counter terminal.

    from qornrv270 import Terminal
    terminal = Terminal(port=0)                # USB; another number is that serial port
    print(terminal.device_info())
    answer = terminal.greet("欢迎光临", "柜员: 001", "请到3号窗口")

Library gives every export as declared in the C header (texts may be str: they go out as
GBK); Terminal wraps every family (device, screen, media, files, teller evaluation,
signature, PIN pad and keypad entry, keys, keypad identity, operators, cipher services),
returns str texts and raises RV270Error, which carries the result, the last error code
and its text, when an export fails. A wrong argument raises TypeError or ValueError naming the parameter; a
library that cannot be loaded raises LibraryNotFound, naming QORNRV270_LIBRARY.
"""
from ._declarations import EXPORTS
from ._library import ENCODING, LIBRARY_VARIABLE, Export, Library, LibraryNotFound, MissingExport
from ._terminal import (CATEGORIES, ERROR_TEXTS, SIGNATURE_FILE, RV270Error, Terminal, error_code,
                        error_text, hex_text, library, log_path)

__version__ = "1.0.0.3"

__all__ = ["CATEGORIES", "ENCODING", "ERROR_TEXTS", "EXPORTS", "Export", "LIBRARY_VARIABLE",
           "Library", "LibraryNotFound", "MissingExport", "RV270Error", "SIGNATURE_FILE",
           "Terminal", "error_code", "error_text", "hex_text", "library", "log_path"]
