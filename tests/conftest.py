import kovalith
import pytest


@pytest.fixture
def v():
    """Shorthand for building a Vector3D."""
    return kovalith.Vector3D
