"""Structure files in every form the archives serve: gzip, mmCIF (read and
written through gemmi), AlphaFold-style models, and paths as os.PathLike."""
import gzip
import pickle
import re
from pathlib import Path

import numpy as np
import pytest

import ovelt
from conftest import DATA

gemmi = pytest.importorskip("gemmi")

# Several chains and DNA (1d66), models (1lcd), alternate locations (1ejg,
# 1orc), insertion codes (1orc, 1kdu) and a plain single chain (1mbn).
SOURCES = ["edge/1d66.pdb", "edge/1lcd.pdb", "edge/1ejg.pdb", "edge/1orc.pdb", "structures/kringle/1kdu.pdb",
           "structures/globin/1mbn.pdb"]
MBN = DATA / "structures/globin/1mbn.pdb"
GLOBINS = [DATA / f"structures/globin/{n}.pdb" for n in ("1mbn", "1hho", "1h97")]


def to_mmcif(source: Path, path: Path) -> Path:
    st = gemmi.read_structure(str(source))
    st.setup_entities()
    st.make_mmcif_document().write_file(str(path))
    return path


def gzipped(source: Path, path: Path) -> Path:
    path.write_bytes(gzip.compress(source.read_bytes()))
    return path


def alphafold_model(source: Path, path: Path) -> Path:
    """An mmCIF model laid out as AlphaFold DB serves them: one model, chain
    A, pLDDT in the B-factor column, no waters or ligands, per-residue
    confidence in _ma_qa_metric_local."""
    st = gemmi.read_structure(str(source))
    st.remove_ligands_and_waters()
    st.name = "AF-P02185-F1"
    residues = list(st[0]["A"])
    for k, res in enumerate(residues):
        for atom in res:
            atom.b_iso = 50.0 + k % 50
    st.setup_entities()
    doc = st.make_mmcif_document()
    loop = doc.sole_block().init_loop("_ma_qa_metric_local.", ["label_asym_id", "label_comp_id", "label_seq_id",
                                                               "metric_id", "metric_value", "model_id", "ordinal_id"])
    for k, res in enumerate(residues):
        loop.add_row(["A", res.name, str(k + 1), "2", f"{50.0 + k % 50:.2f}", "1", str(k + 1)])
    doc.write_file(str(path))
    return path


def ca_text(domain: ovelt.Domain, path: Path) -> str:
    """The CA-only PDB text of a domain: its id, chain, labels, sequence and
    coordinates to 1e-3 A, all in one string."""
    domain.to_pdb(path, full=False)
    return path.read_text()


def atoms(path: Path, chain: str | None = None) -> np.ndarray:
    """Positions of every atom of the first model, as gemmi reads the file."""
    st = gemmi.read_structure(str(path))
    return np.array([a.pos.tolist() for c in st[0] if chain in (None, c.name) for r in c for a in r])


@pytest.mark.parametrize("source", SOURCES)
def test_twins_read_to_the_same_domain(tmp_path, source):
    src = DATA / source
    cif = to_mmcif(src, tmp_path / f"{src.stem}.cif")
    twins = [gzipped(src, tmp_path / f"{src.stem}.pdb.gz"), cif, gzipped(cif, tmp_path / f"{src.stem}.cif.gz")]
    for chain in [None, *sorted({c.name for c in gemmi.read_structure(str(src))[0]})]:
        try:
            want = ca_text(ovelt.Domain.from_pdb(src, chain), tmp_path / "want.pdb")
        except ValueError as e:  # a DNA chain: the same error, listing the same chains
            tail = str(e).split(" of ")[-1].split(" (")[-1]
            for twin in twins:
                with pytest.raises(ValueError, match=rf"^Failed to parse (PDB|mmCIF): .* of {re.escape(str(twin))}"
                                                     rf" \({re.escape(tail)}$"):
                    ovelt.Domain.from_file(twin, chain)
            continue
        for twin in twins:
            for read in (ovelt.Domain.from_file, ovelt.Domain.from_pdb):
                assert ca_text(read(twin, chain), tmp_path / "got.pdb") == want, (twin, chain)


def test_long_mmcif_chain_ids(tmp_path):
    st = gemmi.read_structure(str(DATA / "edge/1d66.pdb"))
    for c in st[0]:
        c.name = c.name * 3
    st.setup_entities()
    path = tmp_path / "long.cif"
    st.make_mmcif_document().write_file(str(path))
    d = ovelt.Domain.from_file(path, "BBB")
    assert (d.chain, d.sequence) == ("BBB", ovelt.Domain.from_pdb(DATA / "edge/1d66.pdb", "B").sequence)
    with pytest.raises(ValueError, match=r"^Failed to parse mmCIF: No C-alpha atoms found in chain 'B' of .*"
                                         r" \(chains with C-alpha atoms: 'AAA', 'BBB'\)$"):
        ovelt.Domain.from_file(path, "B")
    with pytest.raises(ValueError, match="PDB chain ids are one character"):
        ovelt.Domain.from_file(DATA / "edge/1d66.pdb", "BBB")
    assert pickle.loads(pickle.dumps(d)).chain == "BBB"
    # The full structure is written as mmCIF, the domain's chain alone moved.
    t = ovelt.Transform.from_matrix(np.eye(3), np.array([5.0, 0.0, -1.0]))
    d.to_pdb(tmp_path / "moved.cif", t)
    np.testing.assert_allclose(atoms(tmp_path / "moved.cif", "BBB"), t.apply(atoms(path, "BBB")), atol=1e-3)
    np.testing.assert_array_equal(atoms(tmp_path / "moved.cif", "AAA"), atoms(path, "AAA"))


