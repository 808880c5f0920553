"""A slow archive period: the row of a minute reaches the database within seconds, not when
more rows have come together, so a kill soon after it loses nothing."""

import random
import time

from archive_support import Sampler, archive_gaps, archived, configure_run, doubled
from korvalen import wait_until

POLL_MS = 1000


def test_kill_9_after_a_minute_row_of_two_parameters(program_factory, tcp):
    p = program_factory().start().started()
    ids = configure_run(p, tcp.port, 2, 60, start_with_program=True)
    assert p.stop() == 0
    p = program_factory(write_cfg=False).start().started()
    with Sampler(p) as sampler:
        # The tick in the first second of a minute is the one archived; its period is due once
        # that tick (and, for one held back at the boundary, the next) has been seen. The kill
        # comes 2.5-4.5 s after that, counted from when it was seen, not from the tick's stamp:
        # on a busy machine a tick can show up late.
        wait_until(lambda: {pid for pid, _ in archive_gaps(sampler.samples, set(), 60000, POLL_MS,
                                                           time.time() * 1000)[0]} == set(ids.values()),
                   timeout=75)
        time.sleep(random.uniform(2.5, 4.5))
        killed_at = time.time() * 1000
        p.kill()
    assert p.query("PRAGMA integrity_check") == [("ok",)]
    due, missing = archive_gaps(sampler.samples, archived(p), 60000, POLL_MS, killed_at - 2000)
    assert {pid for pid, _ in due} == set(ids.values())
    assert not missing
    assert not doubled(p)
