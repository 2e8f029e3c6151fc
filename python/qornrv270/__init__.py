"""Python bindings of QornRV270API, the host library of the RV270 counter terminal.

    from qornrv270 import Terminal
    terminal = Terminal(port=0)                # USB; another number is that serial port
    print(terminal.device_info())
    answer = terminal.greet("欢迎光临", "柜员: 001", "请到3号窗口")

Library gives every export as declared in the C header (texts may be str: they go out as
GBK); Terminal wraps the common ones, returns str texts and raises RV270Error, which
carries the result, the last error code and its text, when an export fails.
"""
from ._declarations import EXPORTS
from ._library import ENCODING, Export, Library, MissingExport
from ._terminal import (ERROR_TEXTS, RV270Error, Terminal, error_code, error_text, hex_text,
                        library, log_path)

__version__ = "1.0.0.3"

__all__ = ["ENCODING", "ERROR_TEXTS", "EXPORTS", "Export", "Library", "MissingExport",
           "RV270Error", "Terminal", "error_code", "error_text", "hex_text", "library",
           "log_path"]
