#!/usr/bin/env python3
"""One pick_item through tessaro.Client against the same call made directly through ctypes.

Both run in this process on one client, against a spawned tessaro-sandbox whose simulated user
approves at once, and open launch URLs through the same opener (POST /sandbox/open). The direct
call is tessaro_client_pick_item with a ready JSON hint, its outputs freed unread; the package adds
the argument checks, the hint's JSON, a cancel handle, the item's dataclass and the password's
Secret. Repetitions alternate between the two; the median of the per-repetition ratios (Python
to ctypes) is the cost of the package's layer.

Run: python3 bench/python_bench.py [--repetitions N] [--picks N]
(TESSARO_LIBRARY and TESSARO_SANDBOX as for python/tests: by default the shared stage and the
sandbox of the asan preset.)
"""

import argparse
import ctypes
import os
import statistics
import subprocess
import sys
import time
import urllib.request
from ctypes import byref, c_void_p
from pathlib import Path
from typing import Callable, List

ROOT = Path(__file__).resolve().parents[1]
SANDBOX = Path(os.environ.get("TESSARO_SANDBOX", ROOT / "build/asan/sandbox/tessaro-sandbox"))
os.environ.setdefault("TESSARO_LIBRARY", str(ROOT / "build/stage-shared/lib/libtessaro-sdk.so.0.1"))
sys.path.insert(0, str(ROOT / "python"))

import tessaro  # noqa: E402
from tessaro import _native  # noqa: E402

CLIENT_ID = "pmc_pybench"
HINT = {"url": "https://bank.example"}


def start_sandbox() -> "tuple[subprocess.Popen[str], str]":
    process = subprocess.Popen(
        [str(SANDBOX), "serve", "--no-state-file", "--quiet", "--port=0", "--step=0", "--delay=0",
         f"--client={CLIENT_ID}=http://127.0.0.1/tessaro/callback"],
        stdout=subprocess.PIPE, text=True,
    )
    assert process.stdout is not None
    for line in process.stdout:
        if line.startswith("TESSARO_SANDBOX_ORIGIN="):
            return process, line.strip().split("=", 1)[1]
    raise RuntimeError(f"{SANDBOX} did not start")


def opener(origin: str) -> Callable[[str], bool]:
    def open_url(url: str) -> bool:
        request = urllib.request.Request(f"{origin}/sandbox/open", data=url.encode(), method="POST")
        with urllib.request.urlopen(request, timeout=10) as response:
            return bool(response.status == 202)

    return open_url


def through_package(client: tessaro.Client) -> None:
    item = client.pick_item(HINT)
    assert item.password is not None
    item.password.wipe()


def through_ctypes(client: tessaro.Client) -> None:
    lib = _native.lib()
    out, secret, error = c_void_p(), ctypes.POINTER(_native.tessaro_secret)(), c_void_p()
    status = lib.tessaro_client_pick_item(
        client._handle, b'{"url": "https://bank.example"}', None, None, None,
        byref(out), byref(secret), byref(error),
    )
    if status != 0:
        lib.tessaro_error_free(error)
        raise RuntimeError(f"tessaro_client_pick_item: {lib.tessaro_status_name(status).decode()}")
    lib.tessaro_free(out)
    lib.tessaro_free_secret(secret)


def seconds_per_pick(pick: Callable[[tessaro.Client], None], client: tessaro.Client, picks: int) -> float:
    start = time.perf_counter()
    for _ in range(picks):
        pick(client)
    return (time.perf_counter() - start) / picks


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repetitions", type=int, default=21)
    parser.add_argument("--picks", type=int, default=200, help="picks per repetition and path")
    args = parser.parse_args()
    if not SANDBOX.exists() or not Path(os.environ["TESSARO_LIBRARY"]).exists():
        print(f"needs {SANDBOX} (TESSARO_SANDBOX) and {os.environ['TESSARO_LIBRARY']} (TESSARO_LIBRARY)",
              file=sys.stderr)
        return 2
    process, origin = start_sandbox()
    try:
        with tessaro.Client(origin, CLIENT_ID, store="memory", opener=opener(origin), poll_interval=0.01) as client:
            client.authorize()
            # Warm up both paths (connections, the sandbox's first requests) before measuring.
            seconds_per_pick(through_package, client, 3)
            seconds_per_pick(through_ctypes, client, 3)
            package: List[float] = []
            direct: List[float] = []
            for repetition in range(args.repetitions):
                # Alternate which path goes first, so that drift in the machine's load hits both.
                order = [(through_package, package), (through_ctypes, direct)]
                for pick, times in order if repetition % 2 == 0 else reversed(order):
                    times.append(seconds_per_pick(pick, client, args.picks))
    finally:
        process.terminate()
        process.wait()
    ratios = [p / d for p, d in zip(package, direct)]
    print(f"pick_item through tessaro.Client: median {statistics.median(package) * 1e3:.3f} ms")
    print(f"tessaro_client_pick_item via ctypes: median {statistics.median(direct) * 1e3:.3f} ms")
    print(f"the package's layer: {(statistics.median(package) - statistics.median(direct)) * 1e6:.0f} µs per pick")
    print(f"ratio (Python package / direct ctypes), median of {len(ratios)} interleaved repetitions: "
          f"{statistics.median(ratios):.3f} (min {min(ratios):.3f}, max {max(ratios):.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
