"""pairwise_align in plain and scan mode, and the AlignmentResult it returns."""
import math

import numpy as np
import pytest

import ovelt
from conftest import DATA

STRUCTURES = DATA / "structures"


def load(family, name):
    return ovelt.Domain.from_pdb(str(STRUCTURES / family / f"{name}.pdb"))


def rigid(coords):
    a = 0.9
    r = np.array([[math.cos(a), -math.sin(a), 0], [math.sin(a), math.cos(a), 0], [0, 0, 1.0]])
    r = r @ np.array([[1, 0, 0], [0, math.cos(a), -math.sin(a)], [0, math.sin(a), math.cos(a)]])
    return coords @ r.T + np.array([15.0, -40.0, 8.5])


def with_coords(domain, coords):
    return ovelt.Domain.from_arrays(domain.id, np.ascontiguousarray(coords), domain.sequence)


def helix(n):
    k = np.arange(n, dtype=np.float64)
    return np.column_stack([2.3 * np.cos(1.745329 * k), 2.3 * np.sin(1.745329 * k), 1.5 * k])


@pytest.fixture(scope="module")
def mbn():
    return load("globin", "1mbn")


# ---------------------------------------------------------------------------
# Class and function surface


def test_alignment_result_surface():
    cls = ovelt.AlignmentResult
    assert cls.__doc__ == ("Python wrapper for pairwise alignment result.\n\n"
                           "Contains the transformation, statistics, and alignment path.")
    props = [k for k, v in vars(cls).items() if isinstance(v, type(cls.rmsd))]
    assert props == ["rmsd", "n_aligned", "score", "seq_identity", "transform", "aligned_pairs", "tm_score",
                     "tm_score_mobile"]
    assert [getattr(cls, k).__doc__ for k in props] == [
        "Root mean square deviation.", "Number of aligned positions.", "PELDA score (Sc).",
        "Sequence identity of aligned region.", "Returns the transformation as a Transform object.",
        "Returns the alignment path as list of (i, j) tuples.",
        "TM-score of the superposed structures, normalised by the length of domain1.",
        "TM-score of the superposed structures, normalised by the length of domain2."]
    assert cls.get_rotation.__doc__ == "Returns the rotation matrix as numpy array (3x3)."
    assert cls.get_translation.__doc__ == "Returns the translation vector as numpy array (3,)."
    assert cls.transformation_matrix.__doc__ == "Returns the 4x4 transformation matrix."
    assert cls.transform_coordinates.__text_signature__ == "($self, coords)"
    assert cls.transform_coordinates.__doc__ == ("Applies transformation to coordinates.\n\nArgs:\n"
                                                 "    coords: Nx3 array of coordinates.\n\nReturns:\n"
                                                 "    Transformed Nx3 array.")
    assert cls.get_transformed_coordinates.__text_signature__ == "($self, domain)"
    with pytest.raises(TypeError):
        cls()


def test_pairwise_align_surface():
    f = ovelt.pairwise_align
    assert f.__text_signature__ == "(domain1, domain2, params=None, scan_mode=None, slide=None, *, search=None, threads=None)"
    assert f.__doc__ == (
        "Performs pairwise structural alignment.\n\nArgs:\n"
        "    domain1: First (reference) domain.\n    domain2: Second (mobile) domain.\n"
        "    params: Optional alignment parameters.\n\nReturns:\n"
        "    AlignmentResult containing transformation and statistics.\n\nRaises:\n"
        "    ValueError: If alignment fails.")


@pytest.mark.parametrize("call, error, text", [
    (lambda d: ovelt.pairwise_align(d), TypeError, "missing 1 required positional argument: 'domain2'"),
    (lambda d: ovelt.pairwise_align(d, "x"), TypeError, "domain2"),
    (lambda d: ovelt.pairwise_align(d, d, params=ovelt.Transform()), TypeError, "params"),
    (lambda d: ovelt.pairwise_align(d, d, scan_mode=1), TypeError, "scan_mode"),
    (lambda d: ovelt.pairwise_align(d, d, slide=2.0), TypeError, "slide"),
    (lambda d: ovelt.pairwise_align(d, d, scan_mode=True, slide=-1), OverflowError, "slide"),
    (lambda d: ovelt.pairwise_align(d, d, d, None, None, None), TypeError, "positional"),
    (lambda d: ovelt.pairwise_align(d, d, mode=True), TypeError, "unexpected keyword argument 'mode'"),
])
def test_argument_errors(mbn, call, error, text):
    with pytest.raises(error, match=text):
        call(mbn)


# ---------------------------------------------------------------------------
# Plain mode


