"""Pickling round trips of every class, bit for bit, on real structures."""
import math
import pickle
import struct
import types

import numpy as np
import pytest

import ovelt
from conftest import DATA

GLOBIN = DATA / "structures" / "globin"
MYOGLOBINS = [str(GLOBIN / f"{x}.pdb") for x in ("1mbn", "5vzq", "2eb8", "1urv")]


def same(a, b):
    """Equal to the last bit: floats by their bytes, arrays by dtype, shape and
    bytes, the module's objects by every property."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a).__module__ == "ovelt":
        props = [n for n, v in vars(type(a)).items() if isinstance(v, types.GetSetDescriptorType)]
        return all(same(getattr(a, n), getattr(b, n)) for n in props)
    return a == b


def written(obj, out):
    """What an object writes: the fields no property shows (residue labels,
    source paths, pre-alignment transforms) reach these files."""
    out.mkdir()
    if isinstance(obj, ovelt.Domain):
        obj.to_pdb(str(out / "ca.pdb"), full=False)
    elif isinstance(obj, ovelt.MultipleAlignmentResult):
        obj.write_all(str(out))
    return {p.name: p.read_bytes() for p in sorted(out.iterdir())}


def domain_with_dssp(tmp):
    # Insertion codes, a negative residue number, accessibilities and ss codes.
    return ovelt.Domain.from_dssp(str(DATA / "structures" / "kringle" / "1kdu.pdb"), str(DATA / "dssp" / "1kdu.dssp"))


def odd_parameters(tmp):
    p = ovelt.Parameters()
    p.e1, p.e2, p.gap_open = struct.unpack("<d", struct.pack("<Q", 0x7FF8DEADBEEF0001))[0], 1e300, -0.0
    p.n_passes, p.verbosity, p.use_secondary = 2**32 - 1, 0, False
    return p


def myoglobin_pair(tmp):
    a, b = (ovelt.Domain.from_pdb(f) for f in MYOGLOBINS[:2])
    start = ovelt.pairwise_align(a, b, scan_mode=True)
    placed = ovelt.Domain.from_arrays(b.id, start.get_transformed_coordinates(b), b.sequence)
    return ovelt.pairwise_align(a, placed)


def myoglobin_hits(tmp):
    query, *targets = (ovelt.Domain.from_pdb(f) for f in MYOGLOBINS)
    return ovelt.scan_database(query, targets, score_cutoff=0.0)


CASES = {
    "domain": domain_with_dssp,
    "parameters": odd_parameters,
    "transform": lambda tmp: myoglobin_pair(tmp).transform,
    "alignment_result": myoglobin_pair,
    "scan_hits": myoglobin_hits,
    "multiple_result": lambda tmp: ovelt.align_pdbs(MYOGLOBINS, str(tmp / "first")),
}


@pytest.mark.parametrize("name", list(CASES))
@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_round_trip_is_bit_for_bit(name, protocol, tmp_path):
    obj = CASES[name](tmp_path)
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert back is not obj and same(obj, back)
    assert repr(back) == repr(obj)
    assert pickle.dumps(back, protocol) == pickle.dumps(obj, protocol)  # the fields no property shows
    assert written(back, tmp_path / "back") == written(obj, tmp_path / "obj")


@pytest.mark.parametrize("name", list(CASES))
def test_damaged_state_is_refused(name, tmp_path):
    obj = CASES[name](tmp_path)
    rebuild, (state,) = (obj[0] if isinstance(obj, list) else obj).__reduce__()
    for damaged in (state[:-1], state + b"\0", b"", b"\xff" * len(state)):
        with pytest.raises(ValueError, match="invalid pickled state"):
            rebuild(damaged)
    with pytest.raises(TypeError):
        rebuild(bytearray(state))
