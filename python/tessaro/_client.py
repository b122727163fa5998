"""Client: the kit's client for one host application, blocking and asyncio forms."""

import asyncio
import ctypes
import json
import threading
from ctypes import byref, c_bool, c_void_p
from types import TracebackType
from typing import Any, Callable, List, Mapping, Optional, Set, Type, TypeVar

from . import _native
from ._native import CancelHandle, call, take_secret, take_text
from ._records import Created, Grant, Item, Updated, Waiting

T = TypeVar("T")
Opener = Callable[[str], Optional[bool]]
WaitingCallback = Callable[[Optional[Waiting]], None]
_Op = Callable[[c_void_p], T]


def _str(name: str, value: Any, optional: bool = False) -> Optional[bytes]:
    """`value` as UTF-8 for the C call; TypeError unless it is a str (or None when optional)."""
    if value is None and optional:
        return None
    if not isinstance(value, str):
        allowed = "a str or None" if optional else "a str"
        raise TypeError(f"{name} must be {allowed}, not {type(value).__name__}")
    return value.encode("utf-8")


def _form(name: str, value: Any, optional: bool = True) -> Optional[bytes]:
    """A mapping of str to str (or None) as JSON text; TypeError for anything else."""
    if value is None and optional:
        return None
    if not isinstance(value, Mapping):
        raise TypeError(f"{name} must be a mapping of str to str, not {type(value).__name__}")
    for key, item in value.items():
        if not isinstance(key, str):
            raise TypeError(f"{name}: keys must be str, not {type(key).__name__}")
        if item is not None and not isinstance(item, (str, Mapping)):
            raise TypeError(f"{name}[{key!r}] must be a str, not {type(item).__name__}")
    return json.dumps(dict(value)).encode("utf-8")