def test_self_alignment_is_the_perfect_diagonal(mbn):
    r = ovelt.pairwise_align(mbn, mbn)
    n = len(mbn)
    assert r.aligned_pairs == [(k, k) for k in range(n)]
    assert (r.n_aligned, r.score, r.seq_identity) == (n, 1.25, 1.0)
    assert r.rmsd == pytest.approx(0.0, abs=1e-9)
    np.testing.assert_allclose(r.get_rotation(), np.eye(3), atol=1e-12)
    assert repr(r) == f"AlignmentResult(rmsd=0.000, n_aligned={n}, score=1.2500, seq_identity=1.000)"


def test_short_identical_chains_find_no_fragment():
    d = ovelt.Domain.from_arrays("h", helix(23), "A" * 23)
    r = ovelt.pairwise_align(d, d)
    assert (r.aligned_pairs, r.rmsd, r.n_aligned, r.score) == ([], 100.0, 0, 0.0)


@pytest.mark.parametrize("n", [0, 1, 2])
def test_tiny_mobile_gives_the_empty_result(mbn, n):
    tiny = ovelt.Domain("t") if n == 0 else ovelt.Domain.from_arrays("t", helix(n), "G" * n)
    r = ovelt.pairwise_align(mbn, tiny)
    assert (r.aligned_pairs, r.rmsd, r.n_aligned, r.score, r.seq_identity) == ([], math.inf, 0, 0.0, 0.0)
    np.testing.assert_array_equal(r.transformation_matrix(), np.eye(4))
    assert repr(r) == "AlignmentResult(rmsd=inf, n_aligned=0, score=0.0000, seq_identity=0.000)"


def test_homologue_transform_is_proper_and_reproduces_the_rmsd(mbn):
    other = load("globin", "5vzq")
    placed = with_coords(other, ovelt.pairwise_align(mbn, other, scan_mode=True).get_transformed_coordinates(other))
    before = placed.coordinates.copy()
    r = ovelt.pairwise_align(mbn, placed)
    assert r.n_aligned > 100 and r.score > 0.5
    assert np.linalg.det(r.get_rotation()) == pytest.approx(1.0, abs=1e-12)
    moved = r.get_transformed_coordinates(placed)
    i, j = np.array(r.aligned_pairs).T
    rmsd = np.sqrt(np.mean(np.sum((mbn.coordinates[i] - moved[j]) ** 2, axis=1)))
    assert rmsd == pytest.approx(r.rmsd, abs=1e-9)
    np.testing.assert_array_equal(placed.coordinates, before)
    again = ovelt.pairwise_align(mbn, placed)
    assert again.aligned_pairs == r.aligned_pairs and again.rmsd == r.rmsd and again.score == r.score
    np.testing.assert_array_equal(again.transformation_matrix(), r.transformation_matrix())


def test_result_accessors_agree(mbn):
    r = ovelt.pairwise_align(mbn, with_coords(mbn, rigid(mbn.coordinates)), scan_mode=True)
    m = r.transformation_matrix()
    np.testing.assert_array_equal(m[:3, :3], r.get_rotation())
    np.testing.assert_array_equal(m[:3, 3], r.get_translation())
    np.testing.assert_array_equal(m[3], [0, 0, 0, 1])
    np.testing.assert_array_equal(r.transform.rotation, r.get_rotation())
    assert r.transform is not r.transform and r.aligned_pairs is not r.aligned_pairs
    coords = np.asfortranarray(mbn.coordinates)[::2]  # strided, read through its strides
    expected = coords @ r.get_rotation().T + r.get_translation()
    np.testing.assert_allclose(r.transform_coordinates(coords), expected, rtol=0, atol=1e-12)
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        r.transform_coordinates(np.zeros((4, 2)))
    for bad in ([[0.0, 0.0, 0.0]], np.zeros((2, 3), dtype=np.int64)):
        with pytest.raises(TypeError, match="coords"):
            r.transform_coordinates(bad)
    with pytest.raises(TypeError, match="domain"):
        r.get_transformed_coordinates(coords)
    with pytest.raises(AttributeError):
        r.score = 2.0


