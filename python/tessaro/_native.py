"""Loading the kit's shared library: prototypes, the secret structure, errors to exceptions."""

import ctypes
import os
import threading
from ctypes import POINTER, c_bool, c_char_p, c_double, c_int, c_size_t, c_uint16, c_uint32, c_void_p
from typing import Any, Optional

from ._errors import LibraryNotFound, error_class
from ._secret import Secret
from ._version import __version__

_MAJOR_MINOR = ".".join(__version__.split(".")[:2])
SONAME = f"libtessaro-sdk.so.{_MAJOR_MINOR}"

STORE_DESKTOP = 0
STORE_MEMORY = 1


class tessaro_secret(ctypes.Structure):
    _fields_ = [("data", c_void_p), ("length", c_size_t)]


OPEN_FN = ctypes.CFUNCTYPE(c_int, c_char_p, c_void_p)
WAITING_FN = ctypes.CFUNCTYPE(None, c_char_p, c_void_p)

_p = c_void_p  # every opaque handle
_err = POINTER(c_void_p)
_out_text = POINTER(c_void_p)  # char**: kept as an address, so that it can be freed
_out_secret = POINTER(POINTER(tessaro_secret))
_status = c_int

# name: (restype, argtypes)
_PROTOTYPES = {
    "tessaro_status_name": (c_char_p, [c_int]),
    "tessaro_version": (c_char_p, []),
    "tessaro_free": (None, [c_void_p]),
    "tessaro_free_secret": (None, [POINTER(tessaro_secret)]),
    "tessaro_error_code": (c_int, [_p]),
    "tessaro_error_message": (c_char_p, [_p]),
    "tessaro_error_protocol_code": (c_char_p, [_p]),
    "tessaro_error_download_url": (c_char_p, [_p]),
    "tessaro_error_free": (None, [_p]),
    "tessaro_cancel_new": (_p, []),
    "tessaro_cancel_trigger": (None, [_p]),
    "tessaro_cancel_free": (None, [_p]),
    "tessaro_client_options_new": (_p, []),
    "tessaro_client_options_free": (None, [_p]),
    "tessaro_client_options_set_store": (_status, [_p, c_int, _err]),
    "tessaro_client_options_set_poll_interval": (_status, [_p, c_double, _err]),
    "tessaro_client_options_set_authorize_timeout": (_status, [_p, c_double, _err]),
    "tessaro_client_options_set_opener": (_status, [_p, OPEN_FN, c_void_p, _err]),
    "tessaro_client_new": (_status, [c_char_p, c_char_p, c_char_p, _p, POINTER(c_void_p), _err]),
    "tessaro_client_free": (None, [_p]),
    "tessaro_client_set_on_waiting": (_status, [_p, WAITING_FN, c_void_p, c_void_p, _err]),
    "tessaro_client_application_did_become_active": (_status, [_p, _err]),
    "tessaro_client_is_authorized": (_status, [_p, POINTER(c_bool), _err]),
    "tessaro_client_grant": (_status, [_p, _out_text, _err]),
    "tessaro_client_reset": (_status, [_p, _err]),
    "tessaro_client_authorize": (_status, [_p, _p, _out_text, _err]),
    "tessaro_client_retry_open": (_status, [_p, _p, _err]),
    "tessaro_client_cancel_pending": (_status, [_p, _err]),
    "tessaro_client_revoke": (_status, [_p, _p, _err]),
    "tessaro_client_pick_item": (
        _status,
        [_p, c_char_p, c_char_p, c_char_p, _p, _out_text, _out_secret, _err],
    ),
    "tessaro_client_get_item": (_status, [_p, c_char_p, c_char_p, _p, _out_text, _out_secret, _err]),
    "tessaro_client_create_item": (
        _status,
        [_p, c_char_p, c_char_p, c_char_p, c_char_p, _p, _out_text, _out_secret, _err],
    ),
    "tessaro_client_update_item": (
        _status,
        [_p, c_char_p, c_char_p, c_char_p, c_char_p, _p, _out_text, _err],
    ),
    "tessaro_client_handle_callback": (_status, [_p, c_char_p, POINTER(c_bool), _err]),
    "tessaro_client_drain": (_status, [_p, c_uint32, POINTER(c_bool), _err]),
    "tessaro_loopback_redirect_new": (_status, [c_uint16, c_char_p, POINTER(c_void_p), _err]),
    "tessaro_loopback_redirect_url": (c_char_p, [_p]),
    "tessaro_loopback_redirect_set_client": (_status, [_p, _p, _err]),
    "tessaro_loopback_redirect_free": (None, [_p]),
}

