"""The README's complete example: shown verbatim in docs/integrating.md, and it runs."""

import os
import re
import subprocess
import sys
from pathlib import Path

from conftest import ROOT


def test_example_is_the_guides_and_runs(tmp_path: Path) -> None:
    readme = (ROOT / "python/README.md").read_text()
    guide = (ROOT / "docs/integrating.md").read_text()
    example = re.search(r"^## Example\n\n```python\n(.*?)^```$", readme, re.S | re.M)
    shown = re.search(r'^<!-- python/README.md, "Example", verbatim.*-->\n```python\n(.*?)^```$', guide, re.S | re.M)
    assert example is not None and shown is not None and shown.group(1) == example.group(1)

    # A desktop with no handler for tessaro:// and no session bus (so no stored grant): the example
    # gets as far as opening the password-manager application, which must fail with NotInstalled.
    script = tmp_path / "example.py"
    script.write_text(example.group(1))
    for folder in ("data", "config", "run"):
        (tmp_path / folder).mkdir(mode=0o700)
    env = {
        "PATH": os.environ["PATH"], "HOME": str(tmp_path), "PYTHONPATH": str(ROOT / "python"),
        "TESSARO_LIBRARY": os.environ["TESSARO_LIBRARY"], "XDG_DATA_HOME": str(tmp_path / "data"),
        "XDG_DATA_DIRS": str(tmp_path / "data"), "XDG_CONFIG_HOME": str(tmp_path / "config"),
        "XDG_CONFIG_DIRS": str(tmp_path / "config"), "XDG_RUNTIME_DIR": str(tmp_path / "run"),
        "DBUS_SESSION_BUS_ADDRESS": f"unix:path={tmp_path}/no-bus", "GIO_USE_VFS": "local",
    }
    run = subprocess.run([sys.executable, str(script)], env=env, capture_output=True, text=True, timeout=60)
    assert run.returncode == 1 and re.fullmatch(r"[^\n]+: https?://\S+\n", run.stderr), (run.returncode, run.stderr)
