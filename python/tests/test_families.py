"""Terminal's wrappers of the families beyond the screen (files, signature, evaluation, PIN
pad, keys, operators, cipher services) against the simulator; its argument checks; the
context manager and the cancel of a customer wait from another thread."""
import threading

import pytest

import qornrv270

PICTURE = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 40


def test_files_sent_listed_fetched_and_deleted(usb, tmp_path):
    source = tmp_path / "logo.png"
    source.write_bytes(PICTURE)
    usb.send_file(source, "picture", name="logo.png")
    assert "logo.png" in usb.files("picture")
    assert usb.fetch_file("logo.png", 1) == PICTURE
    target = tmp_path / "back" / "logo.png"
    target.parent.mkdir()
    assert usb.fetch_file("logo.png", "picture", target) == str(target)
    assert target.read_bytes() == PICTURE
    usb.delete_file("logo.png")
    assert "logo.png" not in usb.files("picture")
    with pytest.raises(qornrv270.RV270Error) as raised:
        usb.fetch_file("logo.png", "picture")
    assert raised.value.error_code == 103
    assert usb.count_media(tmp_path) == (2, 2 * len(PICTURE))


def test_signature_image_and_evaluation(usb, sim, tmp_path):
    image = tmp_path / "sign.png"
    assert usb.signature(image, prompt="请签名") == 0
    assert image.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    outcome, png = usb.paperless("请确认", timeout=10)
    assert (outcome, png[:4]) == (0, b"\x89PNG")
    usb.show_teller("张三", "001", stars=4)
    usb.set_evaluation_page("evaluate.html")
    mark = sim.mark()
    assert 0 <= usb.evaluate(timeout=20, mode=1) <= 255
    assert sim.received(mark) == [("usb", b"\x50\x92\x14\x01")]


def test_pin_pad_entry_and_keys(usb, sim):
    check = usb.input_tmk(1, "11" * 16, "22" * 16)
    assert check and usb.master_key_check(1) == check
    usb.input_work_key(1, 2, 16, "33" * 16)
    usb.activate_work_key(1, 2)
    assert len(usb.work_key_check(1, 2)) == 8
    assert len(usb.crypt(1, 2, "0123456789ABCDEF")) == 16
    mark = sim.mark()
    length, block, _ = usb.read_pin(1, account="123456789012", timeout=10)
    # Index "001", the account field, modex 1, timeout 10 s, block type 0, option 0.
    assert sim.received(mark)[0][1] == b"\x50\x5a001123456789012\x01\x00\x0a\x00\x00"
    assert length > 0 and len(block) == 16
    usb.set_keyboard_length(4, 6)
    assert usb.num_keyboard(timeout=10).isdigit()
    assert len(usb.random(8)) == 8
    assert len(usb.input_password("请输入密码", timeout=10)) == 32


def test_operators_after_the_administrator_signs_in(usb):
    assert usb.operator_public_key()
    usb.send_ciphertext("AB" * 8)
    usb.create_operator(1, "123456")
    usb.set_operator_power(1, 3)
    usb.delete_operator(1)
    usb.administrator_sign_out()


@pytest.mark.parametrize("call, error, words", [
    (lambda t: t.set_volume("2"), TypeError, "level must be int, not str"),
    (lambda t: t.show_info("欢迎 😀"), ValueError, "text: '😀' at position 3 has no GBK form"),
    (lambda t: t.send_file("a.png", "photo"), ValueError, "category must be one of picture"),
    (lambda t: t.fetch_file("a.png", 10), ValueError, "category must be from 1 to 9, not 10"),
    (lambda t: t.read_pin(1, account="1234"), ValueError, "account must hold 12 characters"),
    (lambda t: t.key_input(variant=5), ValueError, "variant must be from 1 to 4"),
    (lambda t: t.evaluate(timeout=300), ValueError, "timeout must be from 0 to 255"),
    (lambda t: t.signature(3.5), TypeError, "path must be a path, not float"),
    (lambda t: t.lib.RV270Api_ShowInfo(0, 0, 0, "😀", 0, "", 1), ValueError, "pInfo: '😀'"),
    (lambda t: t.lib.RV270Api_SetVoiceVolume(0, 0, 0, 1.5), TypeError, "degree must be int"),
])
def test_argument_errors_name_the_parameter(usb, sim, call, error, words):
    mark = sim.mark()
    with pytest.raises(error, match=words.replace("(", r"\(")):
        call(usb)
    assert sim.received(mark, count=1, timeout=0.2) == []


def test_a_library_that_does_not_load_names_the_variable(tmp_path, monkeypatch):
    missing = str(tmp_path / "libQornRV270API.so.1")
    monkeypatch.setenv("QORNRV270_LIBRARY", missing)
    with pytest.raises(qornrv270.LibraryNotFound, match="QORNRV270_LIBRARY names " + missing):
        qornrv270.Library()
    monkeypatch.delenv("QORNRV270_LIBRARY")
    with pytest.raises(OSError, match="set QORNRV270_LIBRARY"):
        qornrv270.Library(missing)


def _wait_in_thread(call):
    """Runs call in a thread; outcome["result"] is its result, or the result of the
    RV270Error it raised."""
    outcome = {}

    def run():
        try:
            outcome["result"] = call()
        except qornrv270.RV270Error as error:
            outcome["result"] = error.result

    thread = threading.Thread(target=run)
    thread.start()
    return thread, outcome


# The waiting call, the cancel command it takes, and the broken-off wait's result (the
# screen's answer 2, a failure -3 elsewhere).
@pytest.mark.parametrize("wait, command, cancelled", [
    (lambda t: t.evaluate(timeout=30), b"\x50\x15", -3),
    (lambda t: t.show_info("请确认", mode=1, timeout=30), b"\x50\x15", 2),
    (lambda t: t.read_pin(1, timeout=30), b"\x50\x5c", -3),
])
def test_leaving_the_with_block_cancels_the_customer_wait(lib, slow_sim, wait, command, cancelled):
    with qornrv270.Terminal(0, 0, lib) as terminal:
        terminal.input_tmk(1, "11" * 16, "22" * 16)  # the key a PIN entry needs
        mark = slow_sim.mark()
        thread, outcome = _wait_in_thread(lambda: wait(terminal))
        assert slow_sim.received(mark, count=1, timeout=5)  # the waiting command arrived
        while not terminal.waiting():
            pass
    thread.join(timeout=15)
    assert not thread.is_alive()
    # The customer would answer only after 20 s: the wait ended broken off.
    assert outcome == {"result": cancelled}
    assert slow_sim.received(mark, count=2)[1][1] == command
    assert terminal.closed
    with pytest.raises(RuntimeError, match="closed"):
        terminal.working_status()


def test_cipher_services_give_the_standard_vectors(usb):
    public, private = usb.sm2_key_pair()
    assert (len(public), len(private)) == (128, 64)
    assert usb.sm3("abc") == "66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0"
    key = "0123456789ABCDEFFEDCBA9876543210"
    assert usb.sm4_encrypt(key, key) == "681EDF34D206965E86B3E94F536E4246"
    assert usb.sm4_decrypt(key, "681EDF34D206965E86B3E94F536E4246") == key
