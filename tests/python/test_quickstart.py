"""The quickstart example runs to the end and shows what it promises."""

import subprocess
import sys
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "quickstart.py"


def test_quickstart_runs(tmp_path):
    result = subprocess.run([sys.executable, str(EXAMPLE), str(tmp_path)], capture_output=True,
                            text=True, timeout=120, check=False)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "Inserted 5000 articles" in out
    assert "the approximate search agrees: True" in out
    assert "article-0042 is now featured: True" in out
    assert "deleted article-0001: True" in out
    assert "article-0001 still there? False" in out
    assert (tmp_path / "articles" / "manifest.json").is_file()
