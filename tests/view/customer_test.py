"""The customer at the screen view, in a real browser driven by WebDriver (Debian's
chromium-driver and python3-selenium): rv270-sim runs with --customer browser, the
library is called through ctypes while the browser acts as the customer, and each step's
answer is checked as the library returns it:

  idle       the welcome text, status bar and the playlist's picture (downloaded with
             SaveFileSingle) on the idle screen
  text       an information text confirmed on the screen: ShowInfo returns 0
  page       a web page left with its back button: ShowWebOnly returns 1
  sign       a signature drawn with pointer events (mouse and touch), re-signed, drawn
             again and confirmed: Paperless returns the PNG, whose pixels show the second
             drawing's strokes and none of the first
  sign-cancel  the signing screen's cancel button: ShowInfoOrWaitSign returns 4
  pin        a PIN typed on the keypad (with a clear on the way) under a master key made
             of two components: ReadCustomerPin returns the ISO 9564 format 0 block
             encrypted under that key; the digits appear nowhere but in the library's answer
  pin-cancel the keypad's cancel button: ReadCustomerPin returns -4 (last error 103)
  password   a password typed on the password pad: InputPassword returns 16
  rating     a rating clicked on the evaluation page: CustomerEvaluate returns it

A screenshot of each step is kept: VIEW_SHOTS/view-<step>.png. Run through
tests/view/run.sh, which sets the environment (as for browser_test.py) and CHROMEDRIVER.
"""
import base64
import ctypes
import os
import struct
import subprocess
import sys
import threading
import time
import zlib

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions import interaction
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.actions.pointer_input import PointerInput
from selenium.webdriver.common.by import By

from browser_test import Simulator, log

PIN = "739146"
PASSWORD = "582064"
ACCOUNT = "123456789012"  # the account field as the caller gives it (12 digits)
TMK_COMPONENTS = ("0123456789ABCDEF", "1111111111111111")
WAIT_SECONDS = 10
MOVE_MS = 15  # of one pointer move (WebDriver's default, 250 ms, makes a slow signature)

# The exports used, with their argument types (i int, s text, b buffer, p int pointer).
EXPORTS = {
    "RV270Api_GetErrorCode": "",
    "RV270Api_CancelCustomProcess": "ii",
    "RV270Api_SetWelCome": "iis",
    "RV270Api_InitStatusBar": "iis",
    "RV270Api_SetStatusBarInfo": "iis",
    "RV270Api_PlayPicList": "iis",
    "RV270Api_SaveFileSingle": "iiisis",
    "RV270Api_ReadVoice": "iiis",
    "RV270Api_DownLoadCounterInfo": "iissis",
    "RV270Api_ShowInfo": "iiisisi",
    "RV270Api_ShowWebOnly": "iissi",
    "RV270Api_ShowInfoOrWaitSign": "iiissiiiiisiii",
    "Paperless": "isbp",
    "RV270Api_InputTMK": "iisssbi",
    "RV270Api_ReadCustomerPin": "iisssiiiibbb",
    "RV270Api_InputPassword": "iiisssiib",
    "RV270Api_CustomerEvaluate": "iiii",
    "RV270Api_ReadEvaluate": "iisi",
}
TYPES = {"i": ctypes.c_int, "s": ctypes.c_char_p, "b": ctypes.c_char_p, "p": ctypes.POINTER(ctypes.c_int)}


class Library:
    """The library through ctypes: texts go as GBK, buffers are ctypes string buffers."""

    def __init__(self, path):
        self.dll = ctypes.CDLL(path)
        for name, kinds in EXPORTS.items():
            function = getattr(self.dll, name)
            function.argtypes = [TYPES[k] for k in kinds]
            function.restype = ctypes.c_int

    def __call__(self, name, *args):
        converted = [a.encode("gbk") if isinstance(a, str) else a for a in args]
        return getattr(self.dll, name)(*converted)

    def error(self):
        return self("RV270Api_GetErrorCode")


def in_thread(function, *args):
    """A waiting call on a thread of its own; join() gives its result."""
    box = {}

    def run():
        box["result"] = function(*args)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()

    def join():
        thread.join(WAIT_SECONDS * 3)
        assert not thread.is_alive(), "the call did not return after the customer answered"
        return box["result"]

    return join


