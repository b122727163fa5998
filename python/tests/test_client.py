"""The client against the sandbox: the item flow, an exception per failure, cancels."""

import asyncio
import threading
import time
from typing import List, Optional

import pytest
from conftest import BANK, CLIENT_ID, Sandbox

import tessaro


def test_item_flow(client: tessaro.Client) -> None:
    assert not client.is_authorized and client.grant is None
    grant = client.authorize()
    assert client.is_authorized and client.grant == grant
    assert "vlt_personal" in [v.id for v in grant.vaults] and grant.vaults[0].mode in (1, 2)

    item = client.pick_item(BANK, reason="pytest")
    assert (item.id, item.kind, item.extra["login_url"]) == ("itm_bank", "login", "https://bank.example/login")
    again = client.get_item("itm_bank", "vlt_personal")
    assert again.password is not None and item.password is not None
    password = item.password.reveal()
    assert again.password.reveal() == password and password.isprintable() and password.strip()
    assert "itm_bank" in repr(item) and password not in repr(item)

    created = client.create_item("login", {"title": "From Python", "url": "https://py.example"})
    assert created.item is not None and created.item.title == "From Python"
    assert created.item.password is not None and len(created.item.password) > 0
    assert created.summary is not None and created.summary.id == created.item.id

    updated = client.update_item("itm_bank", "vlt_personal", {"notes": "written from Python"})
    assert updated.item_id == "itm_bank" and updated.revision > item.revision
    assert client.get_item("itm_bank", "vlt_personal").notes == "written from Python"

    client.revoke()
    assert not client.is_authorized
    with pytest.raises(tessaro.NotAuthorized):
        client.pick_item()


@pytest.mark.parametrize(
    "policy, call, error",
    [
        (["deny"], lambda c: c.pick_item(BANK), tessaro.Denied),
        (["not-signed-in"], lambda c: c.get_item("itm_bank", "vlt_personal"), tessaro.NotSignedIn),
        (["approve", "--update", "conflict"], lambda c: c.update_item("itm_bank", "vlt_personal", {"notes": "x"}),
         tessaro.Conflict),
        (["approve"], lambda c: c.update_item("itm_bank", "vlt_personal", {}), tessaro.ProtocolError),
        (["approve"], lambda c: c.pick_item({"kind": "spaceship"}), tessaro.InvalidArgument),
    ],
)
def test_failures_raise_their_class(sandbox: Sandbox, authorized: tessaro.Client, policy, call, error) -> None:
    sandbox.policy(*policy)
    with pytest.raises(error) as caught:
        call(authorized)
    e = caught.value
    assert isinstance(e, tessaro.Error) and e.status == error.status and e.code == error.code and e.message
    assert e.download_url is None
    assert (e.protocol_code == "empty_patch") == (error is tessaro.ProtocolError)
    assert isinstance(e, ValueError) == (error is tessaro.InvalidArgument)


def test_authorization_failures(sandbox: Sandbox) -> None:
    refuse = tessaro.Client(sandbox.origin, CLIENT_ID, store="memory", opener=lambda url: False, authorize_timeout=5)
    with refuse as client:
        with pytest.raises(tessaro.NotInstalled) as caught:
            client.authorize()
        assert caught.value.download_url and caught.value.download_url.startswith("http")
    sandbox.policy("never")
    with tessaro.Client(sandbox.origin, CLIENT_ID, store="memory", opener=sandbox.open, authorize_timeout=0.5) as c:
        with pytest.raises(tessaro.Expired):
            c.authorize()
    with pytest.raises(tessaro.InvalidArgument, match="finite"):
        tessaro.Client(sandbox.origin, CLIENT_ID, store="memory", poll_interval=-1)


def test_a_server_gone_then_replaced(tmp_path) -> None:
    # A grant from a server that stops answering (NetworkError), then from one on the same address
    # that never issued it: its token is refused, the grant counts as revoked.
    first = Sandbox(tmp_path / "first.log")
    port = int(first.origin.rsplit(":", 1)[1])
    with tessaro.Client(first.origin, CLIENT_ID, store="memory", opener=first.open, poll_interval=0.05) as c:
        c.authorize()
        first.stop()
        with pytest.raises(tessaro.NetworkError):
            c.pick_item(BANK)
        second = Sandbox(tmp_path / "second.log", port)
        try:
            with pytest.raises(tessaro.Revoked):
                c.pick_item(BANK)
        finally:
            second.stop()


class Waits:
    """What on_waiting reported: the request's ID, set once a request waits on the user."""

    def __init__(self) -> None:
        self.request = threading.Event()
        self.request_id: Optional[str] = None
        self.reports: List[Optional[tessaro.Waiting]] = []

    def __call__(self, waiting: Optional[tessaro.Waiting]) -> None:
        self.reports.append(waiting)
        if waiting is not None and waiting.phase == "request" and waiting.message:
            self.request_id = waiting.request_id
            self.request.set()

    def polling(self, sandbox: Sandbox) -> bool:
        """Whether a request now waits on the sandbox's user (a cancel from here on, the launch
        included, is told to the server)."""
        return self.request.wait(10)


def test_cancel_from_another_thread(sandbox: Sandbox, authorized: tessaro.Client) -> None:
    waits = Waits()
    authorized.on_waiting = waits
    sandbox.policy("never")
    cancelled_at: List[float] = []

    def cancel_when_waiting() -> None:
        if waits.polling(sandbox):
            cancelled_at.append(time.monotonic())
            authorized.cancel()

    thread = threading.Thread(target=cancel_when_waiting)
    thread.start()
    with pytest.raises(tessaro.Cancelled):
        authorized.pick_item(BANK)
    returned = time.monotonic()
    thread.join()
    assert cancelled_at and returned - cancelled_at[0] < 1.0
    assert waits.reports[-1] is None
    assert sandbox.wait_for_log(f"request {waits.request_id}: cancelled by the client")

    # close() during a call cancels it and frees the client only once the call has returned.
    waits.request.clear()
    outcome: List[BaseException] = []

    def get() -> None:
        try:
            authorized.get_item("itm_bank", "vlt_personal")
        except tessaro.Cancelled as e:
            outcome.append(e)

    thread = threading.Thread(target=get)
    thread.start()
    assert waits.polling(sandbox)
    authorized.close()
    thread.join(5)
    assert len(outcome) == 1 and not thread.is_alive()
    with pytest.raises(RuntimeError, match="closed"):
        authorized.pick_item()


def test_asyncio(sandbox: Sandbox, authorized: tessaro.Client) -> None:
    waits = Waits()

    async def main() -> None:
        assert await authorized.is_authorized_async() and await authorized.grant_async() == authorized.grant
        item = await authorized.pick_item_async(BANK)
        assert item.id == "itm_bank" and item.password is not None and item.password.reveal()
        sandbox.policy("never")
        authorized.on_waiting = waits
        task = asyncio.ensure_future(authorized.pick_item_async(BANK))
        loop = asyncio.get_running_loop()
        assert await loop.run_in_executor(None, waits.polling, sandbox)
        task.cancel()
        started = time.monotonic()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert time.monotonic() - started < 1.0

    asyncio.run(main())
    assert sandbox.wait_for_log(f"request {waits.request_id}: cancelled by the client")
    # The client is usable afterwards: the cancel ended only that request.
    sandbox.policy("approve")
    assert authorized.get_item("itm_bank", "vlt_personal").id == "itm_bank"
    asyncio.run(authorized.reset_async())
    assert authorized.grant is None
