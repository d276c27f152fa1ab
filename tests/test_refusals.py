"""Inputs the entry points refuse: each raises and leaves the disk as it was."""
import math
import os
import shutil

import numpy as np
import pytest

import ovelt
from conftest import DATA

CRN = DATA / "edge/1crn.pdb"
KRINGLES = sorted((DATA / "structures/kringle").glob("*.pdb"))
FAR = ovelt.Transform.from_matrix(np.eye(3), np.array([1e4, 0.0, 0.0]))
NAN_ROTATION = ovelt.Transform.from_matrix(np.full((3, 3), np.nan), np.zeros(3))


def snapshot(root):
    """Every path under root; files with their bytes and modification time.
    (A directory's own time may move: a refused write can briefly hold a
    temporary file there.)"""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        out.update({os.path.join(dirpath, d): None for d in dirnames})
        for name in filenames:
            p = os.path.join(dirpath, name)
            out[p] = (open(p, "rb").read(), os.lstat(p).st_mtime_ns)
    return out


@pytest.fixture
def files(tmp_path):
    """Copies to write onto: src/1crn.pdb, x/k.pdb and y/k.pdb (two kringles), out/ absent."""
    paths = {"crn": tmp_path / "src" / "1crn.pdb", "xk": tmp_path / "x" / "k.pdb", "yk": tmp_path / "y" / "k.pdb"}
    for key, src in (("crn", CRN), ("xk", KRINGLES[0]), ("yk", KRINGLES[1])):
        paths[key].parent.mkdir()
        shutil.copy(src, paths[key])
    bad = tmp_path / "src" / "bad.pdb"
    bad.write_bytes(b"HEADER\nATOM \xff\n")
    paths["bad"] = bad
    paths["out"] = tmp_path / "out"
    return {k: str(v) for k, v in paths.items()}


def unchanged_after(root, call, exc, message):
    before = snapshot(root)
    with pytest.raises(exc, match=message):
        call()
    assert snapshot(root) == before


def crn(f):
    return ovelt.Domain.from_pdb(f["crn"])


def kringle_pair(f):
    return [ovelt.Domain.from_pdb(f["xk"]), ovelt.Domain.from_pdb(str(KRINGLES[2]))]


UNFIT_CRN = "X coordinate 10017.047 of atom 'ATOM      1  N   THR A   1' does not fit the PDB format$"
PREFIX = r"': it must not contain '/' or be '\.\.'$"


@pytest.mark.parametrize("call, exc, message", [
    (lambda f: ovelt.transform_pdb_file(f["crn"], f["crn"], FAR), ValueError, "^Failed to transform PDB: " + UNFIT_CRN),
    (lambda f: crn(f).to_pdb(f["crn"], FAR), ValueError, "^Failed to write PDB: " + UNFIT_CRN),
    (lambda f: crn(f).to_pdb(f["crn"], NAN_ROTATION, full=False), ValueError,
     "^Failed to write PDB: X coordinate NaN of atom 'ATOM      1  CA  THR A1' does not fit"),
    (lambda f: ovelt.transform_pdb_file(f["bad"], f["crn"], ovelt.Transform()), OSError,
     "^Failed to transform PDB: I/O error: stream did not contain valid UTF-8$"),
    (lambda f: ovelt.multiple_align(kringle_pair(f)).write_all(f["out"], prefix="../x_"), ValueError,
     r"^Invalid prefix '\.\./x_" + PREFIX),
    (lambda f: ovelt.multiple_align([crn(f), crn(f)]).write_all(f["out"]), ValueError,
     "^Input files (.*/src/1crn.pdb) and \\1 would both be written to aligned_1crn.pdb$"),
    (lambda f: ovelt.align_pdbs([f["xk"], f["yk"], str(KRINGLES[2])], f["out"]), ValueError,
     "^Input files .*/x/k.pdb and .*/y/k.pdb would both be written to aligned_k.pdb$"),
], ids=["transform-onto-itself", "to_pdb-onto-source", "to_pdb-ca-only-nan", "invalid-utf8-onto-existing",
        "prefix-parent", "write_all-same-source", "align_pdbs-same-stem"])
def test_files_refused(files, tmp_path, call, exc, message):
    unchanged_after(tmp_path, lambda: call(files), exc, message)


# --- values ------------------------------------------------------------------

