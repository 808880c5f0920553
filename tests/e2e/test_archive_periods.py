"""Archive periods whatever the ticks do: ticks held just short of a period start, where late
ticks cross it; ticks held up by a stopped program; a program stopped and started again at once.
Every period a tick fell in has its row, with a value read in it (or within the slack of its
boundary when no tick fell in it), and no parameter has two rows at one time. The device's
registers count the reads, so that a row's value tells the tick it was read at."""

import os
import signal
import time

import pytest

from archive_support import Sampler, configure_run, doubled, local_text, period_faults
from korvalen import wait_until
from test_polling import stop

NEAR_MS = 25  # ticks this close to a period start sit at it
AIM_MS = 4  # aimed at this much short of a period start, where late ticks cross it
DEADLINE_S = 600  # for the starts until a run keeps its ticks there; each run lasts a minute
COUNTING = 8000  # the fault peer's registers from here hold the number of reads before


def _period_ms(text):
    return int(time.mktime(time.strptime(text, "%Y-%m-%d %H:%M:%S"))) * 1000


def _phase(t, poll_ms):
    """Distance of a tick from the nearest period start."""
    return min(t % poll_ms, poll_ms - t % poll_ms)


def _faults(p, sampler, interval_ms, poll_ms):
    """{idParameter: what breaks the promises} over the run's rows and the reads seen."""
    rows = {}
    for pid, text, value, flag in p.query("SELECT idParameter, dateTime, value, flag FROM "
                                          "ArchiveData WHERE flag <> 6"):
        rows.setdefault(pid, []).append((_period_ms(text), value, flag))
    ticks = {}
    values = {}
    for pid, t, flag in list(sampler.samples):
        ticks.setdefault(pid, set()).add(t)
        if flag == 0:
            values.setdefault(pid, {})[t] = sampler.values[(pid, t)]
    faults = {pid: period_faults(ticks.get(pid, ()), values.get(pid, {}), rows.get(pid, []),
                                 interval_ms, poll_ms)
              for pid in set(rows) | set(ticks)}
    return {pid: f for pid, f in faults.items() if f}


@pytest.mark.parametrize("poll_ms", [1000, 2000])
def test_ticks_at_a_period_start_give_every_period_one_row(program_factory, faults, poll_ms):
    p = program_factory().start().started()
    configure_run(p, faults.port, 20, poll_ms // 1000, poll_ms=poll_ms, start_with_program=True,
                  first_address=COUNTING)
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
            first = min(t for _, t, _ in sampler.wait_for(lambda s: s[2] == 0, timeout=60))
            phases.append(first % poll_ms)
            offset = (first - started_at) % poll_ms
            if not poll_ms - 3 * AIM_MS <= first % poll_ms < poll_ms:
                assert p.stop() == 0
                p.query("DELETE FROM ArchiveData")
                continue
            wait_until(lambda: max(t for _, t, _ in sampler.samples) - first >= 60000, timeout=180)
            stop(p, timeout=60)
        # Whatever the ticks did, every run keeps the promises.
        assert not doubled(p)
        assert _faults(p, sampler, poll_ms, poll_ms) == {}
        ticks = sorted({t for _, t, _ in sampler.samples})
        if len([t for t in ticks if _phase(t, poll_ms) <= NEAR_MS]) < 0.9 * len(ticks):
            drifted.append([t % poll_ms for t in ticks])
            assert p.stop() == 0
            p.query("DELETE FROM ArchiveData")
            continue
        assert len({pid for pid, _, _ in sampler.samples}) == 20
        return
    pytest.fail(f"the ticks never stayed just short of a period start: phases {phases}, "
                f"phases of the runs that drifted {drifted}")


def _sleep_until(ms):
    time.sleep(max(0.0, ms / 1000 - time.time()))


