"""Loading a library that provides only some exports, argument checks, and the exports
that need no terminal."""
import os

import pytest

import qornrv270


def test_available_exports_are_exactly_those_the_library_provides(repo, lib):
    lines = (repo / "res" / "implemented.txt").read_text().splitlines()
    implemented = {line for line in lines if line[:1].isalpha()}
    assert set(lib.available()) == implemented


def test_a_missing_export_is_an_error_only_when_used(lib):
    missing = [name for name in qornrv270.EXPORTS if not lib.has(name)]
    if not missing:
        pytest.skip("this library provides every export")
    with pytest.raises(qornrv270.MissingExport):
        getattr(lib, missing[0])
    with pytest.raises(AttributeError):
        lib.NoSuchExport


def test_a_wrong_argument_count_is_refused_before_the_call(lib):
    with pytest.raises(TypeError, match="RV270Api_GetWorkingStatus takes 2 arguments"):
        lib.RV270Api_GetWorkingStatus(0)
    with pytest.raises(TypeError):
        lib.RV270Api_GetErrorCode(0)


def test_hex_text_and_writable_bytearray_buffers(lib):
    assert qornrv270.hex_text(b"\x00\x1f\xab\xff", lib) == "001FABFF"
    out = bytearray(9)
    assert lib.RV270Api_Hex2Ascii(b"\x12\x34\xcd\xef", 4, out) == 8
    assert bytes(out[:8]) == b"1234CDEF"


def test_log_file_is_beside_the_loaded_library(lib):
    path = qornrv270.log_path(lib)
    folder = os.path.dirname(os.path.realpath(lib.path))
    assert os.path.dirname(path) == os.path.join(folder, "LogOfRV270")
    assert os.path.basename(path).startswith("DEVICD_KPL_")


def test_host_text_reaches_the_log_as_gbk(lib):
    text = "柜员备注 %d 号" % os.getpid()
    lib.RV270Api_CSharpPrint(text)
    with open(qornrv270.log_path(lib), "rb") as log:
        assert text.encode("gbk") in log.read()


def test_error_texts():
    assert qornrv270.error_text(102) == "cannot connect device"
    assert qornrv270.error_text(128) == "handle is timeout"
    assert qornrv270.error_text(113) == "Device work normally"
    assert qornrv270.error_text(-5) == "Device work normally"
