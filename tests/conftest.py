import csv
from pathlib import Path

import pytest

DATA = Path(__file__).parent / "data"


def manifest_rows():
    """Rows of tests/data/MANIFEST.tsv as dicts (the real structures we ship)."""
    with open(DATA / "MANIFEST.tsv", newline="") as fh:
        return list(csv.DictReader(fh, delimiter="\t"))


@pytest.fixture
def data_dir():
    return DATA


def make_params(values):
    """None, or ovelt.Parameters with the given attributes set."""
    if values is None:
        return None
    import ovelt

    p = ovelt.Parameters()
    for name, value in values.items():
        setattr(p, name, value)
    return p
