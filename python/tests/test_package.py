"""What needs no sandbox: the secret type, refused input, loading the library, the version."""

import asyncio
import os
import pickle
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import ROOT

import tessaro


def test_secret_is_wiped() -> None:
    secret = tessaro.Secret(bytearray("pässwörd".encode()))
    buffer = secret._data
    assert secret.reveal() == "pässwörd" and len(secret) == len("pässwörd".encode())
    assert "päss" not in repr(secret)
    with pytest.raises(TypeError):
        pickle.dumps(secret)
    with secret as held:
        assert held.reveal() == "pässwörd"
    assert secret.wiped and buffer == bytearray(len(buffer)) and secret._data is buffer
    with pytest.raises(ValueError):
        secret.reveal()


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.pick_item("https://bank.example"),
        lambda c: c.pick_item(reason=b"bytes"),
        lambda c: c.get_item(5, "vlt_personal"),
        lambda c: c.get_item("itm_bank", None),
        lambda c: c.update_item("itm_bank", "vlt_personal", [("notes", "x")]),
        lambda c: c.update_item("itm_bank", "vlt_personal", {"notes": 5}),
        lambda c: c.update_item("itm_bank", "vlt_personal", {1: "x"}),
        lambda c: c.create_item(kind=1),
        lambda c: asyncio.run(c.pick_item_async(vault_id=7)),
    ],
)
def test_bad_input_raises_type_error(call) -> None:
    with tessaro.Client("http://127.0.0.1:9", "pmc_pytest", store="memory") as client:
        with pytest.raises(TypeError):
            call(client)


def test_bad_client_arguments() -> None:
    with pytest.raises(TypeError):
        tessaro.Client(b"http://127.0.0.1:9", "pmc_pytest")  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="store"):
        tessaro.Client("http://127.0.0.1:9", "pmc_pytest", store="disk")
    with pytest.raises(tessaro.InvalidArgument, match="origin"):
        tessaro.Client("not a URL", "pmc_pytest", store="memory")
    client = tessaro.Client("http://127.0.0.1:9", "pmc_pytest", store="memory")
    client.close()
    with pytest.raises(RuntimeError, match="closed"):
        client.pick_item()


def test_library_not_found() -> None:
    script = (
        "import tessaro\n"
        "try:\n"
        "    tessaro.Client('http://127.0.0.1:9', 'pmc_pytest')\n"
        "except ImportError as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    env = dict(os.environ, TESSARO_LIBRARY="/nonexistent/libtessaro-sdk.so.0.1", PYTHONPATH=str(ROOT / "python"))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True).stdout
    assert out.startswith("LibraryNotFound ") and "TESSARO_LIBRARY" in out and "/nonexistent/" in out


def test_version_matches_the_kit() -> None:
    cmake = (ROOT / "CMakeLists.txt").read_text()
    project = re.search(r"project\(TessaroSDK VERSION ([0-9.]+)", cmake)
    assert project is not None
    assert tessaro.__version__ == tessaro.library_version() == project.group(1)
    assert tessaro.SONAME == "libtessaro-sdk.so." + ".".join(project.group(1).split(".")[:2])
    assert Path(tessaro.__file__).with_name("py.typed").exists()
