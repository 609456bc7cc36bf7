import pytest


@pytest.fixture
def image_file(tmp_path):
    """Writes bytes to a fresh file and returns its path as text."""
    count = 0

    def write(data, name=None):
        nonlocal count
        count += 1
        path = tmp_path / (name or f"image{count}.bin")
        path.write_bytes(data)
        return str(path)
    return write