def test_parameters_outside_the_aligner_change_nothing(mbn):
    placed = with_coords(mbn, mbn.coordinates + 0.4 * np.sin(np.arange(len(mbn) * 3)).reshape(-1, 3))
    base = ovelt.pairwise_align(mbn, placed)
    p = ovelt.Parameters()
    p.gap_extend, p.score_cutoff, p.use_secondary, p.verbosity = 9.0, -4.0, False, 7
    r = ovelt.pairwise_align(mbn, placed, params=p, slide=3)  # slide without scan_mode does nothing
    assert (r.score, r.rmsd, r.aligned_pairs) == (base.score, base.rmsd, base.aligned_pairs)
    assert ovelt.pairwise_align(mbn, placed, scan_mode=None).score == base.score
    assert ovelt.pairwise_align(mbn, placed, scan_mode=np.bool_(False)).score == base.score

    p = ovelt.Parameters()
    p.e1 = 1.0
    first = ovelt.pairwise_align(mbn, placed, params=p)
    p.e1 = 4.0
    assert first.score != ovelt.pairwise_align(mbn, placed, params=p).score
    p.e1 = 1.0
    assert first.score == ovelt.pairwise_align(mbn, placed, params=p).score


# ---------------------------------------------------------------------------
# Scan mode


@pytest.mark.parametrize("family, name", [("globin", "1mbn"), ("kinesin_motor", "d1bg2__"), ("kringle", "1pk4")])
def test_scan_mode_recovers_a_rigid_motion(family, name):
    d = load(family, name)
    moved = with_coords(d, rigid(d.coordinates))
    r = ovelt.pairwise_align(d, moved, scan_mode=True)
    assert r.rmsd < 0.01
    assert r.aligned_pairs == []
    assert r.n_aligned == len(d)  # the traced path, gap steps included
    np.testing.assert_allclose(r.get_transformed_coordinates(moved), d.coordinates, atol=1e-6)
    assert np.linalg.det(r.get_rotation()) == pytest.approx(1.0, abs=1e-12)


def test_scan_mode_slide_zero_counts_as_one():
    a, b = load("kringle", "1pk4"), load("kringle", "1pkr")
    zero = ovelt.pairwise_align(a, b, scan_mode=True, slide=0)
    one = ovelt.pairwise_align(a, b, scan_mode=True, slide=1)
    assert (zero.score, zero.rmsd, zero.n_aligned) == (one.score, one.rmsd, one.n_aligned)
    np.testing.assert_array_equal(zero.transformation_matrix(), one.transformation_matrix())


def test_scan_mode_with_a_too_short_mobile_is_empty(mbn):
    short = ovelt.Domain.from_arrays("s", mbn.coordinates[:75], mbn.sequence[:75])  # below floor(153 / 2)
    r = ovelt.pairwise_align(mbn, short, scan_mode=True)
    assert (r.rmsd, r.n_aligned, r.score) == (math.inf, 0, 0.0)
    np.testing.assert_array_equal(r.transformation_matrix(), np.eye(4))


# ---------------------------------------------------------------------------
# Bad input: every call returns


@pytest.mark.parametrize("make", [
    lambda d: with_coords(d, d.coordinates * 1e12),
    lambda d: ovelt.Domain("empty"),
])
@pytest.mark.parametrize("scan_mode", [False, True])
def test_bad_coordinates_return(mbn, make, scan_mode):
    r = ovelt.pairwise_align(mbn, make(mbn), scan_mode=scan_mode)
    assert isinstance(r, ovelt.AlignmentResult)
    r2 = ovelt.pairwise_align(make(mbn), mbn, scan_mode=scan_mode)
    assert isinstance(r2.score, float)


@pytest.mark.parametrize("name, value", [
    ("e1", 0.0), ("e2", 0.0), ("gap_open", -3.0), ("max_iter", 0), ("cutoff_dist", 1e300), ("cutoff_dist", 0.0),
    ("convergence", -1.0), ("n_passes", 0),
])
def test_extreme_parameters_return(mbn, name, value):
    p = ovelt.Parameters()
    setattr(p, name, value)
    placed = with_coords(mbn, mbn.coordinates + 0.3)
    plain = ovelt.pairwise_align(mbn, placed, params=p)
    ovelt.pairwise_align(mbn, placed, params=p, scan_mode=True)
    if name == "cutoff_dist" and value > 1:
        assert (plain.rmsd, plain.score, plain.aligned_pairs) == (100.0, 0.0, [])
    if name == "max_iter":  # one cycle, before the shift is superposed away
        assert 1.1 < plain.score < 1.25 == ovelt.pairwise_align(mbn, placed).score


def test_long_chains_align_or_raise_memory_error():
    rng = np.random.default_rng(3)
    steps = rng.normal(size=(5000, 3))
    coords = np.cumsum(3.8 * steps / np.linalg.norm(steps, axis=1)[:, None], axis=0)
    d = ovelt.Domain.from_arrays("long", coords, "A" * 5000)
    try:
        r = ovelt.pairwise_align(d, d)
    except MemoryError:
        return
    assert r.n_aligned == 5000 and r.score == 1.25