class Customer:
    """The browser at the screen view: Chromium through chromedriver."""

    def __init__(self, url, work, shots):
        options = webdriver.ChromeOptions()
        options.binary_location = os.environ["CHROMIUM"]
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--hide-scrollbars", "--window-size=1300,980",
                     "--user-data-dir=" + os.path.join(work, "webdriver-profile")):
            options.add_argument(flag)
        service = Service(executable_path=os.environ["CHROMEDRIVER"], log_path=os.path.join(work, "chromedriver.log"))
        self.driver = webdriver.Chrome(service=service, options=options)
        self.shots = shots
        self.driver.get(url)
        self.until(lambda: self.driver.find_element(By.ID, "link").text == "live", "the page polls the simulator")

    def until(self, condition, what):
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            if condition():
                return
            time.sleep(0.05)
        raise AssertionError("the page never got to: " + what)

    def view(self):
        return self.driver.find_element(By.TAG_NAME, "body").get_attribute("data-view")

    def wait_for_view(self, view):
        """Waits until the screen shows `view` for a customer wait (its buttons enabled)."""
        body = self.driver.find_element(By.TAG_NAME, "body")
        self.until(lambda: body.get_attribute("data-view") == view and body.get_attribute("data-wait") != "0",
                   "the screen " + view)

    def click(self, selector):
        self.driver.find_element(By.CSS_SELECTOR, selector).click()

    def shot(self, step):
        path = os.path.join(self.shots, "view-%s.png" % step)
        self.driver.find_element(By.ID, "terminal").screenshot(path)
        assert os.path.getsize(path) > 1000, path
        log("screenshot " + path)

    def stop(self):
        self.driver.quit()


def pad_geometry(customer):
    """The pad's size on the screen and in its own pixels."""
    pad = customer.driver.find_element(By.ID, "pad")
    shown = pad.size
    own = (int(pad.get_attribute("width")), int(pad.get_attribute("height")))
    return pad, shown["width"], shown["height"], own


def draw_mouse(customer, points):
    """One stroke with the mouse; points are offsets from the pad's centre (CSS pixels)."""
    pad = customer.driver.find_element(By.ID, "pad")
    chain = ActionChains(customer.driver, duration=MOVE_MS).move_to_element_with_offset(pad, *points[0]).click_and_hold()
    for (x0, y0), (x1, y1) in zip(points, points[1:]):
        chain.move_by_offset(x1 - x0, y1 - y0)
    chain.release().perform()


def draw_touch(customer, points):
    """One stroke with a finger (a touch pointer); points as for draw_mouse."""
    pad = customer.driver.find_element(By.ID, "pad")
    finger = PointerInput(interaction.POINTER_TOUCH, "finger")
    actions = ActionBuilder(customer.driver, mouse=finger, duration=MOVE_MS)
    actions.pointer_action.move_to(pad, *points[0]).pointer_down()
    for x, y in points[1:]:
        actions.pointer_action.move_to(pad, x, y)
    actions.pointer_action.pointer_up()
    actions.perform()


def line(start, end, steps=12):
    return [(round(start[0] + (end[0] - start[0]) * i / steps), round(start[1] + (end[1] - start[1]) * i / steps))
            for i in range(steps + 1)]


