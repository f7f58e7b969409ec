import kovalith
import pytest


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
