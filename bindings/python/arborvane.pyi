from typing import Any, Literal, final

__all__ = ["Table"]

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