def banner_png(width=320, height=180):
    """An advertising picture: a blue-green colour gradient (8-bit RGB PNG)."""
    rows = b"".join(b"\0" + bytes(v for x in range(width)
                                  for v in (20 + x * 60 // width, 80 + y * 90 // height, 150 + x * 80 // width))
                    for y in range(height))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


def grey_png(data):
    """Width, height and pixel rows of an 8-bit grey PNG whose rows use filter 0 (the
    simulator's encoder)."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at, idat, width, height = 8, b"", 0, 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert (depth, colour) == (8, 0), "not 8-bit grey"
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    rows = [raw[y * (width + 1):(y + 1) * (width + 1)] for y in range(height)]
    assert all(r[0] == 0 for r in rows), "a row filter other than none"
    return width, height, [r[1:] for r in rows]


def to_pad(point, shown_w, shown_h, own):
    """A point given from the pad's centre in CSS pixels, in the pad's own pixels."""
    return (round((shown_w / 2 + point[0]) * own[0] / shown_w), round((shown_h / 2 + point[1]) * own[1] / shown_h))


def dark_near(rows, x, y, reach=2):
    return any(rows[yy][xx] < 128 for yy in range(max(0, y - reach), min(len(rows), y + reach + 1))
               for xx in range(max(0, x - reach), min(len(rows[0]), x + reach + 1)))


def format0(pin, account):
    """ISO 9564 format 0 clear PIN block: the PIN field XOR the account field."""
    pin_field = bytes.fromhex(("%02d" % len(pin) + pin).ljust(16, "F"))
    account_field = bytes.fromhex("0000" + account)
    return bytes(a ^ b for a, b in zip(pin_field, account_field))


def des_encrypt(key, block):
    """Single DES of one block, as triple DES with three equal keys (openssl)."""
    done = subprocess.run(["openssl", "enc", "-des-ede3-ecb", "-nopad", "-K", (key * 3).hex()],
                          input=block, stdout=subprocess.PIPE, check=True)
    return done.stdout


def step_text(lib, customer):
    join = in_thread(lib, "RV270Api_ShowInfo", 0, 0, 1, "请确认您的业务信息", 0, "", 30)
    customer.wait_for_view("vText")
    customer.shot("text")
    customer.click("#textConfirm")
    assert join() == 0, "ShowInfo did not return the confirmation"


def step_page(lib, customer):
    join = in_thread(lib, "RV270Api_ShowWebOnly", 0, 0, "rates.html", "", 30)
    customer.wait_for_view("vPage")
    customer.shot("page")
    customer.click("#pageCancel")
    assert join() == 1, "the web page left with its back button did not return 1"


def step_sign(lib, customer):
    base64_text = ctypes.create_string_buffer(300000)
    length = ctypes.c_int(0)
    join = in_thread(lib, "Paperless", 30, "请在下方签名确认", base64_text, ctypes.byref(length))
    customer.wait_for_view("vSign")
    _, shown_w, shown_h, own = pad_geometry(customer)
    # A first attempt, wiped by the re-sign button: none of it may come back.
    first = line((-200, -60), (200, -60))
    draw_mouse(customer, first)
    customer.click("#signAgain")
    # The signature: a diagonal with the mouse and a vertical stroke with a finger.
    diagonal = line((-220, 80), (-40, -80))
    vertical = line((120, -90), (120, 90))
    draw_mouse(customer, diagonal)
    draw_touch(customer, vertical)
    customer.shot("sign")
    customer.click("#signConfirm")
    result = join()
    assert result == 0, "Paperless returned %d (last error %d)" % (result, lib.error())
    png = base64.b64decode(base64_text.value[:length.value])
    width, height, rows = grey_png(png)
    assert (width, height) == own, "the picture is %dx%d, the pad %dx%d" % (width, height, own[0], own[1])
    for name, stroke in (("diagonal", diagonal), ("vertical", vertical)):
        for point in stroke:
            x, y = to_pad(point, shown_w, shown_h, own)
            assert dark_near(rows, x, y), "no ink at %s (%d, %d) of the %s stroke" % (point, x, y, name)
    for point in first[1:-1]:
        x, y = to_pad(point, shown_w, shown_h, own)
        assert not dark_near(rows, x, y, 0), "ink of the wiped attempt at (%d, %d)" % (x, y)
    inked = sum(1 for r in rows for v in r if v < 128)
    assert inked < width * height // 10, "%d of %d pixels inked" % (inked, width * height)
    log("signature: %d bytes of PNG, %dx%d, %d pixels inked" % (len(png), width, height, inked))


def step_sign_cancel(lib, customer):
    join = in_thread(lib, "RV270Api_ShowInfoOrWaitSign", 0, 0, 0, "请签名", "1", 0, 0, 800, 480, 0, "", 30, 0, 0)
    customer.wait_for_view("vSign")
    draw_mouse(customer, line((-100, 0), (100, 0)))
    customer.shot("sign-cancel")
    customer.click("#signCancel")
    assert join() == 4, "the cancelled signing did not return 4"


def type_keys(customer, digits):
    for d in digits:
        customer.click('.key[data-key="%s"]' % d)


def enter_secret(customer, sim, secret, step, join):
    """Types a secret on the keypad, checks that only its asterisks show (on the page and
    in /state), keeps the step's screenshot, presses enter; the call's result."""
    type_keys(customer, secret)
    mask = customer.driver.find_element(By.ID, "scrMask")
    customer.until(lambda: mask.text == "*" * len(secret), "%d asterisks" % len(secret))
    customer.shot(step)
    for where, text in (("the page", customer.driver.page_source), ("/state", str(sim.state()))):
        assert secret not in text, "the typed %s shows in %s" % (step, where)
    customer.click("#keyEnter")
    return join()


def step_pin(lib, sim, customer):
    out = ctypes.create_string_buffer(64)
    assert lib("RV270Api_InputTMK", 0, 0, "1", TMK_COMPONENTS[0], TMK_COMPONENTS[1], out, 0) == 0, "InputTMK"
    length, block, tail = (ctypes.create_string_buffer(64) for _ in range(3))
    join = in_thread(lib, "RV270Api_ReadCustomerPin", 0, 0, "1", ACCOUNT, "1", 30, 0, 0, 0, length, block, tail)
    customer.wait_for_view("vKeypad")
    type_keys(customer, "99")
    customer.click("#keyClear")
    result = enter_secret(customer, sim, PIN, "pin", join)
    assert result == 0, "ReadCustomerPin returned %d (last error %d)" % (result, lib.error())
    key = bytes(a ^ b for a, b in zip(bytes.fromhex(TMK_COMPONENTS[0]), bytes.fromhex(TMK_COMPONENTS[1])))
    expected = des_encrypt(key, format0(PIN, ACCOUNT)).hex().upper()
    got = block.raw[:16].decode("ascii")
    assert got == expected, "PIN block %s, expected %s" % (got, expected)
    assert length.value == str(len(PIN)).encode(), "PIN length %r" % length.value
    log("PIN block %s: ISO 9564 format 0 under the master key" % got)


def step_pin_cancel(lib, customer):
    length, block, tail = (ctypes.create_string_buffer(64) for _ in range(3))
    join = in_thread(lib, "RV270Api_ReadCustomerPin", 0, 0, "1", "", "1", 30, 0, 0, 0, length, block, tail)
    customer.wait_for_view("vKeypad")
    type_keys(customer, "12")
    customer.click("#keyCancel")
    assert join() == -4 and lib.error() == 103, "the cancelled PIN entry did not return -4 with 103"


def step_password(lib, sim, customer):
    password = ctypes.create_string_buffer(64)
    join = in_thread(lib, "RV270Api_InputPassword", 0, 0, 30, "", "请输入交易密码", "", len(PASSWORD), 64, password)
    customer.wait_for_view("vKeypad")
    result = enter_secret(customer, sim, PASSWORD, "password", join)
    assert result == 16, "InputPassword returned %d (last error %d)" % (result, lib.error())
    assert len(password.value) == 32, "a password block of %d characters" % len(password.value)


def step_rating(lib, customer):
    assert lib("RV270Api_DownLoadCounterInfo", 0, 0, "李明", "8001", 5, "8001.jpg") == 0, "teller card"
    join = in_thread(lib, "RV270Api_CustomerEvaluate", 0, 0, 30, 0)
    customer.wait_for_view("vRating")
    customer.shot("rating")
    customer.click('.rate[data-rating="2"]')
    assert join() == 2, "the rating clicked did not come back"
    assert lib("RV270Api_ReadEvaluate", 0, 0, "0", 5) == 2, "the rating kept"


def main():
    work = os.environ["VIEW_WORK"]
    shots = os.environ["VIEW_SHOTS"]
    sim = Simulator(os.environ["RV270_SIM_PROGRAM"], work, ["--customer", "browser"], name="customer-sim")
    customer = None
    timings = []
    try:
        os.environ["RV270_SIM"] = sim.usb  # before the library is loaded: it looks for the terminal then
        lib = Library(os.environ["QORNRV270_LIBRARY"])
        log("simulator at %s, screen view at %s" % (sim.usb, sim.url))
        # The idle screen: welcome text, status bar, voice, and the playlist's picture,
        # downloaded to the terminal as an advertising picture.
        picture = os.path.join(work, "ad1.png")
        with open(picture, "wb") as f:
            f.write(banner_png())
        for name, args in (("RV270Api_SetWelCome", ("欢迎光临",)), ("RV270Api_InitStatusBar", ("柜员8001 李明",)),
                           ("RV270Api_SetStatusBarInfo", ("3号窗口",)), ("RV270Api_SaveFileSingle", (0, None, 1, picture)),
                           ("RV270Api_PlayPicList", ("ad1.png",)), ("RV270Api_ReadVoice", (0, "欢迎光临本行"))):
            assert lib(name, 0, 0, *args) == 0, name
        began = time.monotonic()
        customer = Customer(sim.url, work, shots)
        log("browser up in %.1f s" % (time.monotonic() - began))
        customer.until(lambda: customer.view() == "vIdle", "the idle screen")
        picture_shown = customer.driver.find_element(By.ID, "scrPicture")
        customer.until(lambda: picture_shown.is_displayed() and picture_shown.get_property("naturalWidth") == 320,
                       "the playlist picture")
        customer.shot("idle")
        steps = (("text", lambda: step_text(lib, customer)),
                 ("page", lambda: step_page(lib, customer)),
                 ("sign", lambda: step_sign(lib, customer)),
                 ("sign-cancel", lambda: step_sign_cancel(lib, customer)),
                 ("pin", lambda: step_pin(lib, sim, customer)),
                 ("pin-cancel", lambda: step_pin_cancel(lib, customer)),
                 ("password", lambda: step_password(lib, sim, customer)),
                 ("rating", lambda: step_rating(lib, customer)))
        for name, step in steps:
            began = time.monotonic()
            step()
            timings.append("%s %.1f s" % (name, time.monotonic() - began))
            log("step %s: passed" % name)
    finally:
        if customer:
            customer.stop()
        sim.stop()
    output = open(sim.log_path, encoding="utf-8", errors="replace").read()
    for secret in (PIN, PASSWORD):
        assert secret not in output, "a typed secret shows in the simulator's output"
    log("the customer at the page answered every wait (%s)" % ", ".join(timings))
    return 0


if __name__ == "__main__":
    sys.exit(main())
