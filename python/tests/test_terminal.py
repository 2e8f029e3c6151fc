"""The Terminal wrapper against the simulator: the bytes that reach it, the results, and
the exception of a failure."""
import pytest

import qornrv270

WINDOW = "请到3号窗口"


def _one_request(sim, mark):
    requests = sim.received(mark)
    assert len(requests) == 1, requests
    return requests[0]


@pytest.mark.parametrize("terminal, link", [("usb", "usb"), ("serial", "serial")])
def test_device_information_over_both_links(request, sim, terminal, link):
    term = request.getfixturevalue(terminal)
    mark = sim.mark()
    info = term.device_info()
    assert info and isinstance(info, str)
    assert _one_request(sim, mark) == (link, b"\x50\x03")
    assert term.lib.RV270Api_GetErrorCode() == 0


def test_show_info_sends_gbk_display_text_and_spoken_utf8(usb, sim):
    mark = sim.mark()
    assert usb.show_info(WINDOW, voice=WINDOW, mode=0, timeout=30) == 0
    shown = WINDOW.encode("gbk")
    spoken = "请到三号窗口".encode("utf-8")
    expected = (b"\x50\x10\x00\x1e\x00" + len(shown).to_bytes(2, "big") + shown + b"\x01"
                + len(spoken).to_bytes(2, "big") + spoken)
    assert _one_request(sim, mark) == ("usb", expected)


def test_teller_greeting_in_one_call(usb, sim):
    mark = sim.mark()
    assert usb.greet("欢迎光临", "柜员: 001", WINDOW) == 0
    requests = sim.received(mark, count=3)
    assert [payload[:2] for _, payload in requests] == [b"\x50\x1c", b"\x50\x1d", b"\x50\x10"]
    welcome = "欢迎光临".encode("gbk")
    assert requests[0][1] == b"\x50\x1c" + len(welcome).to_bytes(2, "big") + welcome


def test_volume_round_trip_and_raw_exchange(usb):
    usb.set_volume(2)
    assert usb.volume() == 2
    assert usb.exchange(b"\x50\x01")[:2] == b"\x00\x00"


@pytest.mark.parametrize("call, result, code", [
    (lambda t: t.say(""), -2, 100),
    (lambda t: t.set_welcome(""), -2, 100),
    (lambda t: t.device_info(size=0), -1, 100),
])
def test_argument_errors_raise_with_result_code_and_text(usb, call, result, code):
    with pytest.raises(qornrv270.RV270Error) as raised:
        call(usb)
    assert (raised.value.result, raised.value.error_code) == (result, code)
    assert raised.value.text == "param error"
    assert "last error %d: param error" % code in str(raised.value)


def test_link_failure_raises_cannot_connect(lib, sim, tmp_path, monkeypatch):
    monkeypatch.setenv("RV270_COM9", str(tmp_path / "no-such-port"))
    with pytest.raises(qornrv270.RV270Error) as raised:
        qornrv270.Terminal(9, 0, lib).working_status()
    assert (raised.value.result, raised.value.error_code, raised.value.text) == (
        -2, 102, "cannot connect device")
