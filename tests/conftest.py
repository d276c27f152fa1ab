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
