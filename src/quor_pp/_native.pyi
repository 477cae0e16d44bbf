"""Types of the package's private reader (a native module)."""

from collections.abc import Buffer
from typing import Any

class Column:
    """The values of one column, lent as a read-only buffer of doubles."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

def read_table(source: str | Buffer, *, header: int | None = None, clean_rows: bool = False,
               block_fields: int = 0, refused_limit: int = 1) -> dict[str, Any]: ...
def split_fields(text: str, /) -> list[str]: ...
def is_number(text: str, /) -> bool: ...