_lib: Optional[ctypes.CDLL] = None
_lock = threading.Lock()


def _load() -> ctypes.CDLL:
    name = os.environ.get("TESSARO_LIBRARY") or SONAME
    try:
        lib = ctypes.CDLL(name)
    except OSError as e:
        raise LibraryNotFound(
            f"cannot load the Tessaro kit's library {name!r} ({e}); install the kit, or set "
            f"TESSARO_LIBRARY to the path of its {SONAME}"
        ) from e
    try:
        for fn_name, (restype, argtypes) in _PROTOTYPES.items():
            fn = getattr(lib, fn_name)
            fn.restype = restype
            fn.argtypes = argtypes
    except AttributeError as e:
        raise LibraryNotFound(f"{name!r} is not the Tessaro kit's library ({e}); check TESSARO_LIBRARY") from e
    version = lib.tessaro_version().decode()
    if version.split(".")[:2] != __version__.split(".")[:2]:
        raise LibraryNotFound(
            f"{name!r} is the kit {version}; this package needs {_MAJOR_MINOR}.x (see TESSARO_LIBRARY)"
        )
    return lib


def lib() -> ctypes.CDLL:
    """The loaded library, loaded on first use. Raises LibraryNotFound."""
    global _lib
    with _lock:
        if _lib is None:
            _lib = _load()
        return _lib


def library_version() -> str:
    """The version of the loaded kit library, "MAJOR.MINOR.PATCH"."""
    return str(lib().tessaro_version().decode())


def _text(value: Optional[bytes]) -> Optional[str]:
    return value.decode("utf-8", errors="replace") if value is not None else None


def check(status: int, error: c_void_p) -> None:
    """Raises the exception of a failed call (freeing its error), nothing for TESSARO_OK."""
    if status == 0:
        return
    f = lib()
    try:
        if error.value is None:
            name = _text(f.tessaro_status_name(status)) or "unknown"
            raise error_class(status)(name, status=status, code=name)
        raise error_class(status)(
            _text(f.tessaro_error_message(error)) or "",
            status=status,
            code=_text(f.tessaro_status_name(status)),
            protocol_code=_text(f.tessaro_error_protocol_code(error)),
            download_url=_text(f.tessaro_error_download_url(error)),
        )
    finally:
        f.tessaro_error_free(error)


def call(fn_name: str, *args: Any) -> None:
    """Calls a status-returning function with an error pointer last; raises its exception."""
    error = c_void_p()
    status = getattr(lib(), fn_name)(*args, ctypes.byref(error))
    check(status, error)


def take_text(address: c_void_p) -> Optional[str]:
    """The text of a returned char* (None for NULL), freed with tessaro_free."""
    if address.value is None:
        return None
    try:
        return ctypes.string_at(address.value).decode("utf-8", errors="replace")
    finally:
        lib().tessaro_free(address)


def take_secret(pointer: Any) -> Optional[Secret]:
    """A Secret holding a returned tessaro_secret's bytes, which is then wiped and freed.

    The bytes go with memmove straight into the bytearray: no str or bytes copy is made.
    """
    if not pointer:
        return None
    try:
        length = pointer.contents.length
        data = bytearray(length)
        if length:
            ctypes.memmove((ctypes.c_char * length).from_buffer(data), pointer.contents.data, length)
        return Secret(data)
    finally:
        lib().tessaro_free_secret(pointer)


class CancelHandle:
    """A tessaro_cancel owned by Python; freed explicitly, once no call uses it."""

    def __init__(self) -> None:
        self.handle = lib().tessaro_cancel_new()
        if not self.handle:
            raise MemoryError("tessaro_cancel_new")

    def trigger(self) -> None:
        lib().tessaro_cancel_trigger(self.handle)

    def free(self) -> None:
        lib().tessaro_cancel_free(self.handle)
        self.handle = None
