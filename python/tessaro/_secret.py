"""Secret: a password held in a bytearray that can be zeroed."""

from types import TracebackType
from typing import NoReturn, Optional, Type


class Secret:
    """An item's password, kept as UTF-8 bytes in a ``bytearray`` that ``wipe()`` zeroes.

    The bytes are copied straight from the kit's memory into the bytearray; no ``str`` or
    ``bytes`` copy exists until ``reveal()`` makes one, which Python cannot wipe. Used as a
    context manager, the secret is wiped on leaving the block; it is also wiped when collected.
    """

    __slots__ = ("_data", "_wiped")

    def __init__(self, data: bytearray) -> None:
        if not isinstance(data, bytearray):
            raise TypeError("Secret holds a bytearray")
        self._data = data
        self._wiped = False

    def reveal(self) -> str:
        """The password as a new ``str`` (a copy that cannot be wiped)."""
        if self._wiped:
            raise ValueError("the secret was wiped")
        return self._data.decode("utf-8", errors="replace")

    def wipe(self) -> None:
        """Zeroes the bytes; ``reveal()`` then raises ValueError."""
        # Slice assignment of the same length overwrites the buffer in place.
        self._data[:] = bytes(len(self._data))
        self._wiped = True

    @property
    def wiped(self) -> bool:
        """Whether ``wipe()`` was called."""
        return self._wiped

    def __len__(self) -> int:
        return len(self._data)

    def __enter__(self) -> "Secret":
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.wipe()

    def __del__(self) -> None:
        self.wipe()

    def __repr__(self) -> str:
        return "Secret(wiped)" if self._wiped else "Secret(***)"

    def __reduce__(self) -> NoReturn:
        # Pickling or copying would leave copies behind that wipe() cannot reach.
        raise TypeError("a Secret cannot be pickled or copied")
