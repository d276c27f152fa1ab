import math

import numpy as np
import pytest

import ovelt
from conftest import DATA, manifest_rows, random_motion

DOC = (
    "scan_database(query, targets, params=None, score_cutoff=0.0, max_hits=100, quick=False, scan_mode=True, *, "
    "search=None)\n"
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
        "(query, targets, params=None, score_cutoff=0.0, max_hits=100, quick=False, scan_mode=True, *, "
        "search=None, threads=None, progress=None)"
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
        (dict(max_hits=-1), OverflowError, None),
        (dict(max_hits=2**70), OverflowError, None),
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
    assert len(set(scores)) > 1 and all(isinstance(h.z_score, float) for h in hits)


def test_short_target_is_a_hit_with_infinite_rmsd(small_db):
    short = synthetic("short", 15, 9)  # fewer than half of the query's 40 residues
    (hit,) = ovelt.scan_database(small_db[0], [short])
    assert (hit.score, hit.rmsd, hit.n_aligned, hit.rank) == (0.0, math.inf, 0, 1)
    assert hit.z_score is None and hit.e_value is None
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


# ---------------------------------------------------------------------------
# Real structures


def test_family_members_rank_above_other_families(families):
    """Scan mode, every shipped structure as query against all the others.

    Other families are listed first, so that a same-family hit only ranks
    above them on its score, never on target order. Divergent members often
    score 0 (no window start leads the aligner anywhere), so what is checked
    is that whatever scores above 0 belongs to the query's family.
    """
    pool = [(fam, d) for fam, ds in families.items() for d in ds]
    family_of = {d.id: f for f, d in pool}
    found = pairs = 0
    for fam, query in pool:
        targets = [d for f, d in pool if f != fam] + [d for f, d in pool if f == fam and d is not query]
        hits = ovelt.scan_database(query, targets, max_hits=len(targets))
        k = len(families[fam]) - 1
        positive = [h for h in hits if h.score > 0]
        assert all(family_of[h.target_id] == fam for h in positive), (query.id, positive)
        found += len(positive)
        pairs += k
    # 24 of the 156 same-family pairs score above 0 (every one in the top k).
    assert found >= 20, (found, pairs)


def test_near_duplicates_rank_first_whatever_their_frame(families):
    rng = np.random.default_rng(11)
    globins = {d.id: d for d in families["globin"]}
    query = globins.pop("1mbn")
    targets = list(globins.values())
    moved = []
    for d in targets:
        m = d.copy()
        m.coordinates = random_motion(d.coordinates, rng)
        moved.append(m)
    hits = ovelt.scan_database(query, targets)
    assert [h.target_id for h in hits[:2]] == ["5vzq", "2eb8"]
    assert hits[0].score > 1.0 and hits[0].rmsd < 1.0 and hits[0].n_aligned > 140
    # Scan mode starts from its own window superpositions: a rigid motion of
    # a target does not change its hit.
    key = lambda hs: [(h.target_id, round(h.score, 6), h.n_aligned) for h in hs]
    assert key(ovelt.scan_database(query, moved)) == key(hits)
