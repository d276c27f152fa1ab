"""align_pdbs: the read, pre-align, align and write pipeline."""
import gemmi
import numpy as np
import pytest

import ovelt
from conftest import DATA, make_params

FAMILIES = sorted(p for p in (DATA / "structures").iterdir() if p.is_dir())


def files_of(family):
    return [str(p) for p in sorted(family.glob("*.pdb"))]


def first_model_atoms(path):
    """Every atom of the first model as gemmi reads it, in file order."""
    model = gemmi.read_structure(str(path))[0]
    return np.array([a.pos.tolist() for ch in model for res in ch for a in res])


def is_identity(t):
    return np.array_equal(t.rotation, np.eye(3)) and np.array_equal(t.translation, np.zeros(3))


KRINGLES = files_of(DATA / "structures" / "kringle")


# --- argument checks, in order, before any file is touched ----------------

@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(pdb_files=["a.pdb"], output_dir="o"), ValueError, "^Need at least 2 PDB files$"),
        (dict(pdb_files=["a.pdb", "b.pdb"], output_dir="o", reference_index=2), ValueError,
         "^Reference index 2 out of range for 2 structures$"),
        (dict(pdb_files=["a.pdb"], output_dir="o", chain="AB"), ValueError, "^expected a string of length 1$"),
        (dict(pdb_files=["a.pdb"], output_dir="o", chain=1), TypeError, "chain"),
        (dict(pdb_files=["a.pdb"], output_dir="o", reference_index=-1), OverflowError, None),
        (dict(pdb_files=["a.pdb"], output_dir="o", reference_index=0.0), TypeError, "reference_index"),
        (dict(pdb_files="ab.pdb", output_dir="o"), TypeError, "pdb_files"),
        (dict(pdb_files=["a.pdb", 1], output_dir="o"), TypeError, "pdb_files"),
        (dict(pdb_files=["a.pdb"], output_dir=1), TypeError, "output_dir"),
        (dict(pdb_files=["a.pdb"], output_dir="o", params=1), TypeError, "params"),
    ],
)
def test_argument_errors(kwargs, exc, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(exc, match=message):
        ovelt.align_pdbs(**kwargs)
    assert list(tmp_path.iterdir()) == []


def test_docstring():
    doc = ovelt.align_pdbs.__doc__
    assert ovelt.align_pdbs.__text_signature__ == (
        "(pdb_files, output_dir, params=None, chain=None, reference_index=0, *, search=None, threads=None, "
        "progress=None)")
    assert doc.splitlines()[0] == "Aligns multiple structures with automatic pre-alignment and full PDB output."
    assert "    chain: Optional chain to extract from each PDB (default: first chain found).\n" in doc
    assert doc.endswith("Returns:\n    MultipleAlignmentResult with full transforms and output file paths.")


@pytest.mark.parametrize("bad_index", [1, 2])
def test_unreadable_file_stops_before_any_work(bad_index, tmp_path):
    files = KRINGLES[:]
    files.insert(bad_index, str(tmp_path / "missing.pdb"))
    out = tmp_path / "out"
    with pytest.raises(ValueError, match=f"^Failed to parse {tmp_path}/missing.pdb: I/O error: .*\\(os error 2\\)$"):
        ovelt.align_pdbs(files, str(out))
    assert not out.exists()


def test_chain_without_atoms_is_a_parse_failure(tmp_path):
    out = tmp_path / "out"
    with pytest.raises(ValueError, match=f"^Failed to parse {KRINGLES[0]}: "):
        ovelt.align_pdbs(KRINGLES, str(out), chain="Z")
    assert not out.exists()


def test_write_failure_is_an_ioerror(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(IOError, match="^Failed to create output directory: "):
        ovelt.align_pdbs(KRINGLES, str(blocker / "out"))


# --- real families ---------------------------------------------------------

@pytest.fixture(scope="module", params=FAMILIES, ids=lambda p: p.name)
def family_run(request, tmp_path_factory):
    files = files_of(request.param)
    out = tmp_path_factory.mktemp(request.param.name)
    return files, out, ovelt.align_pdbs(files, str(out))


def test_outputs_hold_every_input_atom_moved_by_its_full_transform(family_run):
    files, out, result = family_run
    assert sorted(p.name for p in out.iterdir()) == sorted(f"aligned_{p.rsplit('/', 1)[1]}" for p in files)
    assert len(result.transforms) == len(result.full_transforms) == len(files)
    for path, full in zip(files, result.full_transforms):
        source = first_model_atoms(path)
        written = first_model_atoms(out / f"aligned_{path.rsplit('/', 1)[1]}")
        assert written.shape == source.shape
        np.testing.assert_allclose(written, full.apply(source), atol=6e-4)
    # The reference (file 0) keeps its frame.
    assert is_identity(result.full_transforms[0])
    np.testing.assert_allclose(first_model_atoms(out / f"aligned_{files[0].rsplit('/', 1)[1]}"),
                               first_model_atoms(files[0]), atol=5e-4)


def test_written_files_superpose_close_relatives(tmp_path):
    """Around myoglobin, every member that aligns with it in the written
    frame lies on it: their aligned CA atoms are close without any further
    fit."""
    files = files_of(DATA / "structures" / "globin")
    ref = next(i for i, f in enumerate(files) if f.endswith("1mbn.pdb"))
    ovelt.align_pdbs(files, str(tmp_path), reference_index=ref)
    written = [ovelt.Domain.from_pdb(str(tmp_path / f"aligned_{f.rsplit('/', 1)[1]}")) for f in files]
    placed = 0
    for i in range(len(files)):
        pair = ovelt.multiple_align([written[ref], written[i]])
        if i == ref or pair.n_core < 30:
            continue
        placed += 1
        a, b = written[ref].coordinates, written[i].coordinates
        distances = [np.linalg.norm(a[c[0]] - b[c[1]]) for c in (pair.columns[k] for k in pair.core_positions)]
        assert np.median(distances) < 2.0, files[i]
    assert placed >= 3  # the two myoglobin variants and more


@pytest.mark.parametrize("params", [None, dict(e1=3.0, n_passes=1)], ids=["default", "custom"])
def test_reference_index_picks_the_frame(tmp_path, params):
    """Each file goes onto the unmoved reference by the scan-mode search."""
    params = make_params(params)
    files = KRINGLES
    result = ovelt.align_pdbs(files, str(tmp_path), params=params, reference_index=1)
    assert is_identity(result.full_transforms[1])
    for j in (0, 2):
        expected = ovelt.pairwise_align(ovelt.Domain.from_pdb(files[1]), ovelt.Domain.from_pdb(files[j]), params,
                                        scan_mode=True).transform
        np.testing.assert_allclose(result.full_transforms[j].rotation, expected.rotation, atol=1e-12)
        np.testing.assert_allclose(result.full_transforms[j].translation, expected.translation, atol=1e-9)
    np.testing.assert_allclose(first_model_atoms(tmp_path / "aligned_1pk4.pdb"), first_model_atoms(files[1]),
                               atol=5e-4)

