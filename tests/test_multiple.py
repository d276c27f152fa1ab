"""multiple_align and MultipleAlignmentResult."""
import gemmi
import numpy as np
import pytest

import ovelt
from conftest import DATA, make_params


GLOBIN = DATA / "structures" / "globin"
KRINGLE = DATA / "structures" / "kringle"


def domain(path, chain=None):
    return ovelt.Domain.from_pdb(str(path), chain)


def rotation_about_z(deg, shift):
    a = np.radians(deg)
    r = np.array([[np.cos(a), -np.sin(a), 0.0], [np.sin(a), np.cos(a), 0.0], [0.0, 0.0, 1.0]])
    return ovelt.Transform.from_matrix(r, np.array(shift, dtype=float))


def is_identity(t):
    return np.array_equal(t.rotation, np.eye(3)) and np.array_equal(t.translation, np.zeros(3))


@pytest.fixture(scope="module")
def kringles():
    """Three real domains, each in its own deposited frame."""
    return [domain(p) for p in sorted(KRINGLE.glob("*.pdb"))]


def variant(coords, seq, keep, noise, seed, name):
    rng = np.random.default_rng(seed)
    moved = coords[keep] + rng.normal(0.0, noise, (len(keep), 3))
    return ovelt.Domain.from_arrays(name, np.ascontiguousarray(moved), "".join(seq[i] for i in keep))


@pytest.fixture(scope="module")
def family():
    """Myoglobin and two noisy variants in the same frame, one missing a
    loop and one its first residues: (domains, original residue of every
    residue of every domain)."""
    base = domain(GLOBIN / "1mbn.pdb")
    coords, seq, n = base.coordinates, base.sequence, len(base)
    keeps = [list(range(n)), [i for i in range(n) if not 40 <= i < 46], list(range(7, n))]
    domains = [variant(coords, seq, k, 0.0 if i == 0 else 0.3, i, f"v{i}") for i, k in enumerate(keeps)]
    return domains, keeps


@pytest.fixture(scope="module")
def result(family):
    return ovelt.multiple_align(family[0])


# --- arguments and failures ------------------------------------------------

def test_class_cannot_be_instantiated():
    with pytest.raises(TypeError):
        ovelt.MultipleAlignmentResult()


@pytest.mark.parametrize("domains", [[], "one"])
def test_too_few_or_not_a_list(domains):
    if isinstance(domains, str):
        with pytest.raises(TypeError, match="domains"):
            ovelt.multiple_align(domains)
    else:
        with pytest.raises(ValueError, match="^Need at least 2 domains for multiple alignment$"):
            ovelt.multiple_align(domains)


def test_one_domain_is_refused_after_every_argument_converted():
    d = domain(GLOBIN / "1mbn.pdb")
    with pytest.raises(ValueError, match="^Need at least 2 domains for multiple alignment$"):
        ovelt.multiple_align([d])
    # A bad later argument is reported before the count.
    with pytest.raises(TypeError, match="params"):
        ovelt.multiple_align([d], params=3)
    with pytest.raises(TypeError, match="pre_transforms"):
        ovelt.multiple_align([d], pre_transforms=[ovelt.Transform(), "x"])
    with pytest.raises(TypeError, match="pre_transforms"):
        ovelt.multiple_align([d], pre_transforms="x")


def test_items_must_be_domains():
    d = domain(GLOBIN / "1mbn.pdb")
    with pytest.raises(TypeError, match="domains"):
        ovelt.multiple_align([d, 1])


def test_docstrings():
    assert ovelt.multiple_align.__text_signature__ == (
        "(domains, params=None, pre_transforms=None, *, search=None, threads=None, progress=None)")
    assert ovelt.multiple_align.__doc__.startswith("Performs multiple structure alignment.\n\nArgs:\n")
    assert ovelt.multiple_align.__doc__.endswith("ValueError: If alignment fails or fewer than 2 domains provided.")
    cls = ovelt.MultipleAlignmentResult
    assert cls.__doc__ == "Python wrapper for multiple alignment result."
    assert cls.n_core.__doc__ == "Number of core positions (all structures present)."
    assert cls.columns.__doc__.splitlines()[0] == "Returns alignment columns as list of lists."
    assert cls.write_all.__text_signature__ == "($self, output_dir, prefix=None)"
    assert '(default "aligned_").' in cls.write_all.__doc__
    assert cls.get_transform.__doc__ == "Returns the transformation for a specific domain."


# --- the result object -----------------------------------------------------

def test_columns_core_and_score_agree(result, family):
    columns = result.columns
    assert result.n_columns == len(columns)
    assert result.core_positions == [i for i, c in enumerate(columns) if None not in c]
    assert result.n_core == len(result.core_positions)
    assert result.score == pytest.approx(result.n_core / result.n_columns)
    for d, dom in enumerate(family[0]):
        residues = [c[d] for c in columns if c[d] is not None]
        assert residues == list(range(len(dom))), "every residue exactly once, in order"
    assert all(len(c) == 3 for c in columns)


def test_columns_recover_the_known_correspondence(result, family):
    _, keeps = family
    core = [result.columns[i] for i in result.core_positions]
    assert len(core) > 120
    right = sum(1 for c in core if keeps[0][c[0]] == keeps[1][c[1]] == keeps[2][c[2]])
    assert right >= 0.95 * len(core)
    assert 0.0 < result.avg_rmsd < 1.0