def domain_with(coords_change, name="m"):
    d = ovelt.Domain.from_pdb(str(KRINGLES[0]))
    c = d.coordinates
    coords_change(c)
    return ovelt.Domain.from_arrays(name, c, d.sequence)


def nan_at_10(c):
    c[10, 1] = np.nan


def inf_at_0(c):
    c[0, 2] = -np.inf


def points(bad_row=None, cols=3):
    x = np.arange(5.0 * cols).reshape(5, cols)
    if bad_row is not None:
        x[bad_row, 0] = np.inf
    return x


@pytest.fixture
def with_nan_pdb(tmp_path):
    """tmp_path holding knan.pdb: a kringle file whose fourth CA atom has 'nan' for x."""
    lines = KRINGLES[0].read_text().splitlines(keepends=True)
    ca = [i for i, line in enumerate(lines) if line.startswith("ATOM") and line[12:16] == " CA "]
    lines[ca[3]] = lines[ca[3]][:30] + "     nan" + lines[ca[3]][38:]
    (tmp_path / "knan.pdb").write_text("".join(lines))
    return tmp_path


NAN_10 = r"^Non-finite coordinate in domain 'm' at residue 11 \(index 10\)$"
INF_0 = r"^Non-finite coordinate in domain 'm' at residue 1 \(index 0\)$"


@pytest.mark.parametrize("call, message", [
    (lambda t: ovelt.pairwise_align(domain_with(lambda c: None, "ok"), domain_with(nan_at_10)), NAN_10),
    (lambda t: ovelt.multiple_align([domain_with(lambda c: None, "ok"), domain_with(nan_at_10)]), NAN_10),
    (lambda t: ovelt.scan_database(domain_with(inf_at_0), [domain_with(lambda c: None, "ok")]), INF_0),
    (lambda t: ovelt.scan_database(domain_with(lambda c: None, "ok"), [domain_with(lambda c: None, "ok")] * 2 +
                                   [domain_with(nan_at_10)], quick=True), NAN_10),
    (lambda t: ovelt.align_pdbs([str(KRINGLES[1]), str(t / "knan.pdb")], str(t / "out")),
     r"^Non-finite coordinate in domain 'knan' at residue 3 \(index 3\)$"),
    (lambda t: ovelt.multiple_align([domain_with(lambda c: None, "ok")] * 2, pre_transforms=[ovelt.Transform()]),
     "^Expected 2 pre_transforms, one per domain, got 1$"),
    (lambda t: ovelt.superpose(points(), points(2)), "^Non-finite coordinate in mobile at row 2$"),
    (lambda t: ovelt.compute_rmsd(points(0), points()), "^Non-finite coordinate in coords1 at row 0$"),
    (lambda t: ovelt.superpose(points(cols=4), points(cols=4)), r"^Coordinates must have shape \(N, 3\)$"),
    (lambda t: ovelt.centroid(np.zeros((0, 3))), "^Cannot compute centroid of empty point set$"),
], ids=["pairwise-nan", "multiple-nan", "scan-query-inf", "scan-target-nan", "align_pdbs-nan-in-file",
        "pre_transforms-short", "superpose-inf", "rmsd-inf", "superpose-four-columns", "centroid-empty"])
def test_values_refused(with_nan_pdb, call, message):
    unchanged_after(with_nan_pdb, lambda: call(with_nan_pdb), ValueError, message)


@pytest.mark.parametrize("name", ["e1", "e2", "gap_open", "gap_extend", "cutoff_dist", "score_cutoff",
                                  "convergence"])
def test_nan_parameters_refused_by_every_entry_point(tmp_path, name):
    p = ovelt.Parameters()
    setattr(p, name, math.nan)
    assert math.isnan(getattr(p, name))  # the setter still takes it
    d = domain_with(lambda c: None, "ok")
    calls = [
        lambda: ovelt.pairwise_align(d, d, p),
        lambda: ovelt.pairwise_align(d, d, p, scan_mode=True),
        lambda: ovelt.multiple_align([d, d], p),
        lambda: ovelt.scan_database(d, [d], p),
        # Refused before any file is opened: these do not exist.
        lambda: ovelt.align_pdbs([str(tmp_path / "a.pdb"), str(tmp_path / "b.pdb")], str(tmp_path / "out"), p),
    ]
    for call in calls:
        unchanged_after(tmp_path, call, ValueError, f"^Parameter {name} is NaN$")