@pytest.mark.parametrize("poll_ms", [1000, 3000])
def test_a_stalled_tick_keeps_its_own_period(program_factory, faults, poll_ms):
    """The program stopped (SIGSTOP) from just before a tick until 25 ms before the next period
    start: the late tick falls in the period it was due in and must be that period's row, not
    the next one's; the tick after it keeps its own period."""
    interval_ms = 1000
    period = max(interval_ms, poll_ms)
    slack = poll_ms // 20
    p = program_factory().start().started()
    configure_run(p, faults.port, 1, interval_ms // 1000, poll_ms=poll_ms, start_with_program=True,
                  first_address=COUNTING)
    assert p.stop() == 0
    p = program_factory(write_cfg=False).start().started()
    late = []  # stalled ticks that came within the slack short of a period start
    lags = []  # from the SIGCONT to the late tick: a busy machine takes its time
    with Sampler(p) as sampler:
        sampler.wait_for(lambda s: s[2] == 0, timeout=60)
        deadline = time.monotonic() + 300
        # Stalls until three late ticks landed where the case lies, each resumed earlier by the
        # lag seen so far.
        while len(late) < 3:
            assert time.monotonic() < deadline, f"late ticks {late}, lags {lags}"
            lag = sorted(lags)[len(lags) // 2] if lags else 0
            last = max(t for _, t, _ in sampler.samples)
            due = last + poll_ms
            while due < time.time() * 1000 + 200:
                due += poll_ms
            resume = due - due % period + period - 25 - lag
            if resume - due < 100:  # too close to tell from a tick on time
                due += poll_ms
                resume = due - due % period + period - 25 - lag
            _sleep_until(due - 30)
            os.kill(p.proc.pid, signal.SIGSTOP)
            try:
                _sleep_until(resume)
            finally:
                resumed = time.time() * 1000
                os.kill(p.proc.pid, signal.SIGCONT)
            stalled = sampler.wait_for(lambda s: s[1] > due - 30, timeout=60)
            t = min(s[1] for s in stalled)
            lags.append(max(0, int(t - resumed)))
            if period - slack <= t % period < period:
                late.append(t)
            # A tick on time after it, before the next stall.
            sampler.wait_for(lambda s: s[1] > t, timeout=60)
        stop(p, timeout=60)
    assert not doubled(p)
    assert _faults(p, sampler, interval_ms, poll_ms) == {}


def test_a_program_started_again_at_once_archives_no_time_twice(program_factory, tcp):
    """Each stop stamps its session breaks a second after it; the next start's first tick in
    that second archives nothing there."""
    p = program_factory().start().started()
    configure_run(p, tcp.port, 20, 1, start_with_program=True)
    assert p.stop() == 0
    breaks_met = 0
    deadline = time.monotonic() + 300
    p = program_factory(write_cfg=False).start().started()
    while breaks_met < 3:
        assert time.monotonic() < deadline, f"{breaks_met} starts ticked in a break's second"
        wait_until(lambda: p.query("SELECT COUNT(*) FROM ArchiveData WHERE flag = 0")[0][0] > 0,
                   timeout=60)
        # Stopped just after a second's start, so that a quick start ticks in the break's second.
        _sleep_until(time.time() * 1000 // 1000 * 1000 + 1020)
        assert p.stop() == 0
        breaks = {t for (t,) in p.query("SELECT dateTime FROM ArchiveData WHERE flag = 6")}
        p = program_factory(write_cfg=False).start().started()
        with Sampler(p) as sampler:
            first = min(t for _, t, _ in sampler.wait_for(lambda s: s[2] == 0, timeout=60))
        # Rows are written in the order they were queued: one of a later second means the first
        # tick's row, had there been one, is stored too.
        later = local_text(first + 1000)
        wait_until(lambda: p.query("SELECT COUNT(*) FROM ArchiveData WHERE flag = 0 AND "
                                   "dateTime >= ?", (later,))[0][0] > 0, timeout=60)
        if local_text(first) in breaks:
            breaks_met += 1
        assert not doubled(p)
    assert p.stop() == 0
    assert not doubled(p)
