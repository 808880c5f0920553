import pytest

from korvalen import Program
from peers import PtyPair, rtu_peer, tcp_peer


@pytest.fixture
def program_factory(tmp_path):
    """Makes programs in directories under the test's own temporary directory and ends them."""
    started = []

    def make(name="app", **kwargs):
        p = Program(tmp_path / name, **kwargs)
        started.append(p)
        return p

    yield make
    for p in started:
        p.kill()


@pytest.fixture
def program(program_factory):
    """A started program with the default test configuration."""
    return program_factory().start().started()


@pytest.fixture
def tcp(request):
    """A pymodbus TCP server on a free port."""
    peer = tcp_peer()
    request.addfinalizer(peer.stop)
    return peer


@pytest.fixture
def faults(request, tmp_path):
    """The scripted fault peer over TCP (odd answers, failing and counting registers), with the
    log of the requests it was sent in `.log`."""
    peer = tcp_peer("fault_peer.py", [str(tmp_path / "fault.log")])
    peer.log = tmp_path / "fault.log"
    request.addfinalizer(peer.stop)
    return peer


@pytest.fixture
def rtu(tmp_path, request):
    """A pymodbus RTU server on one end of a pty pair; the pair is returned."""
    pair = PtyPair(tmp_path)
    request.addfinalizer(pair.stop)
    peer = rtu_peer(pair)
    request.addfinalizer(peer.stop)
    return pair
