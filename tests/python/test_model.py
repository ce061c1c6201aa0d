import inspect
import re

import numpy as np
import pytest

import arborvane


def whole(message):
    return re.escape(message) + "$"


# Feature 0 decides the class; feature 1 is binary noise.
X = np.array([[float(i), float(i % 2)] for i in range(40)])
Y = np.array([0] * 20 + [1] * 20, dtype=np.int64)
QUERY = [[3.0, 1.0], [30.0, 0.0], [100.0, 1.0]]
EXPECTED = np.array([0.0, 1.0, 1.0])


@pytest.fixture(scope="module")
def classifier():
    return arborvane.train(X, Y, canaries=0)


@pytest.fixture(scope="module")
def regressor():
    return arborvane.train(X, Y.astype(np.float64) * 2.0 + 5.0, canaries=0)


def test_methods_have_text_signatures(classifier):
    assert str(inspect.signature(classifier.predict)) == "(x)"
    assert str(inspect.signature(classifier.predict_proba)) == "(x)"
    assert str(inspect.signature(arborvane.Model.predict)) == "(self, x, /)" or "x" in str(
        inspect.signature(arborvane.Model.predict)
    )


def test_model_cannot_be_instantiated_or_changed(classifier):
    with pytest.raises(TypeError):
        arborvane.Model()
    with pytest.raises(AttributeError):
        classifier.max_depth = 3


def frame_inputs():
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    columns = {"a": [r[0] for r in QUERY], "b": [r[1] for r in QUERY]}
    return [
        pd.DataFrame(columns),
        pl.DataFrame(columns),
        pa.table(columns),
    ]


def every_input_form():
    forms = [
        QUERY,
        tuple(tuple(r) for r in QUERY),
        np.array(QUERY),
        np.asfortranarray(np.array(QUERY)),
        np.array(QUERY, dtype=np.int64),
        np.array(QUERY, dtype=np.float32),
        {"f0": [r[0] for r in QUERY], "f1": [r[1] for r in QUERY]},
    ]
    return forms + frame_inputs()


def test_every_input_form_predicts_the_same(classifier):
    for form in every_input_form():
        result = classifier.predict(form)
        assert result.dtype == np.float64
        assert np.array_equal(result, EXPECTED), type(form)
        assert classifier.predict_proba(form).shape == (3, 2)


def test_single_rows_and_named_scalars(classifier):
    assert np.array_equal(classifier.predict([3.0, 1.0]), [0.0])
    assert np.array_equal(classifier.predict({"f0": 30.0, "f1": 0.0}), [1.0])


def test_sparse_input_needs_binary_features(classifier):
    sparse = pytest.importorskip("scipy.sparse")
    binary_model = arborvane.train(np.array([[1.0, 0.0], [0.0, 1.0]] * 10), np.array([1, 0] * 10), canaries=0)
    dense = np.array([[1.0, 0.0], [0.0, 1.0], [0.0, 0.0]])
    matrix = sparse.csr_matrix(dense)
    assert np.array_equal(binary_model.predict(matrix), binary_model.predict(dense))
    assert np.array_equal(binary_model.predict(matrix)[:2], [1.0, 0.0])
    assert np.array_equal(binary_model.predict_proba(sparse.coo_matrix(dense)), binary_model.predict_proba(dense))
    with pytest.raises(ValueError, match=whole("Feature 0 at row 0 must be binary for inference, found 1.")):
        classifier.predict(matrix)


