"""The records the kit returns, built from its JSON forms."""

from dataclasses import dataclass, field
from typing import Any, Dict, Mapping, Optional, Tuple

from ._secret import Secret


@dataclass(frozen=True)
class Vault:
    """A vault the grant covers; ``mode`` 1 may be written, 2 is read-only."""

    id: str
    name: Optional[str]
    kind: Optional[str]
    mode: int

    @classmethod
    def from_json(cls, form: Mapping[str, Any]) -> "Vault":
        return cls(form["id"], form["name"], form["kind"], form["mode"])


@dataclass(frozen=True)
class Grant:
    """What an authorization granted."""

    grant_id: str
    account_id: str
    vaults: Tuple[Vault, ...]
    approval_key_fingerprint: str

    @classmethod
    def from_json(cls, form: Mapping[str, Any]) -> "Grant":
        return cls(
            form["grant_id"],
            form["account_id"],
            tuple(Vault.from_json(v) for v in form["vaults"]),
            form["approval_key_fingerprint"],
        )


@dataclass(frozen=True)
class Item:
    """An item with its password as a Secret (None when the call did not ask for it)."""

    id: str
    revision: int
    title: str
    username: str
    password: Optional[Secret] = field(repr=False)
    url: str
    notes: str
    kind: str
    kind_raw: str
    extra: Mapping[str, str]
    updated_at: str

    @classmethod
    def from_json(cls, form: Mapping[str, Any], password: Optional[Secret]) -> "Item":
        return cls(
            form["id"],
            form["revision"],
            form["title"],
            form["username"],
            password,
            form["url"],
            form["notes"],
            form["kind"],
            form["kind_raw"],
            dict(form["extra"]),
            form["updated_at"],
        )


@dataclass(frozen=True)
class ItemSummary:
    """What comes back of a created item the grant cannot read."""

    id: str
    title: str
    url: str
    kind: str

    @classmethod
    def from_json(cls, form: Mapping[str, Any]) -> "ItemSummary":
        return cls(form["id"], form["title"], form["url"], form["kind"])


@dataclass(frozen=True)
class Created:
    """A created item: ``item`` when it came back with contents, else at most ``summary``."""

    request_id: str
    saved_out_of_scope: bool
    item: Optional[Item]
    summary: Optional[ItemSummary]

    @classmethod
    def from_json(cls, form: Mapping[str, Any], password: Optional[Secret]) -> "Created":
        item, summary = form["item"], form["summary"]
        return cls(
            form["request_id"],
            form["saved_out_of_scope"],
            Item.from_json(item, password) if item is not None else None,
            ItemSummary.from_json(summary) if summary is not None else None,
        )


@dataclass(frozen=True)
class Updated:
    """An applied update: the item's new revision."""

    request_id: str
    item_id: str
    revision: int

    @classmethod
    def from_json(cls, form: Mapping[str, Any]) -> "Updated":
        return cls(form["request_id"], form["item_id"], form["revision"])


@dataclass(frozen=True)
class Waiting:
    """A wait on the user; ``message`` is the text to show. ``phase`` is "authorize" or "request"."""

    phase: str
    message: str
    op: Optional[str] = None
    request_id: Optional[str] = None
    waiting_on: Optional[str] = None
    waiting_reason: Optional[str] = None
    expires_at: Optional[float] = None

    @classmethod
    def from_json(cls, form: Dict[str, Any]) -> "Waiting":
        return cls(
            form["phase"],
            form["message"],
            form.get("op"),
            form.get("request_id"),
            form.get("waiting_on"),
            form.get("waiting_reason"),
            form.get("expires_at"),
        )
