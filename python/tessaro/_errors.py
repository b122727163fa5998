"""The exceptions: one class per status of the C interface, all under tessaro.Error."""

from typing import Dict, Optional, Type


class LibraryNotFound(ImportError):
    """The kit's shared library could not be loaded (see TESSARO_LIBRARY)."""


class Error(Exception):
    """A call into the kit failed.

    ``status`` is the C interface's status number, ``code`` its short name ("denied", ...),
    ``message`` the text to show, ``protocol_code`` the protocol code of a ProtocolError and
    ``download_url`` where the password-manager application is found, for NotInstalled.
    """

    status: int = -1
    code: str = "unknown"

    def __init__(
        self,
        message: str,
        *,
        status: Optional[int] = None,
        code: Optional[str] = None,
        protocol_code: Optional[str] = None,
        download_url: Optional[str] = None,
    ) -> None:
        super().__init__(message)
        self.message = message
        if status is not None:
            self.status = status
        if code is not None:
            self.code = code
        self.protocol_code = protocol_code
        self.download_url = download_url

    def __str__(self) -> str:
        if self.protocol_code:
            return f"{self.message} ({self.code}: {self.protocol_code})"
        return f"{self.message} ({self.code})"


class NotInstalled(Error):
    """Nothing can open the password-manager application; see ``download_url``."""

    status, code = 1, "not_installed"


class NetworkError(Error):
    """The server could not be reached."""

    status, code = 2, "network"


class ProtocolError(Error):
    """An answer outside the protocol, or input the kit refuses; see ``protocol_code``."""

    status, code = 3, "protocol"


class NotAuthorized(Error):
    """No grant is stored: authorize first."""

    status, code = 4, "not_authorized"


class Cancelled(Error):
    """Cancelled by the host or the user."""

    status, code = 5, "cancelled"


class Denied(Error):
    """The user refused in the password-manager application."""

    status, code = 6, "denied"


class Expired(Error):
    """The request or authorization ran out of time."""

    status, code = 7, "expired"


class NotSignedIn(Error):
    """The user is not signed in to the password-manager application."""

    status, code = 8, "not_signed_in"


class Revoked(Error):
    """The grant was revoked: authorize again."""

    status, code = 9, "revoked"


class Conflict(Error):
    """The item changed since it was read: read it again and retry."""

    status, code = 10, "conflict"


class StoreError(Error):
    """The secret store failed (locked, unavailable, prompt dismissed, ...)."""

    status, code = 20, "store"


class CryptoError(Error):
    """A stored key or a sealed value could not be used."""

    status, code = 21, "crypto"


class InvalidArgument(Error, ValueError):
    """The C interface refused a value (malformed JSON, out of range, ...)."""

    status, code = 22, "invalid_argument"


class InternalError(Error):
    """An unexpected failure inside the kit, memory exhaustion included."""

    status, code = 23, "internal"


_BY_STATUS: Dict[int, Type[Error]] = {
    cls.status: cls
    for cls in (
        NotInstalled,
        NetworkError,
        ProtocolError,
        NotAuthorized,
        Cancelled,
        Denied,
        Expired,
        NotSignedIn,
        Revoked,
        Conflict,
        StoreError,
        CryptoError,
        InvalidArgument,
        InternalError,
    )
}


def error_class(status: int) -> Type[Error]:
    """The exception class of a status; Error itself for a status this package does not know."""
    return _BY_STATUS.get(status, Error)
