"""Python hosts of the Tessaro kit: the C interface through ctypes, blocking and asyncio.

The kit's shared library is loaded on first use, by its SONAME or from the path in the
TESSARO_LIBRARY environment variable.
"""

from ._client import Client
from ._errors import (
    Cancelled,
    Conflict,
    CryptoError,
    Denied,
    Error,
    Expired,
    InternalError,
    InvalidArgument,
    LibraryNotFound,
    NetworkError,
    NotAuthorized,
    NotInstalled,
    NotSignedIn,
    ProtocolError,
    Revoked,
    StoreError,
)
from ._native import SONAME, library_version
from ._records import Created, Grant, Item, ItemSummary, Updated, Vault, Waiting
from ._secret import Secret
from ._version import __version__

__all__ = [
    "SONAME",
    "Cancelled",
    "Client",
    "Conflict",
    "Created",
    "CryptoError",
    "Denied",
    "Error",
    "Expired",
    "Grant",
    "InternalError",
    "InvalidArgument",
    "Item",
    "ItemSummary",
    "LibraryNotFound",
    "NetworkError",
    "NotAuthorized",
    "NotInstalled",
    "NotSignedIn",
    "ProtocolError",
    "Revoked",
    "Secret",
    "StoreError",
    "Updated",
    "Vault",
    "Waiting",
    "__version__",
    "library_version",
]
