"""The declarations agree with the C header and the export list: a wrong argument count
or kind corrupts a 32-bit stdcall caller's stack, so the table is checked, not trusted."""
import importlib.util

import qornrv270


def _generator(repo):
    path = repo / "python" / "tools" / "generate_declarations.py"
    spec = importlib.util.spec_from_file_location("generate_declarations", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_every_export_of_the_list_is_declared_with_its_argument_count(repo):
    rows = dict(line.split("\t") for line in (repo / "res" / "exports.tsv").read_text().splitlines() if line)
    declared = {name: str(len(params)) for name, params in qornrv270.EXPORTS.items()}
    assert declared == rows
    assert len(declared) == 145


def test_committed_bindings_match_the_header(repo):
    gen = _generator(repo)
    exports = gen.parse(gen.HEADER.read_text(encoding="utf-8"))
    assert gen.PY_OUT.read_text(encoding="utf-8") == gen.python_source(exports)
    assert gen.CS_OUT.read_text(encoding="utf-8") == gen.csharp_source(exports)
