import math

import numpy as np
import pytest

import ovelt
from conftest import DATA, manifest_rows

DOC = (
    "scan_database(query, targets, params=None, score_cutoff=0.0, max_hits=100, quick=False, scan_mode=True)\n"
    "--\n\n"
    "Scans a query structure against a database.\n\n"
    "Args:\n"
    "    query: Query domain.\n"
    "    targets: List of target domains.\n"
    "    params: Optional alignment parameters.\n"
    "    score_cutoff: Minimum score for reporting hits (default 0.0).\n"
    "    max_hits: Maximum number of hits to return (default 100).\n"
    "    quick: Use quick alignment mode (default False).\n"
    "    scan_mode: Use sliding window scan for structures in different coordinate frames (default True).\n\n"
    "Returns:\n"
    "    List of ScanHit objects sorted by score."
)

AMINO = "ACDEFGHIKLMNPQRSTVWY"


def chain_coords(n, seed):
    """A chain-like CA trace with 3.8 A steps and a wandering direction."""
    rng = np.random.default_rng(seed)
    pos, direction, out = np.zeros(3), np.array([1.0, 0.0, 0.0]), []
    for _ in range(n):
        out.append(pos.copy())
        direction = direction + rng.normal(0.0, 0.6, 3)
        direction /= np.linalg.norm(direction)
        pos = pos + 3.8 * direction
    return np.array(out)


def synthetic(name, n, seed):
    seq = "".join(AMINO[(7 * i + seed) % len(AMINO)] for i in range(n))
    return ovelt.Domain.from_arrays(name, chain_coords(n, seed), seq)


@pytest.fixture(scope="module")
def families():
    """family -> list of Domain, every shipped structure in its own frame."""
    out = {}
    for row in manifest_rows():
        if row["family"] == "edge":
            continue
        chain = None if row["chain"] == "-" else row["chain"]
        out.setdefault(row["family"], []).append(ovelt.Domain.from_pdb(str(DATA / row["file"]), chain=chain))
    return out


@pytest.fixture(scope="module")
def small_db():
    return [synthetic("a", 40, 1), synthetic("b", 44, 2), synthetic("c", 38, 3)]


# ---------------------------------------------------------------------------
# Interface


def test_docstring_and_signature():
    assert ovelt.scan_database.__doc__ == DOC.split("--\n\n", 1)[1]
    assert ovelt.scan_database.__text_signature__ == (
        "(query, targets, params=None, score_cutoff=0.0, max_hits=100, quick=False, scan_mode=True)"
    )
    assert ovelt.ScanHit.__doc__ == "Result of a database scan hit."


def test_scanhit_cannot_be_constructed():
    with pytest.raises(TypeError):
        ovelt.ScanHit()


@pytest.mark.parametrize(
    "name, doc",
    [
        ("target_id", "Target domain identifier."),
        ("rank", "Rank in hit list."),
        ("score", "PELDA score."),
        ("rmsd", "RMSD after superposition."),
        ("n_aligned", "Number of aligned positions."),
        ("seq_identity", "Sequence identity."),
        ("e_value", "E-value (if computed)."),
        ("z_score", "Z-score (if computed)."),
    ],
)
def test_attributes_are_read_only_with_docstrings(name, doc, small_db):
    assert getattr(ovelt.ScanHit, name).__doc__ == doc
    hit = ovelt.scan_database(small_db[0], small_db)[0]
    with pytest.raises(AttributeError):
        setattr(hit, name, getattr(hit, name))
    with pytest.raises(AttributeError):
        delattr(hit, name)


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(targets="abc"), TypeError, "targets"),
        (dict(targets=[1]), TypeError, "targets"),
        (dict(targets=None), TypeError, "targets"),
        (dict(query="q"), TypeError, "query"),
        (dict(params=3), TypeError, "params"),
        (dict(score_cutoff=None), TypeError, "score_cutoff"),
        (dict(score_cutoff="1.0"), TypeError, "score_cutoff"),
        (dict(max_hits=None), TypeError, "max_hits"),
        (dict(max_hits=1.5), TypeError, "max_hits"),
        (dict(max_hits=-1), OverflowError, ""),
        (dict(max_hits=2**70), OverflowError, ""),
        (dict(quick=None), TypeError, "quick"),
        (dict(quick=1), TypeError, "quick"),
        (dict(scan_mode=None), TypeError, "scan_mode"),
        (dict(scan_mode="yes"), TypeError, "scan_mode"),
    ],
)
def test_conversion_failures(kwargs, error, text, small_db):
    args = dict(query=small_db[0], targets=small_db)
    args.update(kwargs)
    with pytest.raises(error, match=text):
        ovelt.scan_database(**args)


