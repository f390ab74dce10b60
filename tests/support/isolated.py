"""Code run in a fresh interpreter, so that a crash or an import-time patch ends with that
process and not with the test run."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    """Runs `code` with this interpreter; the repository root is importable (bench, tests)."""
    path = os.pathsep.join(filter(None, [str(REPO_ROOT), os.environ.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=600, cwd=REPO_ROOT, env=dict(os.environ, PYTHONPATH=path))


def last_line(code: str) -> str:
    """The last line `code` printed; fails with the process's output if it did not exit cleanly."""
    result = run_python(code)
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout.strip().splitlines()[-1]
