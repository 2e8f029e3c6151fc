"""Type-checked by CI with mypy --strict against the installed wheel (not run): mypy
finds the package's hints through its py.typed marker, or reports the import."""
from typing import List, Tuple

from qornrv270 import RV270Error, Terminal


def teller_session(port: int) -> Tuple[int, List[str], bytes]:
    with Terminal(port=port) as terminal:
        answer: int = terminal.greet("欢迎光临", "柜员: 001", "请到3号窗口")
        pictures: List[str] = terminal.files("picture")
        try:
            length, block, _ = terminal.read_pin(1, timeout=30)
        except RV270Error as error:
            return error.error_code, pictures, b""
        return answer + length, pictures, block
