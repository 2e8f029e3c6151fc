"""The terminal in Python terms: texts in and out as str, failures as RV270Error.

Every method of Terminal is one export call (a few chain two), named after what it does;
arguments are checked before the call, and a wrong one raises TypeError or ValueError
naming the method's parameter. The calls that wait for the customer can be broken off
from another thread with Terminal.cancel(), or by leaving the terminal's with block.
"""
import base64
import contextlib
import ctypes
import os
import sys
import threading
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from ._library import ENCODING, Library, gbk, integer

# The library's result codes (RV270Api_GetErrorCode) and their texts; any other code
# reads "Device work normally", as RV270Api_GetErrorMsg says.
ERROR_TEXTS = {
    0: "Device work normally",
    100: "param error",
    101: "simulator error",
    102: "cannot connect device",
    103: "received data error",
    104: "download bin error",
    105: "search device id error",
    106: "file path is null",
    107: "file is not exists",
    108: "directory is invalid",
    109: "download single file error",
    110: "unknown file type",
    111: "directory have no file",
    112: "download file in directory error",
    114: "write pos to file error",
    115: "upload signed picture error",
    116: "change to monochrome bitmap error",
    117: "cannot find compress path",
    118: "download zipfile error",
    119: "compress file error",
    120: "change to simulator error",
    121: "function is canceled",
    122: "result Length over",
    123: "device is busy",
    124: "Parameter is not reasonable",
    125: "Hardware operation exception",
    126: "setup bin error",
    127: "volume is not setted",
    128: "handle is timeout",
}

#: The terminal's file categories by name (the codes 1 to 9 are accepted as well).
CATEGORIES = {"picture": 1, "video": 2, "audio": 3, "teller": 4, "firmware": 5,
              "voucher": 6, "web": 7, "webzip": 8, "signature": 9}

#: The signature image the terminal stores when the customer signs.
SIGNATURE_FILE = "UserSign.png"

# The codes reported for the calls that leave the last error unset when they fail (the
# library's closest texts): a fetched file, the signature image.
_FETCH_ERROR = 103
_SIGNATURE_ERROR = 115

PathArg = Union[str, "os.PathLike[str]"]
Category = Union[int, str]


def error_text(code: int) -> str:
    """The text of a last error code."""
    return ERROR_TEXTS.get(code, ERROR_TEXTS[0])


class RV270Error(Exception):
    """An export failed: result (its return value), error_code (the last error code
    right after the call) and text (that code's text)."""

    def __init__(self, export: str, result: int, error_code: int) -> None:
        self.export = export
        self.result = result
        self.error_code = error_code
        self.text = error_text(error_code)
        super().__init__("%s returned %d (last error %d: %s)" % (export, result, error_code, self.text))


def _text(buffer: Any, length: Optional[int] = None) -> str:
    """A GBK text from a zeroed buffer the library filled (it may leave no terminator
    when it fills the buffer, so the copy stops at the buffer's end)."""
    data = ctypes.string_at(buffer, len(buffer) if length is None else length)
    return data.split(b"\0", 1)[0].decode(ENCODING, "replace")


def _path(parameter: str, value: Any) -> bytes:
    """A host file path as the library takes it: the file system's bytes (the system
    code page on Windows)."""
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError("%s must be a path, not %s" % (parameter, type(value).__name__))
    if sys.platform == "win32":
        path = os.fspath(value)
        return path.encode("mbcs") if isinstance(path, str) else path
    return os.fsencode(value)


def _category(parameter: str, value: Category) -> int:
    if isinstance(value, str):
        if value.lower() not in CATEGORIES:
            raise ValueError("%s must be one of %s or 1 to 9, not %r" % (
                parameter, ", ".join(CATEGORIES), value))
        return CATEGORIES[value.lower()]
    return integer(parameter, value, 1, 9)


def _seconds(parameter: str, value: int, high: int = 65535) -> int:
    return integer(parameter, value, 0, high)


def _index(parameter: str, value: Union[int, str]) -> bytes:
    """A key index or decimal field given as int or text."""
    if isinstance(value, int) and not isinstance(value, bool):
        return str(integer(parameter, value, 0)).encode()
    return gbk(parameter, value) or b""


_shared: Optional[Library] = None