@pytest.mark.parametrize(
    "x, message",
    [
        ([[1.0, 0.0], [1.0]], "Ragged inference row at index 1: expected 2 columns, found 1."),
        ([[1.0, 0.0, 3.0]], "Ragged inference row at index 0: expected 2 columns, found 3."),
        (np.zeros((2, 3)), "Ragged inference row at index 0: expected 2 columns, found 3."),
        ([[1.0, 0.5]], "Feature 1 at row 0 must be binary for inference, found 0.5."),
        ({"f0": [1.0]}, "Missing required feature 'f1'."),
        ({"f0": [1.0], "f1": [0.0], "g": [1.0]}, "Unexpected feature 'g'."),
        ({"f0": [1.0, 2.0], "f1": [0.0]}, "Feature 'f1' has 1 values, expected 2."),
    ],
)
def test_prediction_errors_carry_their_texts(classifier, x, message):
    with pytest.raises(ValueError, match=whole(message)):
        classifier.predict(x)
    with pytest.raises(ValueError, match=whole(message)):
        classifier.predict_proba(x)


def test_uninterpretable_input(classifier):
    with pytest.raises(TypeError, match=whole("Input could not be interpreted as rows or named columns.")):
        classifier.predict(42)


def test_a_table_of_another_width_is_refused(classifier):
    with pytest.raises(ValueError, match=whole("Inference input has 3 features, but the model expects 2.")):
        classifier.predict(arborvane.Table([[1.0, 2.0, 3.0]]))


def test_a_training_table_is_evaluated_on_its_own_bins(classifier):
    table = arborvane.Table(X, Y)
    assert np.array_equal(classifier.predict(table), classifier.predict(X))


def test_probabilities(classifier, regressor):
    proba = classifier.predict_proba(QUERY)
    assert proba.dtype == np.float64 and proba.shape == (3, 2)
    assert np.array_equal(proba, [[1.0, 0.0], [0.0, 1.0], [0.0, 1.0]])
    with pytest.raises(ValueError, match=whole("predict_proba is only available for classification models.")):
        regressor.predict_proba(QUERY)
    # Malformed input reports its own error first.
    with pytest.raises(ValueError, match=whole("Ragged inference row at index 0: expected 2 columns, found 1.")):
        regressor.predict_proba([[1.0]])


def test_results_own_their_buffers(classifier):
    result = classifier.predict(QUERY)
    assert result.flags.writeable and result.base is not None
    del classifier
    assert np.array_equal(result, EXPECTED)


def test_empty_input_gives_empty_results(classifier):
    assert classifier.predict([]).shape == (0,)
    assert classifier.predict(np.zeros((0, 2))).shape == (0,)


def test_string_labels_come_back_in_first_appearance_order():
    labels = np.array(["spam" if v else "ham" for v in Y])[::-1]  # "spam" appears first
    model = arborvane.train(X, labels, canaries=0)
    predictions = model.predict(QUERY)
    assert predictions.dtype.kind == "U"
    assert list(predictions) == ["spam", "ham", "ham"]
    # Column j belongs to the j-th label in first-appearance order: "spam", then "ham".
    assert np.array_equal(model.predict_proba(QUERY), [[1.0, 0.0], [0.0, 1.0], [0.0, 1.0]])
    plain = arborvane.train(X.tolist(), labels.tolist(), canaries=0)
    assert list(plain.predict(QUERY)) == ["spam", "ham", "ham"]


def test_polars_lazy_frames_are_predicted_in_windows():
    pl = pytest.importorskip("polars")
    rng = np.random.default_rng(1)
    x = rng.normal(size=(25000, 3))
    model = arborvane.train(x, x[:, 0] + x[:, 1], max_depth=6)
    lazy = pl.DataFrame(x, schema=["a", "b", "c"]).lazy()
    assert np.array_equal(model.predict(lazy), model.predict(x))
    exact = pl.DataFrame(x[:10000], schema=["a", "b", "c"]).lazy()
    assert model.predict(exact).shape == (10000,)
    empty = pl.DataFrame(x[:0], schema=["a", "b", "c"]).lazy()
    assert model.predict(empty).shape == (0,)
    classes = arborvane.train(x, (x[:, 0] > 0).astype(np.int64), max_depth=3)
    assert classes.predict_proba(empty).shape == (0, 2)
    assert np.array_equal(classes.predict_proba(lazy), classes.predict_proba(x))
