"""Damaged database directories open cleanly or fail with an ordinary exception."""

import os

from damage_campaign import run_campaign

CASES = int(os.environ.get("NORVEX_DAMAGE_CASES", "300"))


def test_damaged_directories_never_crash_or_hang(tmp_path):
    failures = run_campaign(CASES, seed=20261210, workdir=str(tmp_path))
    assert not failures, "\n".join(failures[:10])
