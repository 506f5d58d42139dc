"""The type stubs installed beside the module document every method the
module has (their signatures are compared with the module's by stubtest in
scripts/test)."""
import ast
from pathlib import Path

import velq


def stub_methods():
    stub = Path(velq.__file__).parent / "velq-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    (database,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Database"]
    return {node.name: ast.get_docstring(node) for node in database.body if isinstance(node, ast.FunctionDef)}


def test_every_method_has_a_documented_stub():
    documented = stub_methods()
    runtime = {name for name in dir(velq.Database) if not name.startswith("_") or name in ("__len__", "__contains__")}
    assert runtime - set(documented) == set()
    assert [name for name, doc in documented.items() if not doc] == []
