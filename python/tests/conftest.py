"""A tessaro-sandbox for the session and clients of it that open launch URLs through it."""

import os
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator

import pytest

ROOT = Path(__file__).resolve().parents[2]
SANDBOX = Path(os.environ.get("TESSARO_SANDBOX", ROOT / "build/asan/sandbox/tessaro-sandbox"))
os.environ.setdefault("TESSARO_LIBRARY", str(ROOT / "build/stage-shared/lib/libtessaro-sdk.so.0.1"))
sys.path.insert(0, str(ROOT / "python"))

import tessaro  # noqa: E402

CLIENT_ID = "pmc_pytest"
BANK = {"url": "https://bank.example"}


class Sandbox:
    """A running tessaro-sandbox: its origin, its event log and its policy command."""

    def __init__(self, log: Path, port: int = 0) -> None:
        self.log = log
        self.process = subprocess.Popen(
            [str(SANDBOX), "serve", "--no-state-file", f"--port={port}", "--step=0.1", "--request-lifetime=15",
             f"--client={CLIENT_ID}=http://127.0.0.1/tessaro/callback"],
            stdout=subprocess.PIPE, stderr=log.open("w"), text=True,
        )
        self.origin = ""
        assert self.process.stdout is not None
        for line in self.process.stdout:
            if line.startswith("TESSARO_SANDBOX_ORIGIN="):
                self.origin = line.strip().split("=", 1)[1]
            if line.startswith("TESSARO_SANDBOX_CLIENT_ID="):
                break
        if not self.origin.startswith("http://127.0.0.1:"):
            raise RuntimeError(f"{SANDBOX} did not start: {log.read_text()}")

    def run(self, *args: str) -> int:
        return subprocess.run([str(SANDBOX), *args, "--origin", self.origin], stdout=subprocess.DEVNULL).returncode

    def policy(self, decision: str = "approve", *more: str) -> None:
        assert self.run("policy", "--decision", decision, "--delay", "0", *more) == 0

    def open(self, url: str) -> bool:
        return self.run("open", url) == 0

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait()

    def wait_for_log(self, text: str, seconds: float = 5.0) -> bool:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if text in self.log.read_text():
                return True
            time.sleep(0.05)
        return False


@pytest.fixture(scope="session")
def sandbox(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Sandbox]:
    if not SANDBOX.exists() or not Path(os.environ["TESSARO_LIBRARY"]).exists():
        pytest.exit(f"needs {SANDBOX} (TESSARO_SANDBOX) and {os.environ['TESSARO_LIBRARY']} (TESSARO_LIBRARY)", 2)
    running = Sandbox(tmp_path_factory.mktemp("sandbox") / "events.log")
    yield running
    running.stop()


@pytest.fixture
def client(sandbox: Sandbox) -> Iterator[tessaro.Client]:
    sandbox.policy("approve", "--update", "apply")
    with tessaro.Client(sandbox.origin, CLIENT_ID, store="memory", opener=sandbox.open, poll_interval=0.05) as made:
        yield made


@pytest.fixture
def authorized(client: tessaro.Client) -> tessaro.Client:
    client.authorize()
    return client
