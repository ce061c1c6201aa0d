from typing import Any, Literal, final

import numpy as np
import numpy.typing as npt

__all__ = ["Model", "Table", "train"]

@final
class Table:
    """An immutable training table: features binned once, targets and canary columns."""

    def __new__(
        cls,
        x: Any,
        y: Any | None = None,
        canaries: int = 2,
        bins: int | Literal["auto"] | None = None,
    ) -> Table: ...
    @property
    def kind(self) -> Literal["dense", "sparse"]: ...
    @property
    def n_rows(self) -> int: ...
    @property
    def n_features(self) -> int: ...
    @property
    def canaries(self) -> int: ...

@final
class Model:
    """A trained decision tree, random forest or boosted ensemble."""

    def predict(self, x: Any) -> npt.NDArray[np.float64] | npt.NDArray[np.str_]: ...
    def predict_proba(self, x: Any) -> npt.NDArray[np.float64]: ...
    @property
    def algorithm(self) -> Literal["dt", "rf", "gbm"]: ...
    @property
    def task(self) -> Literal["classification", "regression"]: ...
    @property
    def tree_type(self) -> Literal["id3", "c45", "cart", "randomized", "oblivious"]: ...
    @property
    def criterion(self) -> Literal["gini", "entropy", "mean", "median", "second_order"]: ...
    @property
    def canaries(self) -> int: ...
    @property
    def max_depth(self) -> int | None: ...
    @property
    def min_samples_split(self) -> int | None: ...
    @property
    def min_samples_leaf(self) -> int | None: ...
    @property
    def n_trees(self) -> int | None: ...
    @property
    def max_features(self) -> int | None: ...
    @property
    def seed(self) -> int | None: ...
    @property
    def compute_oob(self) -> bool: ...
    @property
    def bootstrap(self) -> bool: ...
    @property
    def oob_score(self) -> float | None: ...
    @property
    def learning_rate(self) -> float | None: ...
    @property
    def top_gradient_fraction(self) -> float | None: ...
    @property
    def other_gradient_fraction(self) -> float | None: ...
    @property
    def tree_count(self) -> int: ...

def train(
    x: Any,
    y: Any | None = None,
    algorithm: Literal["dt", "rf", "gbm"] = "dt",
    task: Literal["auto", "regression", "classification"] = "auto",
    tree_type: Literal["cart", "id3", "c45", "randomized", "oblivious"] = "cart",
    criterion: Literal["auto", "gini", "entropy", "mean", "median"] = "auto",
    canaries: int = 2,
    bins: int | Literal["auto"] | None = None,
    physical_cores: int | None = None,
    max_depth: int | None = None,
    min_samples_split: int | None = None,
    min_samples_leaf: int | None = None,
    n_trees: int | None = None,
    max_features: int | Literal["auto", "all", "sqrt", "third"] | None = None,
    seed: int | None = None,
    compute_oob: bool = False,
    learning_rate: float | None = None,
    bootstrap: bool = False,
    top_gradient_fraction: float | None = None,
    other_gradient_fraction: float | None = None,
) -> Model: ...
