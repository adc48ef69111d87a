"""Kill points: a writing process killed at random moments loses no acknowledged write."""

import os

from crash_campaign import run_campaign

KILLS = int(os.environ.get("NORVEX_CRASH_KILLS", "200"))
SEED = int(os.environ.get("NORVEX_CRASH_SEED", "20261210"))


def test_no_acknowledged_write_is_lost_across_kill_points(tmp_path):
    stats = run_campaign(KILLS, seed=SEED, workdir=str(tmp_path))
    assert not stats.failures, "\n".join(stats.failures[:10])
    assert stats.kill_points == KILLS
    # The campaign exercised what it claims: kills inside calls and during open.
    assert stats.kills_in_flight > KILLS // 4
    assert stats.kills_during_open > 0
    print(f"\n{stats.kill_points} kill points, {stats.acknowledged_writes} acknowledged writes, "
          f"{stats.records_checked} record checks, 0 lost")
