"""The declarations agree with the C header and the export list: a wrong argument count
or kind corrupts a 32-bit stdcall caller's stack, so the table is checked, not trusted."""
import importlib.util
import pathlib

import pytest

import qornrv270

REPO = pathlib.Path(__file__).resolve().parents[2]
GENERATOR = REPO / "python" / "tools" / "generate_declarations.py"
if not (REPO / "include" / "QornRV270API.h").exists():
    pytest.skip("needs the repository (header and export list)", allow_module_level=True)


def _generator():
    spec = importlib.util.spec_from_file_location("generate_declarations", GENERATOR)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_every_export_of_the_list_is_declared_with_its_argument_count():
    rows = dict(line.split("\t") for line in (REPO / "res" / "exports.tsv").read_text().splitlines() if line)
    declared = {name: str(len(params)) for name, params in qornrv270.EXPORTS.items()}
    assert declared == rows
    assert len(declared) == 145


def test_committed_bindings_match_the_header():
    gen = _generator()
    exports = gen.parse(gen.HEADER.read_text(encoding="utf-8"))
    assert gen.PY_OUT.read_text(encoding="utf-8") == gen.python_source(exports)
    assert gen.CS_OUT.read_text(encoding="utf-8") == gen.csharp_source(exports)
