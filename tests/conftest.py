import pathlib

import pytest

SHARED = pathlib.Path(__file__).resolve().parents[1].parent / "shared"


@pytest.fixture(scope="session")
def shared_dir():
    return SHARED
