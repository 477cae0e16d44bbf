"""The columns of one output file, as the package hands them out."""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    import pandas

__all__ = ["Table"]


class Table(Mapping[str, npt.NDArray[np.float64]]):
    """Columns of one output file, by name, as read-only NumPy arrays.

    Attributes
    ----------
    path : str
        The file.
    kind : str
        Its layout, one of the keys of `LAYOUTS`.
    """

    __slots__ = ("_columns", "kind", "path")

    def __init__(self, path: str, kind: str, columns: Mapping[str, npt.ArrayLike]) -> None:
        self.path = path
        self.kind = kind
        self._columns: dict[str, npt.NDArray[np.float64]] = {}
        for name, values in columns.items():
            array = np.array(values, dtype=np.float64)
            array.setflags(write=False)
            self._columns[name] = array

    @classmethod
    def _adopt(cls, path: str, kind: str, columns: dict[str, npt.NDArray[np.float64]]) -> Table:
        """A table holding these arrays themselves, made read-only (no copy)."""
        table = cls.__new__(cls)
        table.path = path
        table.kind = kind
        for array in columns.values():
            array.setflags(write=False)
        table._columns = columns
        return table

    def __reduce__(self) -> tuple[type[Table], tuple[str, str, dict[str, npt.NDArray[np.float64]]]]:
        # Made again through __init__, so that the copy's columns are read-only too.
        return (type(self), (self.path, self.kind, self._columns))

    def __getitem__(self, name: str) -> npt.NDArray[np.float64]:
        try:
            return self._columns[name]
        except KeyError:
            raise KeyError(f"{self.path} has no column {name!r} (columns: {', '.join(self._columns)})") from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._columns)

    def __len__(self) -> int:
        return len(self._columns)

    @property
    def row_count(self) -> int:
        """Number of rows."""
        return next((len(column) for column in self._columns.values()), 0)

    def __repr__(self) -> str:
        names = ", ".join(self._columns)
        return f"Table({self.path!r}, kind={self.kind!r}, rows={self.row_count}, columns=[{names}])"

    def to_pandas(self) -> pandas.DataFrame:
        """The columns as a DataFrame (needs pandas)."""
        import pandas

        return pandas.DataFrame({name: np.array(column) for name, column in self._columns.items()})
