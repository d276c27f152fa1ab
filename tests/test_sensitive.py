"""Sensitive mode on the shipped families: coverage, separation, frame independence."""
import itertools

import numpy as np
import pytest

import ovelt
from conftest import DATA, random_motion

STRUCTURES = DATA / "structures"


def family(name):
    return [ovelt.Domain.from_pdb(str(p)) for p in sorted((STRUCTURES / name).glob("*.pdb"))]


@pytest.fixture(scope="module")
def globins():
    return family("globin")


@pytest.fixture(scope="module")
def lipocalins():
    return family("lipocalin_obp")


@pytest.mark.parametrize("call", ["pairwise_align", "scan_database"])
@pytest.mark.parametrize("kwargs, error", [
    (dict(search="fast"), ValueError),
    (dict(search="Sensitive"), ValueError),
    (dict(search=1), TypeError),
    (dict(search="windows", scan_mode=False), ValueError),
    (dict(search="sensitive", scan_mode=False), ValueError),
])
def test_bad_search_arguments(call, kwargs, error, globins):
    a, b = globins[:2]
    args = (a, b) if call == "pairwise_align" else (a, [b])
    with pytest.raises(error, match="search"):
        getattr(ovelt, call)(*args, **kwargs)


def test_named_searches_match_the_flags(globins):
    mbn = next(d for d in globins if d.id == "1mbn")
    eb8 = next(d for d in globins if d.id == "2eb8")
    for flags, named in [(dict(), dict(search=None)), (dict(scan_mode=True), dict(search="windows"))]:
        a, b = ovelt.pairwise_align(mbn, eb8, **flags), ovelt.pairwise_align(mbn, eb8, **named)
        assert (repr(a), a.aligned_pairs, a.tm_score) == (repr(b), b.aligned_pairs, b.tm_score)
        assert np.array_equal(a.transformation_matrix(), b.transformation_matrix())


def test_families_align_and_stay_apart(globins, lipocalins):
    same = [ovelt.pairwise_align(a, b, search="sensitive")
            for fam in (globins, lipocalins) for a, b in itertools.combinations(fam, 2)]
    assert sum(r.score > 0 for r in same) >= 32  # of 38 (the aligner cannot hold a few globin pairs)
    assert min(r.tm_score for r in same) > 0.6
    cross = [ovelt.pairwise_align(a, b, search="sensitive") for a in globins[::2] for b in lipocalins]
    assert all(r.score == 0 for r in cross)
    assert max(max(r.tm_score, r.tm_score_mobile) for r in cross) < 0.45


def test_report_matches_the_written_superposition(globins):
    """Pairs, RMSD, identity and TM-score recomputed from the transform alone."""
    for a, b in [(globins[0], globins[1]), (globins[2], globins[6])]:
        r = ovelt.pairwise_align(a, b, search="sensitive")
        pairs = np.array(r.aligned_pairs)
        assert np.all(np.diff(pairs, axis=0) > 0)
        x, y = a.coordinates[pairs[:, 0]], r.get_transformed_coordinates(b)[pairs[:, 1]]
        d = np.linalg.norm(x - y, axis=1)
        assert d.max() < 5.0 and r.n_aligned == len(pairs)
        assert r.rmsd == pytest.approx(np.sqrt(np.mean(d * d)), rel=1e-12)
        same = [a.sequence[i] == b.sequence[j] for i, j in r.aligned_pairs]
        assert r.seq_identity == pytest.approx(np.mean(same), rel=1e-12)
        d0 = 1.24 * (len(a) - 15) ** (1 / 3) - 1.8
        over_pairs = np.sum(1 / (1 + (d / d0) ** 2)) / len(a)
        beyond = (min(len(a), len(b)) - len(pairs)) / (1 + (5.0 / d0) ** 2) / len(a)
        assert over_pairs <= r.tm_score <= over_pairs + beyond


def test_independent_of_input_frames_and_deterministic(globins, lipocalins):
    rng = np.random.default_rng(5)
    for a, b in [(globins[1], globins[2]), (lipocalins[0], lipocalins[3])]:
        ref = ovelt.pairwise_align(a, b, search="sensitive")
        again = ovelt.pairwise_align(a, b, search="sensitive")
        assert np.array_equal(ref.transformation_matrix(), again.transformation_matrix())
        moved = b.copy()
        moved.coordinates = random_motion(b.coordinates, rng)
        r = ovelt.pairwise_align(a, moved, search="sensitive")
        assert r.score == ref.score and r.aligned_pairs == ref.aligned_pairs
        assert r.tm_score == pytest.approx(ref.tm_score, abs=1e-9)
        assert np.allclose(r.get_transformed_coordinates(moved), ref.get_transformed_coordinates(b), atol=1e-6)


def test_scan_database_ranks_by_score_and_reports_tm_score(globins, lipocalins):
    query = globins[2]
    hits = ovelt.scan_database(query, lipocalins + globins, search="sensitive", max_hits=20)
    assert [h.score for h in hits] == sorted((h.score for h in hits), reverse=True)
    assert hits[0].target_id == query.id and hits[0].tm_score == pytest.approx(1.0)
    globin_ids = {d.id for d in globins}
    assert {h.target_id for h in hits if h.tm_score > 0.5} == globin_ids
    assert ovelt.scan_database(query, globins[:2])[0].tm_score is None


def test_family_alignment_joins_only_close_residues(tmp_path):
    files = [str(p) for p in sorted((STRUCTURES / "globin").glob("*.pdb"))]
    result = ovelt.align_pdbs(files, str(tmp_path), reference_index=2, search="sensitive")
    assert np.array_equal(result.full_transforms[2].transformation_matrix(), np.eye(4))
    written = [ovelt.Domain.from_pdb(str(tmp_path / f"aligned_{p.split('/')[-1][:-4]}.pdb")).coordinates
               for p in files]
    distances = [np.linalg.norm(written[d1][r1] - written[d2][r2])
                 for column in result.columns
                 for d1, r1 in enumerate(column) if r1 is not None
                 for d2, r2 in enumerate(column) if r2 is not None and d2 > d1]
    assert np.mean(np.array(distances) > 6.0) < 0.03
    assert result.n_core >= 100  # the window-scan pipeline finds none on these globins


def test_family_alignment_ignores_input_frames(lipocalins):
    rng = np.random.default_rng(9)
    moved = []
    for d in lipocalins:
        m = d.copy()
        m.coordinates = random_motion(d.coordinates, rng)
        moved.append(m)
    a = ovelt.multiple_align(lipocalins, search="sensitive")
    b = ovelt.multiple_align(moved, search="sensitive")
    assert a.columns == b.columns and a.core_positions == b.core_positions
    # The superposed sets differ by one rigid motion only.
    placed_a = np.vstack([t.apply(d.coordinates) for t, d in zip(a.transforms, lipocalins)])
    placed_b = np.vstack([t.apply(d.coordinates) for t, d in zip(b.transforms, moved)])
    assert ovelt.superpose(placed_a, placed_b)[1] < 1e-6
    with pytest.raises(ValueError, match="search"):
        ovelt.multiple_align(lipocalins, search="windows")
