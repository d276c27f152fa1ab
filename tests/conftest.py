import csv
from pathlib import Path

import numpy as np
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


def random_motion(coords, rng):
    """coords under a uniformly random rotation (from a random unit quaternion)
    and a translation of up to 50 A per axis."""
    q = rng.normal(size=4)
    a, b, c, d = q / np.linalg.norm(q)
    rot = np.array([
        [a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)],
        [2 * (b * c + a * d), a * a - b * b + c * c - d * d, 2 * (c * d - a * b)],
        [2 * (b * d - a * c), 2 * (c * d + a * b), a * a - b * b - c * c + d * d],
    ])
    return np.ascontiguousarray(coords @ rot.T + rng.uniform(-50.0, 50.0, size=3))
