"""The terminal in Python terms: texts in and out as str, failures as RV270Error."""
import ctypes

from ._library import ENCODING, Library

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


def error_text(code):
    """The text of a last error code."""
    return ERROR_TEXTS.get(code, ERROR_TEXTS[0])


class RV270Error(Exception):
    """An export failed: result (its negative return value), error_code (the last error
    code right after the call) and text (that code's text)."""

    def __init__(self, export, result, error_code):
        self.export = export
        self.result = result
        self.error_code = error_code
        self.text = error_text(error_code)
        super().__init__("%s returned %d (last error %d: %s)" % (export, result, error_code, self.text))


def _text(buffer):
    """A GBK text from a zeroed buffer the library filled (it may leave no terminator
    when it fills the buffer, so the copy stops at the buffer's end)."""
    return ctypes.string_at(buffer, len(buffer)).split(b"\0", 1)[0].decode(ENCODING, "replace")


_shared = None


def library():
    """The library that Terminal objects use by default, loaded on first use."""
    global _shared
    if _shared is None:
        _shared = Library()
    return _shared


class Terminal:
    """One terminal: port 0 or 1001 is USB, any other number that serial port; the
    selector is the serial channel selector. Every method is one export call; timeouts
    are in seconds unless named otherwise.
    """

    def __init__(self, port=0, selector=0, lib=None):
        self.port = port
        self.selector = selector
        self.lib = lib or library()

    # -- calling --------------------------------------------------------------------

    def call(self, name, *args):
        """Calls a device export with this terminal's port and selector first; returns
        its non-negative result or raises RV270Error."""
        return self.check(name, getattr(self.lib, name)(self.port, self.selector, *args))

    def check(self, name, result):
        if result < 0:
            raise RV270Error(name, result, self.lib.RV270Api_GetErrorCode())
        return result

    def _read_text(self, name, size, *args):
        buffer = ctypes.create_string_buffer(size + 1)
        self.call(name, *args, buffer)
        return _text(buffer)

    # -- device ---------------------------------------------------------------------

    def working_status(self):
        return self.call("RV270Api_GetWorkingStatus")

    def device_info(self, size=512):
        return self._read_text("RV270Api_GetDeviceInfo", size, size)

    def version(self):
        return self._read_text("RV270Api_GetVersion", 1024)

    def vendor_id(self):
        return self._read_text("RV270Api_GetVernderId", 1024)

    def device_id(self):
        return self._read_text("RV270Api_GetDeviceId", 1024)

    def error_message(self, size=256):
        """The terminal's state as the text of its result code."""
        return self._read_text("RV270Api_GetErrorMsg", size, size)

    def exchange(self, request, timeout_ms=3000):
        """Sends one command payload (command bytes first); returns the answer payload,
        status bytes first."""
        request = bytes(request)
        response = ctypes.create_string_buffer(4096)
        length = ctypes.c_int(0)
        self.call("RV270Api_Communication", request, response, len(request), length, timeout_ms)
        return response.raw[:max(0, min(length.value, len(response)))]

    def cancel(self):
        """Breaks off the customer wait of another thread."""
        return self.call("RV270Api_CancelCustomProcess")

    # -- screen ---------------------------------------------------------------------

    def show_info(self, text, voice=None, mode=0, timeout=30):
        """Shows text (and speaks voice); with mode 1 waits for the customer and returns
        the answer (0 confirm)."""
        return self.call("RV270Api_ShowInfo", mode, text, 1 if voice else 0, voice or "", timeout)

    def show_text(self, text, voice=None, mode=0, timeout=30):
        return self.call("RV270Api_ShowText", mode, text, 1 if voice else 0, voice or "", timeout)

    def clear_screen(self):
        return self.call("RV270Api_ClearMainScreen")

    def set_welcome(self, text):
        return self.call("RV270Api_SetWelCome", text)

    def init_status_bar(self, text):
        return self.call("RV270Api_InitStatusBar", text)

    def set_status_bar(self, text):
        return self.call("RV270Api_SetStatusBarInfo", text)

    def clear_status_bar(self):
        return self.call("RV270Api_ClearStatusBar")

    # -- voice and media ------------------------------------------------------------

    def say(self, text, raw=False):
        """Speaks text (numbers read out); raw=True sends it unchanged (a .wav name)."""
        return self.call("RV270Api_ReadVoice", 1 if raw else 0, text)

    def play_video(self, name):
        return self.call("RV270Api_PlayVideo", name)

    def set_volume(self, level, kind=0):
        return self.call("RV270Api_SetVoiceVolume", kind, level)

    def volume(self, kind=0):
        return self.call("RV270Api_GetVoiceVolume", kind)

    def set_play_interval(self, seconds):
        return self.call("RV270Api_SetPlayInterval", seconds)

    def play_pictures(self, names):
        return self.call("RV270Api_PlayPicList", names)

    def play_videos(self, names):
        return self.call("RV270Api_PlayVideoList", names)

    # -- teller and customer --------------------------------------------------------

    def show_teller(self, name, number, stars=5, photo=""):
        """Shows the teller's card (photo: the picture's name on the terminal)."""
        return self.call("RV270Api_DownLoadCounterInfo", name, number, stars, photo)

    def evaluate(self, timeout=30, mode=0):
        """Asks the customer to rate the teller; returns the rating."""
        return self.call("RV270Api_CustomerEvaluate", timeout, mode)

    def greet(self, welcome, teller, text, voice=None, timeout=30):
        """The teller workflow's opening: welcome text, status bar with the teller, then
        the text shown and spoken while the customer is asked to confirm. Returns the
        customer's answer (0 confirm)."""
        self.set_welcome(welcome)
        self.init_status_bar(teller)
        return self.show_info(text, voice if voice is not None else text, mode=1, timeout=timeout)


def error_code(lib=None):
    """The last error code of the latest call."""
    return (lib or library()).RV270Api_GetErrorCode()


def log_path(lib=None):
    """The path of today's log file."""
    buffer = ctypes.create_string_buffer(513)
    (lib or library()).RV270Api_GetLogPath(buffer)
    return _text(buffer)


def hex_text(data, lib=None):
    """data as upper-case hexadecimal text, as the library writes it."""
    data = bytes(data)
    buffer = ctypes.create_string_buffer(2 * len(data) + 1)
    (lib or library()).RV270Api_Hex2Ascii(data, len(data), buffer)
    return _text(buffer)