def test_getters_return_new_objects(result):
    for name in ("columns", "core_positions", "transforms", "full_transforms"):
        first = getattr(result, name)
        assert first is not getattr(result, name)
        first.clear()
        assert len(getattr(result, name)) > 0
    cols = result.columns
    cols[0][0] = "changed"
    assert result.columns[0][0] != "changed"


def test_read_only(result):
    for name in ("n_columns", "score", "columns", "transforms"):
        with pytest.raises(AttributeError):
            setattr(result, name, 1)


def test_transforms_are_identities_and_full_transforms_are_the_pre_transforms(family):
    plain = ovelt.multiple_align(family[0])
    assert all(is_identity(t) for t in plain.transforms)
    assert all(is_identity(t) for t in plain.full_transforms)

    pre = [rotation_about_z(30 * i, [i, -2 * i, 5]) for i in range(3)]
    moved = ovelt.multiple_align(family[0], pre_transforms=pre)
    assert len(moved.full_transforms) == 3
    for full, p in zip(moved.full_transforms, pre):
        np.testing.assert_allclose(full.rotation, p.rotation, atol=1e-15)
        np.testing.assert_allclose(full.translation, p.translation, atol=1e-15)
    # The pre-transforms do not enter the alignment.
    assert moved.columns == plain.columns


def test_get_transform(result):
    assert is_identity(result.get_transform(0))
    assert is_identity(result.get_transform(index=2))
    with pytest.raises(ValueError, match="^Invalid domain index: 3$"):
        result.get_transform(3)
    with pytest.raises(OverflowError):
        result.get_transform(-1)
    with pytest.raises(TypeError, match="index"):
        result.get_transform(1.0)


def test_repr(result):
    assert repr(result) == (
        f"MultipleAlignmentResult(n_structures=3, n_columns={result.n_columns}, "
        f"n_core={result.n_core}, avg_rmsd={result.avg_rmsd:.3f})"
    )


def test_identical_domains_align_every_residue(family):
    d = family[0][0]
    r = ovelt.multiple_align([d, d.copy()])
    assert r.n_columns == r.n_core == len(d)
    assert r.score == 1.0
    assert r.avg_rmsd == pytest.approx(0.0, abs=1e-9)


def test_too_short_domain_gives_infinite_average_rmsd(kringles):
    tiny = ovelt.Domain.from_arrays("tiny", np.array([[0.0, 0.0, 0.0], [3.8, 0.0, 0.0]]), "AG")
    r = ovelt.multiple_align([kringles[0], tiny])
    assert r.avg_rmsd == float("inf")
    assert r.n_core == 0
    assert r.n_columns == len(kringles[0]) + 2


# --- write_all -------------------------------------------------------------

def first_model_atoms(path):
    model = gemmi.read_structure(str(path))[0]
    return np.array([a.pos.tolist() for ch in model for res in ch for a in res])


def test_write_all_moves_each_file_by_its_full_transform(kringles, tmp_path):
    pre = [rotation_about_z(40 * i, [10 * i, 0, -3]) for i in range(3)]
    r = ovelt.multiple_align(kringles, pre_transforms=pre)
    paths = r.write_all(str(tmp_path / "out"))
    sources = sorted(KRINGLE.glob("*.pdb"))
    assert paths == [str(tmp_path / "out" / f"aligned_{s.stem}.pdb") for s in sources]
    for out, src, full in zip(paths, sources, r.full_transforms):
        np.testing.assert_allclose(first_model_atoms(out), full.apply(first_model_atoms(src)), atol=6e-4)


def test_write_all_prefix(kringles, tmp_path):
    result = ovelt.multiple_align(kringles)
    assert [p.rsplit("/", 1)[1] for p in result.write_all(str(tmp_path), prefix="")] == [
        "1kdu.pdb", "1pk4.pdb", "1pkr.pdb"]
    with pytest.raises(TypeError, match="prefix"):
        result.write_all(str(tmp_path), prefix=1)
    with pytest.raises(TypeError, match="output_dir"):
        result.write_all(1)


def test_write_all_without_source_file(kringles, tmp_path):
    coords = np.array([[3.8 * i, 0.0, 0.0] for i in range(30)])
    r = ovelt.multiple_align([kringles[0], ovelt.Domain.from_arrays("a", coords, "A" * 30)])
    with pytest.raises(ValueError, match="^No source PDB file for domain 1$"):
        r.write_all(str(tmp_path))
    assert (tmp_path / "aligned_1kdu.pdb").exists(), "files before the failure stay"


def test_write_all_unwritable_directory(result, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(IOError, match="^Failed to create output directory: "):
        result.write_all(str(blocker / "sub"))


@pytest.mark.parametrize("params", [None, dict(e1=3.0, gap_open=1.0, max_iter=4)], ids=["default", "custom"])
def test_average_rmsd_is_the_mean_of_the_pairwise_runs(family, params):
    params = make_params(params)
    domains = family[0]
    r = ovelt.multiple_align(domains, params=params)
    pairs = [ovelt.pairwise_align(domains[i], domains[j], params).rmsd for i in range(3) for j in range(i + 1, 3)]
    assert r.avg_rmsd == pytest.approx(np.mean(pairs), rel=1e-12)
