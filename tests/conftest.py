import signal

import kovalith
import pytest


@pytest.fixture(scope="session", autouse=True)
def ctrl_c_raises():
    """Ctrl-C raises KeyboardInterrupt in the suite wherever it runs. A shell
    that starts a job in the background hands it SIGINT ignored, and then the
    interpreter installs no handler of its own, so a Ctrl-C raised by the test
    hook would vanish and the interrupt tests would fail for a reason that is
    not the code's."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture
def v():
    """Shorthand for building a Vector3D."""
    return kovalith.Vector3D


@pytest.fixture(scope="session")
def kernel(request, tmp_path_factory):
    """The native planar kernel behind a pipe (tests/kernel_probe.py), one
    probe process for the whole session."""
    from kernel_probe import start_probe

    probe = start_probe(request, tmp_path_factory)
    yield probe
    probe.close()
    assert probe.proc.returncode == 0
