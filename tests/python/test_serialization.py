import inspect
import json
import re

import numpy as np
import pytest

import arborvane


def whole(message):
    return re.escape(message) + "$"


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    x = rng.normal(size=(600, 6))
    # A binary column exercises boolean splits and their binning record.
    x[:, 5] = (x[:, 5] > 0).astype(np.float64)
    y_c = (x[:, 0] + 0.5 * x[:, 1] * x[:, 5] + 0.3 * rng.normal(size=600) > 0).astype(np.int64)
    y_r = 2.0 * x[:, 0] + x[:, 1] ** 2 + x[:, 5] + 0.1 * rng.normal(size=600)
    return {"classification": (x, y_c), "regression": (x, y_r)}


KINDS = [
    ("dt", "cart", "classification"),
    ("dt", "c45", "classification"),
    ("dt", "oblivious", "classification"),
    ("dt", "randomized", "regression"),
    ("dt", "oblivious", "regression"),
    ("rf", "id3", "classification"),
    ("rf", "cart", "regression"),
    ("rf", "oblivious", "classification"),
    ("gbm", "cart", "classification"),
    ("gbm", "oblivious", "regression"),
]


@pytest.mark.parametrize("algorithm,tree_type,task", KINDS)
def test_round_trip_predicts_identically(data, algorithm, tree_type, task):
    x, y = data[task]
    extra = {} if algorithm == "dt" else {"n_trees": 7, "seed": 3}
    model = arborvane.train(x, y, algorithm=algorithm, tree_type=tree_type, task=task,
                            max_depth=4, **extra)
    text = model.serialize()
    assert model.to_ir_json() == text
    assert text == model.serialize()  # byte-identical on repeat
    copy = arborvane.Model.deserialize(text)
    assert np.array_equal(copy.predict(x), model.predict(x))
    if task == "classification":
        assert np.array_equal(copy.predict_proba(x), model.predict_proba(x))
    for name in ("algorithm", "task", "tree_type", "criterion", "canaries", "tree_count",
                 "n_trees", "learning_rate", "max_depth"):
        assert getattr(copy, name) == getattr(model, name), name
    assert copy.serialize() == text


def test_pretty_and_compact_forms(data):
    x, y = data["classification"]
    model = arborvane.train(x, y, max_depth=2)
    compact = model.serialize()
    pretty = model.serialize(pretty=True)
    assert model.to_ir_json(pretty=True) == pretty
    assert " " not in compact.replace("training-time", "").split('"notes"')[0]
    assert pretty.startswith('{\n  "ir_version": "1.0.0",\n  "format_name": "arborvane-ir",')
    assert not pretty.endswith("\n")
    assert json.loads(pretty) == json.loads(compact)
    assert np.array_equal(arborvane.Model.deserialize(pretty).predict(x), model.predict(x))


def test_signatures(data):
    model = arborvane.train(*data["regression"], max_depth=1)
    assert str(inspect.signature(model.serialize)) == "(pretty=False)"
    assert str(inspect.signature(model.to_ir_json)) == "(pretty=False)"
    assert str(inspect.signature(arborvane.Model.deserialize)) == "(serialized)"


def test_string_labelled_models_are_refused(data):
    x, y = data["classification"]
    model = arborvane.train(x, np.where(y == 1, "benign", "malignant"), max_depth=2)
    with pytest.raises(ValueError, match=whole(
            "Serialization is not supported for models trained with string class labels.")):
        model.serialize()
    with pytest.raises(ValueError, match=whole(
            "IR export is not supported for models trained with string class labels.")):
        model.to_ir_json(pretty=True)


def test_argument_types(data):
    x, y = data["regression"]
    model = arborvane.train(x, y, max_depth=2)
    with pytest.raises(TypeError, match="^argument 'pretty': must be bool, not int$"):
        model.serialize(pretty=1)
    with pytest.raises(TypeError, match="^argument 'serialized': must be str, not bytes$"):
        arborvane.Model.deserialize(model.serialize().encode())


@pytest.mark.parametrize("edit,message", [
    (lambda d: d.update(ir_version="1.0"), "Unsupported IR version: 1.0."),
    (lambda d: d["model"].update(algorithm="xgb"), "Unsupported algorithm: xgb."),
    (lambda d: d["inference_options"].update(nan_policy="propagate"),
     "Invalid inference options: unsupported nan policy 'propagate'."),
    (lambda d: d["model"]["trees"].append(d["model"]["trees"][0]),
     "Expected exactly one tree in the IR, found 2."),
])
def test_document_errors_raise_value_error(data, edit, message):
    x, y = data["regression"]
    document = json.loads(arborvane.train(x, y, max_depth=2).serialize())
    edit(document)
    with pytest.raises(ValueError, match=whole(message)):
        arborvane.Model.deserialize(json.dumps(document))


@pytest.mark.parametrize("text", ["", "{", "[]", '{"a":1,"a":2}', "{} x", "[" * 100_000])
def test_malformed_text_raises_value_error(text):
    with pytest.raises(ValueError, match="^Invalid JSON: .*\\.$"):
        arborvane.Model.deserialize(text)