def _seconds(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    return float(value)


class Client:
    """The kit's client for one host application.

    ``origin`` is the server, ``client_id`` the host's client ID. Without ``redirect_url`` the
    client listens for its callback on 127.0.0.1 (a loopback redirect receiver). ``store`` is
    "desktop" (the Secret Service) or "memory" (this client only). ``opener(url)`` opens
    tessaro:// URLs instead of the desktop's handler; an exception or a False return means
    nothing could open it. ``on_waiting(waiting)`` is called on a kit thread while the user is
    asked, with None when the wait ended.

    The blocking methods wait on the store, the network and the user: call them on a worker
    thread, or use their ``*_async`` forms. ``cancel()`` from any thread ends the calls in
    progress with Cancelled. A Client is a context manager; ``close()`` frees it.
    """

    def __init__(
        self,
        origin: str,
        client_id: str,
        redirect_url: Optional[str] = None,
        store: str = "desktop",
        *,
        opener: Optional[Opener] = None,
        on_waiting: Optional[WaitingCallback] = None,
        poll_interval: Optional[float] = None,
        authorize_timeout: Optional[float] = None,
    ) -> None:
        self._handle: Optional[int] = None
        self._redirect: Optional[int] = None
        self._lock = threading.Condition()
        self._running: Set[CancelHandle] = set()
        self._active = 0
        # Every ctypes function handed to the kit, kept until the client is freed: the kit may
        # still be calling one it was just told to replace.
        self._callbacks: List[Any] = []
        self._waiting_fn: Any = None
        origin_b, client_id_b = _str("origin", origin), _str("client_id", client_id)
        redirect_b = _str("redirect_url", redirect_url, optional=True)
        stores = {"desktop": _native.STORE_DESKTOP, "memory": _native.STORE_MEMORY}
        if store not in stores:
            raise ValueError(f"store must be 'desktop' or 'memory', not {store!r}")
        if opener is not None and not callable(opener):
            raise TypeError("opener must be callable")
        lib = _native.lib()
        options = lib.tessaro_client_options_new()
        if not options:
            raise MemoryError("tessaro_client_options_new")
        try:
            call("tessaro_client_options_set_store", options, stores[store])
            if poll_interval is not None:
                seconds = _seconds("poll_interval", poll_interval)
                call("tessaro_client_options_set_poll_interval", options, seconds)
            if authorize_timeout is not None:
                seconds = _seconds("authorize_timeout", authorize_timeout)
                call("tessaro_client_options_set_authorize_timeout", options, seconds)
            if opener is not None:
                self._callbacks.append(_native.OPEN_FN(self._opener_trampoline(opener)))
                call("tessaro_client_options_set_opener", options, self._callbacks[-1], None)
            if redirect_b is None:
                redirect = c_void_p()
                call("tessaro_loopback_redirect_new", 0, None, byref(redirect))
                self._redirect = redirect.value
                redirect_b = lib.tessaro_loopback_redirect_url(self._redirect)
            handle = c_void_p()
            call("tessaro_client_new", origin_b, client_id_b, redirect_b, options, byref(handle))
            self._handle = handle.value
        except BaseException:
            self.close()
            raise
        finally:
            lib.tessaro_client_options_free(options)
        if self._redirect is not None:
            call("tessaro_loopback_redirect_set_client", self._redirect, self._handle)
        if on_waiting is not None:
            self.on_waiting = on_waiting

    @staticmethod
    def _opener_trampoline(opener: Opener) -> Callable[[bytes, Any], int]:
        def open_url(url: bytes, _user: Any) -> int:
            try:
                return 1 if opener(url.decode("utf-8")) is False else 0
            except Exception:
                return 1

        return open_url

    # ---- life ----

    def close(self) -> None:
        """Cancels the calls in progress, waits for them, then frees the client. Idempotent."""
        with self._lock:
            for cancel in self._running:
                cancel.trigger()
            while self._active:
                self._lock.wait()
            handle, redirect = self._handle, self._redirect
            self._handle = self._redirect = None
        lib = _native.lib()
        if handle is not None:
            lib.tessaro_client_free(handle)
        if redirect is not None:
            lib.tessaro_loopback_redirect_free(redirect)
        self._callbacks.clear()
        self._waiting_fn = None

    def __enter__(self) -> "Client":
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None or getattr(self, "_redirect", None) is not None:
            self.close()

    def _client(self) -> int:
        if self._handle is None:
            raise RuntimeError("the client is closed")
        return self._handle

    def _call(self, function: str, *args: Any) -> None:
        """Calls a non-blocking function of the client; close() waits for it."""
        with self._lock:
            handle = self._client()
            self._active += 1
        try:
            call(function, handle, *args)
        finally:
            with self._lock:
                self._active -= 1
                self._lock.notify_all()

    # ---- settings ----

    @property
    def on_waiting(self) -> Optional[WaitingCallback]:
        """Called with a Waiting while the user is asked, None when the wait ended."""
        return self._on_waiting if self._waiting_fn is not None else None

    @on_waiting.setter
    def on_waiting(self, callback: Optional[WaitingCallback]) -> None:
        if callback is not None and not callable(callback):
            raise TypeError("on_waiting must be callable or None")
        function: Any = None
        if callback is not None:
            deliver: WaitingCallback = callback

            def report(text: Optional[bytes], _user: Any) -> None:
                deliver(Waiting.from_json(json.loads(text)) if text is not None else None)

            function = _native.WAITING_FN(report)
            self._callbacks.append(function)
        self._call("tessaro_client_set_on_waiting", function, None, None)
        self._on_waiting, self._waiting_fn = callback, function

    # ---- running blocking calls ----

    def _run(self, op: "_Op[T]", cancel: Optional[CancelHandle] = None) -> T:
        """Runs `op` with a cancel handle that cancel() triggers; frees a handle it made."""
        own = cancel is None
        handle = CancelHandle() if cancel is None else cancel
        with self._lock:
            self._client()
            self._running.add(handle)
            self._active += 1
        try:
            return op(handle.handle)
        finally:
            with self._lock:
                self._running.discard(handle)
                self._active -= 1
                self._lock.notify_all()
            if own:
                handle.free()

    async def _run_async(self, op: "_Op[T]") -> T:
        """Runs `op` on the loop's executor; a cancelled task cancels the call and waits for it."""
        loop = asyncio.get_running_loop()
        cancel = CancelHandle()
        future: "asyncio.Future[T]" = loop.run_in_executor(None, self._run, op, cancel)
        try:
            return await asyncio.shield(future)
        except asyncio.CancelledError:
            cancel.trigger()
            # The call returns promptly once triggered; its handle must outlive it.
            while not future.done():
                try:
                    await asyncio.wait([future])
                except asyncio.CancelledError:
                    pass
            if not future.cancelled() and future.exception() is None:
                _wipe_result(future.result())
            raise
        finally:
            if future.done():
                cancel.free()

    def cancel(self) -> None:
        """Ends every blocking call in progress on this client with Cancelled. Any thread."""
        with self._lock:
            for cancel in self._running:
                cancel.trigger()

    # ---- the operations ----

    def _authorize(self) -> "_Op[Grant]":
        def op(cancel: c_void_p) -> Grant:
            out = c_void_p()
            call("tessaro_client_authorize", self._client(), cancel, byref(out))
            return Grant.from_json(json.loads(take_text(out) or "null"))

        return op

    def _revoke(self) -> "_Op[None]":
        return lambda cancel: call("tessaro_client_revoke", self._client(), cancel)

    def _read(self, function: str, *args: Optional[bytes]) -> "_Op[Item]":
        def op(cancel: c_void_p) -> Item:
            out, secret = c_void_p(), ctypes.POINTER(_native.tessaro_secret)()
            try:
                call(function, self._client(), *args, cancel, byref(out), byref(secret))
            finally:
                password = take_secret(secret)
            return Item.from_json(json.loads(take_text(out) or "null"), password)

        return op

    def _pick(self, hint: Any, reason: Any, vault_id: Any) -> "_Op[Item]":
        return self._read(
            "tessaro_client_pick_item",
            _form("hint", hint),
            _str("reason", reason, optional=True),
            _str("vault_id", vault_id, optional=True),
        )

    def _get(self, id: Any, vault_id: Any) -> "_Op[Item]":
        return self._read("tessaro_client_get_item", _str("id", id), _str("vault_id", vault_id))

    def _create(self, kind: Any, prefill: Any, reason: Any, vault_id: Any) -> "_Op[Created]":
        args = (
            _str("kind", kind, optional=True),
            _form("prefill", prefill),
            _str("reason", reason, optional=True),
            _str("vault_id", vault_id, optional=True),
        )

        def op(cancel: c_void_p) -> Created:
            out, secret = c_void_p(), ctypes.POINTER(_native.tessaro_secret)()
            try:
                call("tessaro_client_create_item", self._client(), *args, cancel, byref(out), byref(secret))
            finally:
                password = take_secret(secret)
            return Created.from_json(json.loads(take_text(out) or "null"), password)

        return op

    def _update(self, id: Any, vault_id: Any, patch: Any, reason: Any) -> "_Op[Updated]":
        args = (
            _str("id", id),
            _str("vault_id", vault_id),
            _form("patch", patch, optional=False),
            _str("reason", reason, optional=True),
        )

        def op(cancel: c_void_p) -> Updated:
            out = c_void_p()
            call("tessaro_client_update_item", self._client(), *args, cancel, byref(out))
            return Updated.from_json(json.loads(take_text(out) or "null"))

        return op

    def authorize(self) -> Grant:
        """Opens the password-manager application and stores the grant the user gives. Blocks."""
        return self._run(self._authorize())

    def revoke(self) -> None:
        """Revokes the grant on the server and wipes the stored session. Blocks."""
        self._run(self._revoke())

    def pick_item(
        self,
        hint: Optional[Mapping[str, str]] = None,
        reason: Optional[str] = None,
        vault_id: Optional[str] = None,
    ) -> Item:
        """Lets the user pick an item; ``hint`` is {"url"?, "title"?, "kind"?}. Blocks."""
        return self._run(self._pick(hint, reason, vault_id))

    def get_item(self, id: str, vault_id: str) -> Item:
        """Reads the item ``id`` of vault ``vault_id`` once the user approves. Blocks."""
        return self._run(self._get(id, vault_id))

    def create_item(
        self,
        kind: Optional[str] = None,
        prefill: Optional[Mapping[str, Any]] = None,
        reason: Optional[str] = None,
        vault_id: Optional[str] = None,
    ) -> Created:
        """Creates an item of ``kind`` (default "login") from the user's input. Blocks.

        ``prefill`` is {"title"?, "url"?, "username_hint"?, "extra_hint"?: {name: text}}.
        """
        return self._run(self._create(kind, prefill, reason, vault_id))

    def update_item(
        self, id: str, vault_id: str, patch: Mapping[str, Optional[str]], reason: Optional[str] = None
    ) -> Updated:
        """Changes fields of an item ({"password": ..., "notes": ...}) once the user approves. Blocks."""
        return self._run(self._update(id, vault_id, patch, reason))

    async def authorize_async(self) -> Grant:
        """authorize() on the loop's executor; cancelling the task cancels the authorization."""
        return await self._run_async(self._authorize())

    async def revoke_async(self) -> None:
        """revoke() on the loop's executor."""
        await self._run_async(self._revoke())

    async def pick_item_async(
        self,
        hint: Optional[Mapping[str, str]] = None,
        reason: Optional[str] = None,
        vault_id: Optional[str] = None,
    ) -> Item:
        """pick_item() on the loop's executor; cancelling the task cancels the request."""
        return await self._run_async(self._pick(hint, reason, vault_id))

    async def get_item_async(self, id: str, vault_id: str) -> Item:
        """get_item() on the loop's executor; cancelling the task cancels the request."""
        return await self._run_async(self._get(id, vault_id))

    async def create_item_async(
        self,
        kind: Optional[str] = None,
        prefill: Optional[Mapping[str, Any]] = None,
        reason: Optional[str] = None,
        vault_id: Optional[str] = None,
    ) -> Created:
        """create_item() on the loop's executor; cancelling the task cancels the request."""
        return await self._run_async(self._create(kind, prefill, reason, vault_id))

    async def update_item_async(
        self, id: str, vault_id: str, patch: Mapping[str, Optional[str]], reason: Optional[str] = None
    ) -> Updated:
        """update_item() on the loop's executor; cancelling the task cancels the request."""
        return await self._run_async(self._update(id, vault_id, patch, reason))

    # ---- the session ----

    @property
    def is_authorized(self) -> bool:
        """Whether a session is stored. Blocks on the store."""
        authorized = c_bool()
        self._call("tessaro_client_is_authorized", byref(authorized))
        return authorized.value

    @property
    def grant(self) -> Optional[Grant]:
        """The stored grant, None without one. Blocks on the store."""
        out = c_void_p()
        self._call("tessaro_client_grant", byref(out))
        text = take_text(out)
        return Grant.from_json(json.loads(text)) if text is not None else None

    def reset(self) -> None:
        """Wipes the stored session. Blocks on the store."""
        self._call("tessaro_client_reset")

    async def is_authorized_async(self) -> bool:
        """is_authorized on the loop's executor (the store may wait for an unlock prompt). Cancelling
        the task does not stop the store read."""
        return await asyncio.get_running_loop().run_in_executor(None, lambda: self.is_authorized)

    async def grant_async(self) -> Optional[Grant]:
        """grant on the loop's executor; as is_authorized_async."""
        return await asyncio.get_running_loop().run_in_executor(None, lambda: self.grant)

    async def reset_async(self) -> None:
        """reset() on the loop's executor; as is_authorized_async."""
        await asyncio.get_running_loop().run_in_executor(None, self.reset)

    def retry_open(self) -> None:
        """Opens the current flow's URL again; ProtocolError "nothing_pending" without one."""
        self._run(lambda cancel: call("tessaro_client_retry_open", self._client(), cancel))

    def handle_callback(self, url: str) -> bool:
        """Hands a callback URL the desktop opened in the host to the waiting flow; whether taken."""
        taken = c_bool()
        self._call("tessaro_client_handle_callback", _str("url", url), byref(taken))
        return taken.value

    def application_did_become_active(self) -> None:
        """Tells the client the host's window was activated, so a waiting request reads its status."""
        self._call("tessaro_client_application_did_become_active")

    def drain(self, timeout: float = 5.0) -> bool:
        """Waits up to ``timeout`` seconds for background work; whether none is left."""
        idle = c_bool()
        milliseconds = int(_seconds("timeout", timeout) * 1000)
        self._call("tessaro_client_drain", max(0, min(milliseconds, 2**32 - 1)), byref(idle))
        return idle.value


def _wipe_result(result: Any) -> None:
    """Wipes the password of a result nobody will receive (its task was cancelled)."""
    item = getattr(result, "item", result)
    password = getattr(item, "password", None)
    if password is not None:
        password.wipe()
