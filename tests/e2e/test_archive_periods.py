"""Archive periods as long as the poll interval, with the ticks held just short of a period
start, where late ticks cross it: over a minute every period the run ticks through has one row,
none missing, none twice."""

import time

import pytest

from archive_support import SUCCESS, Sampler, configure_run, doubled, expected_rows
from korvalen import wait_until

NEAR_MS = 25  # ticks this close to a period start sit at it
AIM_MS = 4  # aimed at this much short of a period start, where late ticks cross it
DEADLINE_S = 600  # for the starts until a run keeps its ticks there; each run lasts a minute


def _period_ms(text):
    return int(time.mktime(time.strptime(text, "%Y-%m-%d %H:%M:%S"))) * 1000


def _phase(t, poll_ms):
    """Distance of a tick from the nearest period start."""
    return min(t % poll_ms, poll_ms - t % poll_ms)


@pytest.mark.parametrize("poll_ms", [1000, 2000])
def test_ticks_at_a_period_start_give_every_period_one_row(program_factory, tcp, poll_ms):
    p = program_factory().start().started()
    configure_run(p, tcp.port, 20, poll_ms // 1000, poll_ms=poll_ms, start_with_program=True)
    assert p.stop() == 0
    # The ticks keep the phase of the program's start: start it again, timed by the offset seen
    # last time, until they sit just short of a period start. On a busy machine they may drift
    # away during the run: that run is not the case looked for, and the program starts again.
    phases = []
    drifted = []
    offset = None
    deadline = time.monotonic() + DEADLINE_S
    while time.monotonic() < deadline:
        if offset is not None:
            now = time.time() * 1000
            time.sleep(((-offset - AIM_MS - now) % poll_ms) / 1000)
        started_at = time.time() * 1000
        p = program_factory(write_cfg=False).start().started()
        with Sampler(p) as sampler:
            first = min(t for _, t, _ in sampler.wait_for(lambda s: s[2] == 0))
            phases.append(first % poll_ms)
            offset = (first - started_at) % poll_ms
            if not poll_ms - 3 * AIM_MS <= first % poll_ms < poll_ms:
                assert p.stop() == 0
                p.query("DELETE FROM ArchiveData")
                continue
            wait_until(lambda: max(t for _, t, _ in sampler.samples) - first >= 60000, timeout=120)
            assert p.api("stopPolling") == SUCCESS
            wait_until(lambda: p.api("getAppState") == '{"state":"idle"}', timeout=30)
        ticks = sorted({t for _, t, _ in sampler.samples})
        # Whatever the ticks did: no period twice, none the run ticked through without its row.
        rows = p.query("SELECT idParameter, dateTime FROM ArchiveData WHERE flag <> 6")
        assert not doubled(p)
        assert not expected_rows(sampler.samples, poll_ms, poll_ms, time.time() * 1000) - set(rows)
        if len([t for t in ticks if _phase(t, poll_ms) <= NEAR_MS]) < 0.9 * len(ticks):
            drifted.append([t % poll_ms for t in ticks])
            assert p.stop() == 0
            p.query("DELETE FROM ArchiveData")
            continue
        # Every tick is due: each gives a period of its own, none is dropped as a second row of
        # a period, and none leaves the next period without one. (Rows before the first tick
        # seen come from cycles before the sampler looked.)
        from_ms = ticks[0] - ticks[0] % poll_ms - poll_ms
        periods = {}
        for pid, text in rows:
            if _period_ms(text) >= from_ms:
                periods.setdefault(pid, set()).add(_period_ms(text))
        assert len(periods) == 20
        for pid, starts in periods.items():
            short = len(ticks) - len(starts)
            assert short <= 0, (pid, short, sorted(m % 100000 for m in starts)[:70],
                                [t % 100000 for t in ticks])
        return
    pytest.fail(f"the ticks never stayed just short of a period start: phases {phases}, "
                f"phases of the runs that drifted {drifted}")