def library() -> Library:
    """The library that Terminal objects use by default, loaded on first use."""
    global _shared
    if _shared is None:
        _shared = Library()
    return _shared


class Terminal:
    """One terminal: port 0 or 1001 is USB, any other number that serial port; the
    selector is the serial channel selector; baud the serial rate the operator commands
    use. Timeouts are in seconds.

    Used as a context manager, leaving the with block breaks off any customer wait
    still running on this terminal in another thread, and the object refuses later
    calls::

        with Terminal(port=0) as terminal:
            rating = terminal.evaluate(timeout=30)
    """

    def __init__(self, port: int = 0, selector: int = 0, lib: Optional[Library] = None,
                 baud: int = 9600) -> None:
        self.port = integer("port", port, 0)
        self.selector = integer("selector", selector, 0, 255)
        self.baud = integer("baud", baud, 0)
        self.lib = lib or library()
        self._lock = threading.Lock()
        self._waits: Dict[int, str] = {}
        self._closed = False

    # -- context, waits and cancel -------------------------------------------------

    def __enter__(self) -> "Terminal":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Breaks off the customer waits still running on this terminal and refuses
        later calls."""
        self.cancel_waits()
        self._closed = True

    @property
    def closed(self) -> bool:
        return self._closed

    @contextlib.contextmanager
    def _waiting(self, cancel_export: str) -> Iterator[None]:
        """Marks a call that waits for the customer, with the export that breaks it off."""
        key = threading.get_ident()
        with self._lock:
            self._waits[key] = cancel_export
        try:
            yield
        finally:
            with self._lock:
                self._waits.pop(key, None)

    def waiting(self) -> bool:
        """True while a call on this terminal waits for the customer."""
        with self._lock:
            return bool(self._waits)

    def cancel(self) -> int:
        """Breaks off the customer wait of another thread (screens, signature,
        evaluation) and tells the terminal to stop waiting."""
        return self._call("RV270Api_CancelCustomProcess", self.port, self.selector)

    def break_entry(self) -> int:
        """Breaks off a PIN or keypad entry of another thread."""
        return self._call("RV270Api_Break", self.port, self.selector)

    def cancel_waits(self) -> List[str]:
        """Sends the matching cancel for every call now waiting on this terminal;
        returns the exports sent."""
        with self._lock:
            exports = sorted(set(self._waits.values()))
        for name in exports:
            self._call(name, self.port, self.selector)
        return exports

    # -- calling --------------------------------------------------------------------

    def _call(self, name: str, *args: Any) -> int:
        if self._closed:
            raise RuntimeError("this Terminal was closed")
        return self.check(name, getattr(self.lib, name)(*args))

    def call(self, name: str, *args: Any) -> int:
        """Calls a device export with this terminal's port and selector first; returns
        its non-negative result or raises RV270Error."""
        return self._call(name, self.port, self.selector, *args)

    def check(self, name: str, result: int, error_code: Optional[int] = None) -> int:
        """Raises RV270Error for a negative result (with error_code when the export
        leaves the last error unset)."""
        if result < 0:
            raise RV270Error(name, result, self.lib.RV270Api_GetErrorCode() if error_code is None else error_code)
        return result

    def _read_text(self, name: str, size: int, *args: Any) -> str:
        buffer = ctypes.create_string_buffer(size + 1)
        self.call(name, *args, buffer)
        return _text(buffer)

    def _wait(self, cancel_export: str, name: str, *args: Any) -> int:
        with self._waiting(cancel_export):
            return self.call(name, *args)

    # -- device ---------------------------------------------------------------------

    def working_status(self) -> int:
        return self.call("RV270Api_GetWorkingStatus")

    def device_info(self, size: int = 512) -> str:
        return self._read_text("RV270Api_GetDeviceInfo", size, integer("size", size))

    def version(self) -> str:
        return self._read_text("RV270Api_GetVersion", 1024)

    def vendor_id(self) -> str:
        return self._read_text("RV270Api_GetVernderId", 1024)

    def device_id(self) -> str:
        return self._read_text("RV270Api_GetDeviceId", 1024)

    def error_message(self, size: int = 256) -> str:
        """The terminal's state as the text of its result code."""
        return self._read_text("RV270Api_GetErrorMsg", size, integer("size", size))

    def reset(self) -> int:
        return self.call("RV270Api_ResetDevice")

    def exchange(self, request: bytes, timeout_ms: int = 3000) -> bytes:
        """Sends one command payload (command bytes first); returns the answer payload,
        status bytes first."""
        if not isinstance(request, (bytes, bytearray)):
            raise TypeError("request must be bytes, not %s" % type(request).__name__)
        request = bytes(request)
        response = ctypes.create_string_buffer(4096)
        length = ctypes.c_int(0)
        self.call("RV270Api_Communication", request, response, len(request), ctypes.byref(length),
                  integer("timeout_ms", timeout_ms, 0))
        return response.raw[:max(0, min(length.value, len(response)))]

    def serial_number(self) -> str:
        return self._read_text("RV270Api_GETserialnumber", 256)

    def set_serial_number(self, number: str) -> int:
        return self.call("RV270Api_SETserialnumber", gbk("number", number))

    def clear_serial_number(self) -> int:
        return self.call("RV270Api_CLEARserialnumber")

    # -- screen ---------------------------------------------------------------------

    def _screen(self, name: str, text: str, voice: Optional[str], mode: int, timeout: int) -> int:
        args = (integer("mode", mode, 0, 255), gbk("text", text), 1 if voice else 0,
                gbk("voice", voice or ""), _seconds("timeout", timeout))
        if mode == 0:
            return self.call(name, *args)
        return self._wait("RV270Api_CancelCustomProcess", name, *args)

    def show_info(self, text: str, voice: Optional[str] = None, mode: int = 0, timeout: int = 30) -> int:
        """Shows text (and speaks voice); with mode 1 waits for the customer and returns
        the answer (0 confirm)."""
        return self._screen("RV270Api_ShowInfo", text, voice, mode, timeout)

    def show_text(self, text: str, voice: Optional[str] = None, mode: int = 0, timeout: int = 30) -> int:
        return self._screen("RV270Api_ShowText", text, voice, mode, timeout)

    def clear_screen(self) -> int:
        return self.call("RV270Api_ClearMainScreen")

    def set_welcome(self, text: str) -> int:
        return self.call("RV270Api_SetWelCome", gbk("text", text))

    def init_status_bar(self, text: str) -> int:
        return self.call("RV270Api_InitStatusBar", gbk("text", text))

    def set_status_bar(self, text: str) -> int:
        return self.call("RV270Api_SetStatusBarInfo", gbk("text", text))

    def clear_status_bar(self) -> int:
        return self.call("RV270Api_ClearStatusBar")

    # -- voice and media ------------------------------------------------------------

    def say(self, text: str, raw: bool = False) -> int:
        """Speaks text (numbers read out); raw=True sends it unchanged (a .wav name)."""
        return self.call("RV270Api_ReadVoice", 1 if raw else 0, gbk("text", text))

    def play_video(self, name: str) -> int:
        return self.call("RV270Api_PlayVideo", gbk("name", name))

    def set_volume(self, level: int, kind: int = 0) -> int:
        return self.call("RV270Api_SetVoiceVolume", integer("kind", kind), integer("level", level))

    def volume(self, kind: int = 0) -> int:
        return self.call("RV270Api_GetVoiceVolume", integer("kind", kind))

    def set_play_interval(self, seconds: int) -> int:
        return self.call("RV270Api_SetPlayInterval", integer("seconds", seconds, 0))

    def play_pictures(self, names: str) -> int:
        return self.call("RV270Api_PlayPicList", gbk("names", names))

    def play_videos(self, names: str) -> int:
        return self.call("RV270Api_PlayVideoList", gbk("names", names))

    # -- files ----------------------------------------------------------------------

    def send_file(self, path: PathArg, category: Category, name: Optional[str] = None) -> int:
        """Sends one host file to the terminal into a category (name or code 1 to 9),
        stored under name when given."""
        return self.call("RV270Api_SaveFileSingle", 1 if name else 0, gbk("name", name or ""),
                         _category("category", category), _path("path", path))

    def send_media(self, path: PathArg) -> int:
        """Sends a media file, or every media file under a folder, by their extensions."""
        target = _path("path", path)
        return self.call("RV270Api_SaveFile", 1 if os.path.isdir(target) else 0, target)

    def install_firmware(self, path: PathArg, timeout: int = 300, name_prefix: str = "") -> int:
        """Installs firmware and waits up to timeout seconds for the result."""
        return self.call("RV270Api_SetupApp", _path("path", path), _seconds("timeout", timeout),
                         gbk("name_prefix", name_prefix))

    def count_media(self, folder: PathArg) -> Tuple[int, int]:
        """The number of media files under a host folder and their size in bytes."""
        count, size = ctypes.c_int(0), ctypes.c_int(0)
        self.check("RV270Api_FileFind", self.lib.RV270Api_FileFind(
            _path("folder", folder), ctypes.byref(count), ctypes.byref(size)))
        return count.value, size.value

    def files(self, category: Category, size: int = 4096) -> List[str]:
        """The names of the terminal's files of a category."""
        text = self._read_text("RV270Api_GetFileList", size, _category("category", category),
                               integer("size", size, 1))
        return [n for n in text.replace("\r", "\n").split("\n") if n]

    def fetch_file(self, name: str, category: Category, path: Optional[PathArg] = None,
                   timeout: int = 30, size: int = 4 << 20) -> Union[bytes, str]:
        """Fetches a file of the terminal: into the host file path (returned), or, without
        path, into memory of size bytes at most (the bytes returned)."""
        code = _category("category", category)
        args = (gbk("name", name), _seconds("timeout", timeout))
        length = ctypes.c_int(integer("size", size, 1))
        if path is not None:
            rc = self.lib.RV270Api_UploadFilesToPc(self.port, self.selector, 0, _path("path", path), code,
                                                   args[0], args[1], None, ctypes.byref(length))
            self._check_fetch(rc)
            return os.fspath(path)
        buffer = ctypes.create_string_buffer(size)
        rc = self.lib.RV270Api_UploadFilesToPc(self.port, self.selector, 1, b"", code, args[0], args[1],
                                               buffer, ctypes.byref(length))
        self._check_fetch(rc)
        return buffer.raw[:max(0, min(length.value, size))]

    def _check_fetch(self, rc: int, code: int = _FETCH_ERROR) -> None:
        # The upload leaves the last error unset and fails with any non-zero value.
        if rc != 0:
            raise RV270Error("RV270Api_UploadFilesToPc", rc, code)

    def delete_file(self, name: str) -> int:
        return self.call("RV270Api_DeleteRcFile", gbk("name", name))

    def delete_all_files(self, category: Category) -> int:
        return self.call("RV270Api_DeleteAllFile", _category("category", category))

    # -- teller and evaluation ------------------------------------------------------

    def show_teller(self, name: str, number: str, stars: int = 5, photo: str = "") -> int:
        """Shows the teller's card (photo: the picture's name on the terminal)."""
        return self.call("RV270Api_DownLoadCounterInfo", gbk("name", name), gbk("number", number),
                         integer("stars", stars, 0, 255), gbk("photo", photo))

    def set_evaluation_page(self, page: str) -> int:
        """Names the page the terminal shows for the evaluation."""
        return self.call("RV270Api_SetCounterEvaluateSurface", gbk("page", page))

    def evaluate(self, timeout: int = 30, mode: int = 0) -> int:
        """Asks the customer to rate the teller; returns the rating."""
        return self._wait("RV270Api_CancelCustomProcess", "RV270Api_CustomerEvaluate",
                          _seconds("timeout", timeout, 255), integer("mode", mode))

    def read_evaluation(self, voice_flag: int = 0, timeout: int = 30) -> int:
        """The rating through the evaluation page (voice_flag: the page's voice choice)."""
        return self._wait("RV270Api_CancelCustomProcess", "RV270Api_ReadEvaluate",
                          _index("voice_flag", voice_flag), _seconds("timeout", timeout))

    def start_badge(self, timeout: int = 30) -> int:
        """Starts the teller's electronic badge; returns the terminal's answer byte."""
        return self.call("RV270Api_StartCounterElecBadge", _seconds("timeout", timeout, 255))

    def greet(self, welcome: str, teller: str, text: str, voice: Optional[str] = None,
              timeout: int = 30) -> int:
        """The teller workflow's opening: welcome text, status bar with the teller, then
        the text shown and spoken while the customer is asked to confirm. Returns the
        customer's answer (0 confirm)."""
        self.set_welcome(welcome)
        self.init_status_bar(teller)
        return self.show_info(text, voice if voice is not None else text, mode=1, timeout=timeout)

    # -- signature ------------------------------------------------------------------

    def signature(self, path: PathArg, prompt: str = "", voice: str = "", timeout: int = 60,
                  area: Sequence[int] = (0, 0, 0, 0), sign_byte: int = 0) -> int:
        """Shows the signing screen; when the customer signs (outcome 0) the signature
        image is stored at path. Returns the customer's outcome (0 signed; 1 and 2 the
        other answers, 3 timed out, 4 cancelled)."""
        if len(area) != 4:
            raise ValueError("area must hold 4 numbers, not %d" % len(area))
        target = _path("path", path)
        outcome = self._wait("RV270Api_CancelCustomProcess", "RV270Api_ShowInfoOrWaitSign", 0,
                             gbk("prompt", prompt), b"1",
                             *(integer("area", a) for a in area), integer("sign_byte", sign_byte),
                             gbk("voice", voice), _seconds("timeout", timeout), 0, 0)
        if outcome == 0:
            rc = self.lib.RV270Api_UploadFilesToPc(self.port, self.selector, 0, target,
                                                   CATEGORIES["signature"], SIGNATURE_FILE.encode(),
                                                   timeout if timeout > 0 else 30, None,
                                                   ctypes.byref(ctypes.c_int(0)))
            self._check_fetch(rc, _SIGNATURE_ERROR)
        return outcome

    def sign_voucher(self, voucher: PathArg, path: PathArg, voice: str = "", timeout: int = 60,
                     area: Sequence[int] = (0, 0, 0, 0), sign_byte: int = 0, mode: int = 0) -> int:
        """Sends a PDF voucher, shows it for signing and stores the signature image at
        path. Returns the customer's outcome."""
        if len(area) != 4:
            raise ValueError("area must hold 4 numbers, not %d" % len(area))
        return self._wait("RV270Api_CancelCustomProcess", "RV270Api_ShowInfoOrWaitSignFZ",
                          integer("mode", mode), *(integer("area", a) for a in area),
                          integer("sign_byte", sign_byte), gbk("voice", voice),
                          _seconds("timeout", timeout), 0, 0, _path("path", path),
                          _path("voucher", voucher))

    def paperless(self, text: str = "", timeout: int = 60) -> Tuple[int, bytes]:
        """The paperless signing over USB: returns the customer's outcome and the
        signature image (empty unless signed)."""
        out = ctypes.create_string_buffer(136537)
        length = ctypes.c_int(0)
        with self._waiting("RV270Api_CancelCustomProcess"):
            outcome = self._call("Paperless", _seconds("timeout", timeout), gbk("text", text), out,
                                 ctypes.byref(length))
        encoded = out.raw[:max(0, min(length.value, len(out)))]
        return outcome, base64.b64decode(encoded) if encoded else b""

    # -- PIN pad and keypad entry ---------------------------------------------------

    def read_pin(self, key_index: Union[int, str], account: str = "", modex: Union[int, str] = 1,
                 timeout: int = 60, block_type: int = 0, option: int = 0) -> Tuple[int, bytes, bytes]:
        """The customer types a PIN; returns its length, the PIN block (16 bytes, 32 with
        block_type 1) and the tail data. account: the 12-character account field or
        empty."""
        if account and len(account) != 12:
            raise ValueError("account must hold 12 characters or none, not %d" % len(account))
        length_text = ctypes.create_string_buffer(4)
        block = ctypes.create_string_buffer(32)
        tail = ctypes.create_string_buffer(2048)
        self._wait("RV270Api_Break", "RV270Api_ReadCustomerPin", _index("key_index", key_index),
                   gbk("account", account), _index("modex", modex), _seconds("timeout", timeout),
                   integer("block_type", block_type), integer("option", option), 0,
                   length_text, block, tail)
        pin_length = int(_text(length_text) or 0)
        return pin_length, block.raw[:32 if block_type == 1 else 16], tail.raw.rstrip(b"\0")

    def guomi_pin(self, key_index: str, account: str, flag: Union[int, str] = 0,
                  key_type: Union[int, str] = 0, modex: Union[int, str] = 1, timeout: int = 60,
                  min_length: int = 4, max_length: int = 12) -> bytes:
        """The national-cipher PIN entry: returns the terminal's encrypted PIN data.
        key_index: 3 characters; account: 12 characters."""
        if len(key_index) != 3:
            raise ValueError("key_index must hold 3 characters, not %d" % len(key_index))
        if len(account) != 12:
            raise ValueError("account must hold 12 characters, not %d" % len(account))
        with self._waiting("RV270Api_Break"):
            return self._answer("RV270Api_GuomiPin", (
                _index("flag", flag), gbk("key_index", key_index), _index("key_type", key_type),
                gbk("account", account), _index("modex", modex), _seconds("timeout", timeout),
                _index("min_length", min_length), _index("max_length", max_length)))

    def num_keyboard(self, input_type: int = 0, timeout: int = 60, mode: int = 0, length: int = 0) -> str:
        """Numbers typed on the terminal's numeric keyboard."""
        out = ctypes.create_string_buffer(2049)
        self._wait("RV270Api_Break", "RV270Api_NumKeyboard", integer("input_type", input_type),
                   _seconds("timeout", timeout, 255), integer("mode", mode), integer("length", length), out)
        return _text(out)

    def set_keyboard_length(self, minimum: int, maximum: int) -> int:
        return self.call("RV270Api_SetKeyBoardLen", integer("minimum", minimum, 0, 255),
                         integer("maximum", maximum, 0, 255))

    def key_input(self, variant: int = 3, flag: int = 0, timeout: int = 60) -> str:
        """Plain key input: the characters the customer types (variants 1 to 4 of the
        keypad's input modes)."""
        out = ctypes.create_string_buffer(128)
        self._wait("RV270Api_Break", "RV270Api_InnputClearKey%d" % integer("variant", variant, 1, 4),
                   integer("flag", flag), _seconds("timeout", timeout), out)
        return _text(out)

    def ansi98_account(self, card_number: str) -> str:
        """The account field of the ANSI X9.8 PIN block, as the terminal derives it."""
        return self._read_text("RV270Api_GetAnsi98Account", 2048, gbk("card_number", card_number))

    def random(self, count: int) -> bytes:
        """count random bytes (1 to 255) from the terminal."""
        out = ctypes.create_string_buffer(512)
        self.call("RV270Api_GetRand", str(integer("count", count, 1, 255)).encode(), out)
        return bytes.fromhex(_text(out))

    def _password(self, name: str, timeout: int, tip: str, voice: Optional[str],
                  status: Optional[str], length: int) -> bytes:
        out = ctypes.create_string_buffer(64)
        self._wait("RV270Api_CancelCustomProcess", name, _seconds("timeout", timeout, 255),
                   gbk("status", status, nullable=True), gbk("tip", tip), gbk("voice", voice, nullable=True),
                   integer("length", length, 0, 255), len(out), out)
        return out.raw[:32]

    def input_password(self, tip: str = "", voice: Optional[str] = None, status: Optional[str] = None,
                       length: int = 6, timeout: int = 60) -> bytes:
        """The customer types a password on the password pad: returns the 32-byte block."""
        return self._password("RV270Api_InputPassword", timeout, tip, voice, status, length)

    def set_password(self, tip: str = "", voice: Optional[str] = None, status: Optional[str] = None,
                     length: int = 6, timeout: int = 60) -> bytes:
        """The customer sets a new password (typed twice): returns the 32-byte block."""
        return self._password("RV270Api_SetPassword", timeout, tip, voice, status, length)

    # -- keys -----------------------------------------------------------------------

    def _answer(self, name: str, before: Sequence[Any], after: Sequence[Any] = (), size: int = 256) -> bytes:
        """Calls an export whose answer data (no terminator) lands in one out buffer
        between the arguments before and after it."""
        out = ctypes.create_string_buffer(size)
        self.call(name, *before, out, *after)
        return out.raw.rstrip(b"\0")

    def input_tmk(self, index: Union[int, str], part1: str, part2: str, flag: int = 0) -> bytes:
        """Loads a terminal master key from its two clear components; returns the check
        value the terminal answers."""
        return self._answer("RV270Api_InputTMK", (_index("index", index), gbk("part1", part1),
                                                  gbk("part2", part2)), (integer("flag", flag),))

    def load_tmk(self, old_index: Union[int, str], key_length: Union[int, str], index: Union[int, str],
                 key_by_old: str, flag: int = 0) -> bytes:
        """Loads a master key encrypted under an older one."""
        return self._answer("RV270Api_LoadTMK", (_index("old_index", old_index), _index("key_length", key_length),
                                                 _index("index", index), gbk("key_by_old", key_by_old)),
                            (integer("flag", flag),))

    def input_work_key(self, tmk_index: Union[int, str], key_index: Union[int, str],
                       key_length: Union[int, str], key_by_tmk: str, check_value: str = "",
                       flag: int = 0) -> int:
        """Loads a work key encrypted under a master key."""
        return self.call("RV270Api_InputKEY", _index("tmk_index", tmk_index), _index("key_index", key_index),
                         _index("key_length", key_length), gbk("key_by_tmk", key_by_tmk),
                         gbk("check_value", check_value), integer("flag", flag))

    def activate_work_key(self, tmk_index: Union[int, str], key_index: Union[int, str]) -> int:
        return self.call("RV270Api_ActiveWKey", _index("tmk_index", tmk_index), _index("key_index", key_index))

    def work_key_check(self, tmk_index: Union[int, str], key_index: Union[int, str], flag: int = 0) -> bytes:
        """The check value of a work key."""
        return self._answer("RV270Api_CheckKEY", (_index("tmk_index", tmk_index),
                                                  _index("key_index", key_index), 0), (integer("flag", flag),))

    def crypt(self, tmk_index: Union[int, str], key_index: Union[int, str], data: str, flag: int = 0) -> bytes:
        """Encrypts (or, by flag, decrypts) data under a work key on the terminal."""
        data_bytes = gbk("data", data) or b""
        return self._answer("RV270Api_CryptData", (_index("tmk_index", tmk_index), _index("key_index", key_index),
                                                   str(len(data_bytes)).encode(), data_bytes),
                            (integer("flag", flag),))

    def master_key_check(self, tmk_index: Union[int, str], flag: int = 0) -> bytes:
        """The check value of a master key."""
        return self._answer("RV270Api_GetMKeyValue", (_index("tmk_index", tmk_index),), (integer("flag", flag),))

    def clean_session_keys(self) -> int:
        return self.call("RV270Api_CleanSessionKey")

    def pad_public_key(self, size: int = 512) -> str:
        """Makes the password pad generate its key pair; returns the public key text."""
        return self._read_text("RV270Api_GenerateKeyFromPw", size, integer("size", size, 1))

    def set_pad_master_key(self, index: int, key: str) -> int:
        key_bytes = gbk("key", key) or b""
        return self.call("RV270Api_SetPwMkey", integer("index", index, 0), key_bytes, len(key_bytes))

    def set_pad_work_key(self, master_index: int, index: int, key: str) -> int:
        key_bytes = gbk("key", key) or b""
        return self.call("RV270Api_SetPwWkey", integer("master_index", master_index, 0),
                         integer("index", index, 0), key_bytes, len(key_bytes))

    def pad_check_value(self, kind: int = 0) -> str:
        """The check value (8 characters) of the password pad's latest key."""
        return self._read_text("RV270Api_GetPwCheckValue", 9, integer("kind", kind), 9)

    def screen_check_value(self, kind: int = 0) -> str:
        """The check value (8 characters) of the screen keyboard's latest key."""
        out = ctypes.create_string_buffer(9)
        self.call("RV270Api_GetScreenCheckValue", integer("kind", kind), 8, out)
        return _text(out)

    # -- keypad identity ------------------------------------------------------------

    def app_number(self) -> str:
        return self._read_text("RV270Api_GetAppNum", 256)

    def set_app_number(self, number: str) -> int:
        return self.call("RV270Api_SetAppNum", gbk("number", number))

    def keyboard_serial(self) -> str:
        return self._read_text("RV270Api_GetKeyBoardSN", 2048)

    def set_keyboard_serial(self, number: str) -> int:
        return self.call("RV270Api_SetKeyBoardSN", gbk("number", number))

    # -- the terminal's cipher services (USB only) -----------------------------------
    # Keys and vectors are hexadecimal texts (SM2 public key 128 characters, private key
    # 64, SM4 key and vector 32); the answers are the terminal's texts.

    def _cipher(self, name: str, size: int, *args: Any) -> str:
        out = ctypes.create_string_buffer(size + 1)
        self._call(name, *args, out)
        return _text(out)

    def sm2_key_pair(self) -> Tuple[str, str]:
        """A new SM2 key pair from the terminal: (public key, private key)."""
        public, private = ctypes.create_string_buffer(129), ctypes.create_string_buffer(65)
        self._call("getsm2key", public, private)
        return _text(public), _text(private)

    def sm3(self, data: str) -> str:
        """The SM3 digest of data."""
        return self._cipher("sm3Calc_nID", 4094, gbk("data", data))

    def sm4_encrypt(self, key: str, data: str, iv: Optional[str] = None) -> str:
        """data encrypted under an SM4 key: ECB, or CBC with an initial vector."""
        if iv is None:
            return self._cipher("sm4EN_ecb", 65533, gbk("key", key), gbk("data", data))
        return self._cipher("sm4EN_cbc", 65533, gbk("key", key), gbk("iv", iv), gbk("data", data))

    def sm4_decrypt(self, key: str, data: str, iv: Optional[str] = None) -> str:
        """data decrypted under an SM4 key: ECB, or CBC with an initial vector."""
        if iv is None:
            return self._cipher("sm4DE_ecb", 65533, gbk("key", key), gbk("data", data))
        return self._cipher("sm4DE_cbc", 65533, gbk("key", key), gbk("iv", iv), gbk("data", data))

    def sm4_mac(self, key: str, iv: str, data: str) -> str:
        return self._cipher("sm4mac", 4094, gbk("key", key), gbk("iv", iv), gbk("data", data))

    # -- operators (the second argument is the serial rate, self.baud) ---------------

    def _operator(self, name: str, *args: Any) -> int:
        return self._call(name, self.port, self.baud, *args)

    def operator_public_key(self, timeout: int = 10) -> str:
        """Makes the terminal apply for an SM2 key pair; returns its public key text."""
        out = ctypes.create_string_buffer(2049)
        self._operator("ApplySM2Key", out, 0, _seconds("timeout", timeout))
        return _text(out)

    def send_ciphertext(self, ciphertext: str, timeout: int = 10) -> int:
        return self._operator("SendCiphertext", gbk("ciphertext", ciphertext), _seconds("timeout", timeout))

    def administrator_sign_out(self, timeout: int = 10) -> int:
        return self._operator("AdministratorSignOut", _seconds("timeout", timeout))

    def create_operator(self, number: int, password: str, timeout: int = 10) -> int:
        return self._operator("CreatOperator", integer("number", number, 0, 63), gbk("password", password),
                              _seconds("timeout", timeout))

    def set_operator_key(self, key: str, timeout: int = 10) -> int:
        return self._operator("SetOperatorKey", gbk("key", key), _seconds("timeout", timeout))

    def set_operator_power(self, number: int, power: int, timeout: int = 10) -> int:
        return self._operator("SetOperatorPower", integer("number", number, 0, 63), integer("power", power, 0, 63),
                              _seconds("timeout", timeout))

    def delete_operator(self, number: int, timeout: int = 10) -> int:
        return self._operator("DelOperator", integer("number", number, 0, 63), _seconds("timeout", timeout))

    def delete_all_operators(self, timeout: int = 10) -> int:
        return self._operator("DelAllOperator", _seconds("timeout", timeout))

    def operator_sign_in(self, number: int, key: str, password: str, timeout: int = 10) -> int:
        return self._operator("OperatorSignIn", integer("number", number, 0, 63), gbk("key", key),
                              gbk("password", password), _seconds("timeout", timeout))

    def ciphertext_sign_out(self, timeout: int = 10) -> int:
        return self._operator("CiphertextSignOut", 0, _seconds("timeout", timeout))


def error_code(lib: Optional[Library] = None) -> int:
    """The last error code of the latest call."""
    return (lib or library()).RV270Api_GetErrorCode()


def log_path(lib: Optional[Library] = None) -> str:
    """The path of today's log file."""
    buffer = ctypes.create_string_buffer(513)
    (lib or library()).RV270Api_GetLogPath(buffer)
    return _text(buffer)


def hex_text(data: bytes, lib: Optional[Library] = None) -> str:
    """data as upper-case hexadecimal text, as the library writes it."""
    data = bytes(data)
    buffer = ctypes.create_string_buffer(2 * len(data) + 1)
    (lib or library()).RV270Api_Hex2Ascii(data, len(data), buffer)
    return _text(buffer)
