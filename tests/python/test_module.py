import ast
import inspect
from pathlib import Path

import pytest

import arborvane

STUB = Path(__file__).resolve().parents[2] / "bindings" / "python" / "arborvane.pyi"


def test_module_exports_what_exists():
    assert arborvane.__all__ == ["Model", "Table", "train"]
    assert arborvane.__doc__ == ""
    public = sorted(name for name in vars(arborvane) if not name.startswith("_"))
    assert public == ["Model", "Table", "train"]


def test_table_signature_is_introspectable():
    assert str(inspect.signature(arborvane.Table)) == "(x, y=None, canaries=2, bins=None)"
    assert arborvane.Table.__module__ == "arborvane"


def test_table_exposes_read_only_properties_only():
    table = arborvane.Table([[0.0, 1.0]])
    public = sorted(name for name in dir(table) if not name.startswith("_"))
    assert public == ["canaries", "kind", "n_features", "n_rows"]
    for name in public:
        with pytest.raises(AttributeError):
            setattr(table, name, 1)


def test_stub_matches_module():
    tree = ast.parse(STUB.read_text())
    all_value = next(
        node.value
        for node in tree.body
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
    )
    assert ast.literal_eval(all_value) == arborvane.__all__
    table_class = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Table")
    properties = sorted(
        f.name
        for f in table_class.body
        if isinstance(f, ast.FunctionDef)
        and any(isinstance(d, ast.Name) and d.id == "property" for d in f.decorator_list)
    )
    assert properties == ["canaries", "kind", "n_features", "n_rows"]
    constructor = next(
        f for f in table_class.body if isinstance(f, ast.FunctionDef) and f.name == "__new__"
    )
    assert [a.arg for a in constructor.args.args] == ["cls", "x", "y", "canaries", "bins"]