def test_alphafold_model(tmp_path):
    model = gzipped(alphafold_model(MBN, tmp_path / "model.cif"), tmp_path / "AF-P02185-F1-model_v4.cif.gz")
    got = ovelt.Domain.from_file(model)
    assert got.id == "AF-P02185-F1-model_v4"
    got.id = "1mbn"
    assert ca_text(got, tmp_path / "got.pdb") == ca_text(ovelt.Domain.from_pdb(MBN), tmp_path / "want.pdb")
    result = ovelt.align_pdbs([model, GLOBINS[1]], tmp_path / "out")
    out = tmp_path / "out" / "aligned_AF-P02185-F1-model_v4.cif.gz"
    moved = gemmi.cif.read(str(out)).sole_block()
    assert len(moved.find_values("_ma_qa_metric_local.metric_value")) == len(got)
    t = result.full_transforms[0]
    np.testing.assert_allclose(atoms(out), t.apply(atoms(model)), atol=1e-3)


@pytest.mark.parametrize("source_form, output, chain", [
    ("pdb.gz", "out.pdb", None),
    ("pdb", "out.pdb.gz", None),
    ("cif", "out.cif", None),
    ("cif.gz", "out.cif.gz", None),
    ("cif", "out.cif", "B"),
])
def test_outputs_move_every_atom(tmp_path, source_form, output, chain):
    pdb = DATA / "edge/1d66.pdb"
    source = {"pdb": pdb, "pdb.gz": gzipped(pdb, tmp_path / "s.pdb.gz")}.get(source_form)
    if source is None:
        cif = to_mmcif(pdb, tmp_path / "s.cif")
        source = cif if source_form == "cif" else gzipped(cif, tmp_path / "s.cif.gz")
    angle = 0.7
    rotation = np.array([[np.cos(angle), -np.sin(angle), 0], [np.sin(angle), np.cos(angle), 0], [0, 0, 1.0]])
    t = ovelt.Transform.from_matrix(rotation, np.array([12.5, -3.0, 40.25]))
    ovelt.transform_pdb_file(source, tmp_path / output, t, chain)
    assert ((tmp_path / output).read_bytes()[:2] == b"\x1f\x8b") == output.endswith(".gz")
    before = atoms(source)
    after = atoms(tmp_path / output)
    if chain is None:
        np.testing.assert_allclose(after, t.apply(before), atol=1e-3)
    else:
        np.testing.assert_allclose(atoms(tmp_path / output, chain), t.apply(atoms(source, chain)), atol=1e-3)
        np.testing.assert_array_equal(atoms(tmp_path / output, "A"), atoms(source, "A"))


def test_align_pdbs_keeps_each_input_format(tmp_path):
    inputs = [gzipped(to_mmcif(GLOBINS[0], tmp_path / "1mbn.cif"), tmp_path / "1mbn.cif.gz"),
              gzipped(GLOBINS[1], tmp_path / "1hho.pdb.gz"), str(GLOBINS[2])]
    result = ovelt.align_pdbs(inputs, tmp_path / "out")
    plain = ovelt.align_pdbs([str(p) for p in GLOBINS], str(tmp_path / "plain"))
    assert result.columns == plain.columns
    names = ["aligned_1mbn.cif.gz", "aligned_1hho.pdb.gz", "aligned_1h97.pdb"]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(names)
    for source, name, t in zip(inputs, names, result.full_transforms):
        np.testing.assert_allclose(atoms(tmp_path / "out" / name), t.apply(atoms(Path(source))), atol=1e-3)


def test_paths_may_be_pathlike(tmp_path):
    dssp = DATA / "dssp/1mbn.dssp"
    d = ovelt.Domain.from_pdb(MBN)
    assert ovelt.Domain.from_file(MBN).sequence == d.sequence
    assert ovelt.Domain.from_dssp(MBN, dssp).secondary_structure == ovelt.Domain.from_dssp(str(MBN), str(dssp)).secondary_structure
    d.load_dssp(dssp)
    d.to_pdb(tmp_path / "a.pdb")
    ovelt.transform_pdb_file(MBN, tmp_path / "b.pdb", ovelt.Transform())
    assert (tmp_path / "a.pdb").read_bytes() == (tmp_path / "b.pdb").read_bytes() == MBN.read_bytes()
    result = ovelt.align_pdbs(GLOBINS[:2], tmp_path / "o")
    assert result.write_all(tmp_path / "w") == [str(tmp_path / "w" / f"aligned_{p.stem}.pdb") for p in GLOBINS[:2]]
    with pytest.raises(TypeError, match=r"argument 'path' must be str or os\.PathLike, not bytes"):
        ovelt.Domain.from_file(bytes(MBN))