def test_accepted_conversions(small_db):
    q = small_db[0]
    as_tuple = ovelt.scan_database(q, tuple(small_db), ovelt.Parameters(), 0, np.int64(2), np.bool_(False), True)
    as_list = ovelt.scan_database(q, small_db, None, 0.0, 2, False, True)
    assert [(h.target_id, h.score) for h in as_tuple] == [(h.target_id, h.score) for h in as_list]
    assert len(as_list) == 2


@pytest.mark.parametrize(
    "targets_of, kwargs",
    [
        (lambda db: [], {}),
        (lambda db: db, dict(max_hits=0)),
        (lambda db: db, dict(score_cutoff=1e9)),
        (lambda db: db, dict(score_cutoff=float("nan"))),
    ],
)
def test_empty_results(targets_of, kwargs, small_db):
    assert ovelt.scan_database(small_db[0], targets_of(small_db), **kwargs) == []


# ---------------------------------------------------------------------------
# Hits


def test_hit_values_ranks_and_repr(small_db):
    q = small_db[0]
    hits = ovelt.scan_database(q, small_db + [q], scan_mode=False)
    assert [h.rank for h in hits] == list(range(1, len(hits) + 1))
    scores = [h.score for h in hits]
    assert scores == sorted(scores, reverse=True)
    top = hits[0]
    assert top.target_id == "a" and top.score == pytest.approx(1.25)
    assert top.n_aligned == 40 and isinstance(top.n_aligned, int)
    assert repr(top) == f"ScanHit(target='a', rank=1, score=1.2500, rmsd={top.rmsd:.3f})"
    assert all(h.e_value is None for h in hits)
    if len(set(scores)) > 1:
        assert all(isinstance(h.z_score, float) for h in hits)
        mean = sum(scores) / len(scores)
        sd = math.sqrt(sum((s - mean) ** 2 for s in scores) / len(scores))
        assert [h.z_score for h in hits] == pytest.approx([(s - mean) / sd for s in scores])


def test_single_hit_has_no_z_score(small_db):
    (hit,) = ovelt.scan_database(small_db[0], small_db[:1])
    assert hit.rank == 1 and hit.z_score is None and hit.e_value is None


def test_short_target_is_a_hit_with_infinite_rmsd(small_db):
    short = synthetic("short", 15, 9)  # fewer than half of the query's 40 residues
    (hit,) = ovelt.scan_database(small_db[0], [short])
    assert (hit.score, hit.rmsd, hit.n_aligned) == (0.0, math.inf, 0)
    assert repr(hit) == "ScanHit(target='short', rank=1, score=0.0000, rmsd=inf)"
    assert ovelt.scan_database(small_db[0], [short], score_cutoff=0.001) == []


def test_quick_self_scan_gives_full_identity(families):
    q = families["globin"][0]
    (hit,) = ovelt.scan_database(q, [q], quick=True, scan_mode=False)
    assert hit.seq_identity == 1.0
    assert hit.n_aligned == len(q) and hit.score == pytest.approx(1.25)


def test_quick_alone_still_runs_scan_mode(small_db):
    q = small_db[0]
    moved = q.copy()
    moved.coordinates = q.coordinates + np.array([30.0, -12.0, 5.0])
    key = lambda hits: [(h.target_id, h.score, h.rmsd, h.n_aligned) for h in hits]
    assert key(ovelt.scan_database(q, [moved], quick=True)) == key(ovelt.scan_database(q, [moved]))
    # A plain single pass in the given frames finds nothing 30 A away.
    assert ovelt.scan_database(q, [moved], quick=True, scan_mode=False)[0].score < 1.25


def test_inputs_are_left_unchanged(small_db):
    before = [d.coordinates.copy() for d in small_db]
    ovelt.scan_database(small_db[0], small_db)
    for d, c in zip(small_db, before):
        assert np.array_equal(d.coordinates, c)


# ---------------------------------------------------------------------------
# Real structures


def test_family_members_rank_above_other_families(families):
    """Scan mode: precision of the top-k hits, k = number of other family members."""
    pool = [(fam, d) for fam, ds in families.items() for d in ds]
    precisions = {}
    for fam in ("globin", "lipocalin_obp", "kinesin_motor"):
        query = families[fam][0]
        targets = [d for f, d in pool if d is not query]
        family_of = {d.id: f for f, d in pool}
        hits = ovelt.scan_database(query, targets, max_hits=len(targets))
        k = len(families[fam]) - 1
        precisions[fam] = sum(family_of[h.target_id] == fam for h in hits[:k]) / k
        # The best hit of another family never beats the family's best member.
        first_other = next(i for i, h in enumerate(hits) if family_of[h.target_id] != fam)
        assert first_other > 0, fam
    assert min(precisions.values()) >= 0.5, precisions
