"""The screen view in a real browser: starts rv270-sim with --http, runs a teller workflow
against it through the Python binding, and while the customer reads a text, is signing,
and later typing a PIN, lets headless Chromium load the page and checks what the page shows
(chromium --dump-dom after its polling script has run). One screenshot is kept.

Run through tests/view/run.sh, which sets the environment: RV270_SIM_PROGRAM (rv270-sim),
QORNRV270_LIBRARY (the library), PYTHONPATH (the binding), CHROMIUM, VIEW_WORK (a folder
for the browser profile and files) and VIEW_SCREENSHOT (where the screenshot goes).
"""
import html.parser
import json
import os
import struct
import subprocess
import sys
import threading
import time
import urllib.request
import zlib

import qornrv270

CUSTOMER_DELAY_MS = 120000  # the customer "takes" this long: every wait is broken off by a cancel
DUMP_ATTEMPTS = 5           # a dump whose checks fail is taken again, this often at most
BROWSER_SECONDS = 60        # one Chromium run at most


def log(text):
    print("[%6.1f s] %s" % (time.monotonic() - START, text), flush=True)


START = time.monotonic()


def signature_png(width=160, height=48):
    """A small grey-scale PNG with a diagonal stroke, as the customer's signature."""
    rows = b"".join(b"\0" + bytes(0 if abs(y * width // height - x) < 3 else 255 for x in range(width))
                    for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


class Simulator:
    """rv270-sim with the screen view on a free port, with more options in `args`; its
    output goes to WORK/NAME.log."""

    def __init__(self, program, work, args, name="sim"):
        info = os.path.join(work, name + "-info")
        if os.path.exists(info):
            os.remove(info)
        self.log_path = os.path.join(work, name + ".log")
        self.process = subprocess.Popen(
            [program, "--http", "0", "--no-serial", "--info", info, "--verbose"] + args,
            stdout=open(self.log_path, "w"), stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        values = {}
        for _ in range(100):
            if os.path.exists(info):
                values = dict(line.split("=", 1) for line in open(info).read().split())
                if "HTTP" in values:
                    break
            if self.process.poll() is not None:
                break
            time.sleep(0.1)
        if "HTTP" not in values:
            self.stop()
            raise RuntimeError("rv270-sim did not start:\n" + open(self.log_path).read())
        self.usb = values["RV270_SIM"]
        self.url = values["HTTP"]
        assert self.url.startswith("http://127.0.0.1:"), self.url

    def state(self):
        with urllib.request.urlopen(self.url + "state", timeout=5) as answer:
            return json.loads(answer.read().decode("utf-8"))

    def wait_for(self, condition, what, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition(self.state()):
                return
            time.sleep(0.05)
        raise AssertionError("the simulator never got to: " + what)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class PageText(html.parser.HTMLParser):
    """The text content and attributes of every element with an id in a DOM dump."""

    def __init__(self):
        super().__init__()
        self.text = {}
        self.attrs = {}
        self.hidden = set()
        self._open = []  # ids of the open elements (None for elements without one)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        ident = attrs.get("id")
        if ident:
            self.text[ident] = ""
            self.attrs[ident] = attrs
            if "hidden" in attrs:
                self.hidden.add(ident)
        if tag.lower() not in ("img", "meta", "br", "input", "link"):
            self._open.append(ident)

    def handle_endtag(self, tag):
        if tag.lower() not in ("img", "meta", "br", "input", "link") and self._open:
            self._open.pop()

    def handle_data(self, data):
        # Cells and rows read as words apart ("usb 50 12 signature screen").
        for ident in self._open:
            if ident:
                self.text[ident] += data + " "


RUNS = [0]


def chromium(args, seconds=BROWSER_SECONDS):
    """One headless Chromium run (as root it needs --no-sandbox), with a profile of its
    own so that a run cut off by the time limit cannot lock the next; its output."""
    RUNS[0] += 1
    profile = os.path.join(os.environ["VIEW_WORK"], "chromium-profile-%d" % RUNS[0])
    command = [os.environ["CHROMIUM"], "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
               "--no-first-run", "--no-default-browser-check", "--hide-scrollbars", "--window-size=1280,900",
               "--user-data-dir=" + profile] + args
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=seconds)
    return done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def check_page(sim, expected, forbidden=()):
    """Dumps the page until every expectation holds (at most DUMP_ATTEMPTS dumps): each
    expectation is (element id, a function of its text and attributes, what it means)."""
    failures = []
    for attempt in range(1, DUMP_ATTEMPTS + 1):
        began = time.monotonic()
        dom, errors = chromium(["--virtual-time-budget=2000", "--dump-dom", sim.url])
        page = PageText()
        page.feed(dom)
        failures = []
        for ident, holds, meaning in expected:
            text = " ".join(page.text.get(ident, "<missing>").split())
            if ident not in page.text or not holds(text, page.attrs.get(ident, {}), ident in page.hidden):
                failures.append("%s: %s (the page shows %r)" % (ident, meaning, text))
        failures += ["the page shows %r" % secret for secret in forbidden if secret in dom]
        log("dump %d took %.1f s: %s" % (attempt, time.monotonic() - began,
                                         "all checks hold" if not failures else "%d checks fail" % len(failures)))
        if not failures:
            return dom
        if not dom.strip():
            log("chromium wrote no DOM; its errors:\n" + errors[-2000:])
        time.sleep(0.5)
    raise AssertionError("the page never showed what it should:\n  " + "\n  ".join(failures))


def equals(value):
    return lambda text, attrs, hidden: text == value


def contains(value):
    return lambda text, attrs, hidden: value in text


def slot(state, name):
    """What the page shows for an optional slot: its text, or "-" while it is absent."""
    return state[name] if state[name] else "-"


def in_thread(function, *args):
    """Runs a waiting call in a thread; the result (or the exception) lands in box."""
    box = {}

    def run():
        try:
            box["result"] = function(*args)
        except Exception as error:  # noqa: BLE001 - reported by the caller
            box["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, box


def break_off(terminal, thread, box, what):
    """Ends a customer wait with the library's cancel and reports its outcome."""
    qornrv270.library().RV270Api_CancelCustomProcess(0, 0)
    thread.join(20)
    assert not thread.is_alive(), what + " did not return after the cancel"
    log("%s broken off: %s" % (what, box.get("result", box.get("error"))))


def main():
    work = os.environ["VIEW_WORK"]
    screenshot = os.environ["VIEW_SCREENSHOT"]
    signature = os.path.join(work, "UserSign.png")
    with open(signature, "wb") as f:
        f.write(signature_png())

    sim = Simulator(os.environ["RV270_SIM_PROGRAM"], work,
                    ["--customer-delay", str(CUSTOMER_DELAY_MS), "--signature", signature])
    try:
        os.environ["RV270_SIM"] = sim.usb
        log("simulator at %s, screen view at %s" % (sim.usb, sim.url))
        terminal = qornrv270.Terminal(port=0)

        # The customer screen is set up: welcome, status bar, playlist, teller card,
        # evaluation page, a spoken greeting and an information text.
        terminal.set_welcome("欢迎光临")
        terminal.init_status_bar("柜员8001 李明")
        terminal.set_status_bar("请签名确认")
        terminal.play_pictures("ad1.jpg")
        terminal.play_videos("intro.mp4")
        terminal.call("RV270Api_SetPosterType", 1)
        # The teller family may not be in the library yet: the page then shows no card.
        lib = qornrv270.library()
        if lib.has("RV270Api_DownLoadCounterInfo"):
            terminal.show_teller("李明", "8001", 5, "")
        if lib.has("RV270Api_SetCounterEvaluateSurface"):
            terminal.call("RV270Api_SetCounterEvaluateSurface", "eval.htm")
        terminal.say("欢迎光临本行")
        state = sim.state()
        teller = (state["tellerCard"] or "").split("#") + ["", "", "", ""]

        width = struct.unpack(">I", signature_png()[16:20])[0]

        # The information text: the page is checked while the device waits for the
        # customer's confirmation.
        thread, box = in_thread(terminal.show_info, "请到3号窗口", None, 1, 30)
        sim.wait_for(lambda s: s["customerWaiting"] and s["infoText"], "the information text")
        check_page(sim, [
            ("link", equals("live"), "the page polls the simulator"),
            ("welcome", equals("欢迎光临"), "the welcome text (GBK on the wire)"),
            ("statusBar", equals("柜员8001 李明"), "the status bar text"),
            ("statusBarInfo", equals("请签名确认"), "the status bar information"),
            ("infoText", equals("请到3号窗口"), "the information text"),
            ("waiting", equals("waiting for the customer"), "the customer wait"),
            ("spoken", equals("欢迎光临本行"), "the voice text spoken (UTF-8 on the wire)"),
            ("picList", contains("ad1.jpg"), "the picture list"),
            ("videoList", contains("intro.mp4"), "the video list"),
            ("posterType", equals("1"), "the poster type"),
            ("tellerNo", equals(teller[0] or "-"), "the teller card's number, as the simulator keeps it"),
            ("tellerName", equals(teller[1] or "-"), "the teller card's name"),
            ("evaluatePage", equals(slot(state, "evaluatePage")), "the evaluation page, when the simulator keeps one"),
            ("requests", contains("50 10 information text 21 00 1E 01 00 0B C7 EB B5 BD"),
             "the latest command with its first bytes"),
            ("entry", lambda text, attrs, hidden: hidden, "no keypad entry"),
            ("signature", lambda text, attrs, hidden: attrs.get("data-width") == str(width),
             "the stored signature image, loaded (%d pixels wide)" % width),
        ])
        # The library's cancel clears the main screen (and so the information text).
        break_off(terminal, thread, box, "the information text")

        # Signing: the customer takes long; the page is checked while the device waits.
        thread, box = in_thread(terminal.call, "RV270Api_ShowInfoOrWaitSign", 0, "请签名", "1",
                                0, 0, 800, 480, 0, "", 60, 0, 0)
        sim.wait_for(lambda s: s["customerWaiting"] and s["signMode"] == 0, "the signature screen")
        check_page(sim, [
            ("signStatus", equals("请签名"), "the signature screen's status area"),
            ("infoText", equals("-"), "no information text after the clearing"),
            # The signing forgets the stored image; the simulated customer's strokes (a
            # picture of the simulator's own size) take its place.
            ("signature", lambda text, attrs, hidden: attrs.get("data-width", str(width)) != str(width),
             "the signature being drawn, not the previous customer's image"),
            ("requests", contains("50 12 signature screen"), "the latest command"),
        ])
        break_off(terminal, thread, box, "the signing")

        # PIN entry: a master key from two components, then the customer types the PIN
        # (the simulator's customer types 1234): the page shows four asterisks only.
        out = bytearray(64)
        terminal.call("RV270Api_InputTMK", "1", "0123456789ABCDEF", "FEDCBA9876543210", out, 0)
        length, block, tail = bytearray(16), bytearray(64), bytearray(64)
        thread, box = in_thread(terminal.call, "RV270Api_ReadCustomerPin", "1", "", "1", 60, 0, 0, 0,
                                length, block, tail)
        sim.wait_for(lambda s: s["entry"]["active"], "the PIN entry")
        check_page(sim, [
            ("entryKind", equals("PIN"), "a PIN entry"),
            ("entryMask", equals("****"), "four asterisks"),
            ("requests", contains("50 5A PIN entry 10"), "the PIN entry by its command bytes alone"),
        ], forbidden=["1234", "0123456789ABCDEF", "FEDCBA9876543210"])
        chromium(["--virtual-time-budget=2000", "--screenshot=" + screenshot, sim.url])
        assert os.path.getsize(screenshot) > 1000, "no screenshot"
        log("screenshot: " + screenshot)
        break_off(terminal, thread, box, "the PIN entry")
    finally:
        sim.stop()
    log("the screen view showed the workflow")
    return 0


if __name__ == "__main__":
    sys.exit(main())
