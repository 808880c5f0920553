"""A slow archive period: the row of a minute reaches the database within seconds, not when
more rows have come together, so a kill soon after it loses nothing."""

import random
import time

from archive_support import Sampler, archive_gaps, archived, configure_run, doubled

POLL_MS = 1000


def test_kill_9_after_a_minute_row_of_two_parameters(program_factory, tcp):
    p = program_factory().start().started()
    ids = configure_run(p, tcp.port, 2, 60, start_with_program=True)
    assert p.stop() == 0
    p = program_factory(write_cfg=False).start().started()
    with Sampler(p) as sampler:
        # The tick in the first second of a minute is the one archived.
        due = sampler.wait_for(lambda s: s[2] == 0 and s[1] % 60000 < POLL_MS, timeout=75)
        tick = max(t for _, t, _ in due)
        time.sleep(max(0.0, (tick + random.uniform(2500, 4500)) / 1000 - time.time()))
        killed_at = time.time() * 1000
        p.kill()
    assert p.query("PRAGMA integrity_check") == [("ok",)]
    due, missing = archive_gaps(sampler.samples, archived(p), 60000, POLL_MS, killed_at - 2000)
    assert {pid for pid, _ in due} == set(ids.values())
    assert not missing
    assert not doubled(p)
