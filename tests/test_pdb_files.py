"""The PDB reader against an independent parser (gemmi) on every real file we ship."""
import gzip
import shutil

import gemmi
import numpy as np
import pytest

import ovelt
from conftest import DATA, manifest_rows

ROWS = manifest_rows()
ACCEPTED_ALTLOCS = {"\0", " ", "A", "1", "L", "O"}


def readable_path(row, tmp_path):
    """The file as plain text (the .gz entry is decompressed first)."""
    path = DATA / row["file"]
    if path.suffix == ".gz":
        plain = tmp_path / path.stem
        with gzip.open(path, "rb") as src, open(plain, "wb") as dst:
            shutil.copyfileobj(src, dst)
        return plain
    return path


def gemmi_trace(path, chain_name):
    """(labels, residue names, CA positions) as gemmi sees the first model.

    gemmi also lists HETATM residues and splits a residue with two residue
    types into two; both are set aside the way the CA reader does."""
    model = gemmi.read_structure(str(path))[0]
    chain = model[chain_name]
    labels, names, coords, last = [], [], [], None
    for res in chain:
        if res.het_flag != "A":
            continue
        cas = [a for a in res if a.name == "CA" and a.element.name == "C" and a.altloc in ACCEPTED_ALTLOCS]
        key = (res.seqid.num, res.seqid.icode)
        if not cas or key == last:
            continue
        last = key
        icode = "" if res.seqid.icode == " " else res.seqid.icode
        labels.append(f"{res.seqid.num}{icode}")
        names.append(res.name)
        coords.append(cas[0].pos.tolist())
    return labels, names, np.array(coords)


@pytest.mark.parametrize("row", ROWS, ids=[r["file"] for r in ROWS])
def test_reader_agrees_with_gemmi(row, tmp_path):
    path = readable_path(row, tmp_path)
    chain = None if row["chain"] == "-" else row["chain"]
    d = ovelt.Domain.from_pdb(str(path), chain)
    assert len(d) == int(row["ca_count"])
    labels, names, coords = gemmi_trace(path, chain or "")
    assert [labels[0], labels[-1]] == [row["first_label"], row["last_label"]]
    assert len(labels) == len(d)
    np.testing.assert_allclose(d.coordinates, coords, rtol=0, atol=1e-9)
    expected = "".join(
        (gemmi.find_tabulated_residue(n).one_letter_code.upper() if gemmi.find_tabulated_residue(n) else "X")
        for n in names
    )
    assert d.sequence == expected.replace(" ", "X")
    assert d.chain == (chain or " ")
    assert d.id == path.name.split(".")[0]
    assert d.pdb_file == str(path)


def test_labels_carry_insertion_codes():
    # Labels are only visible through a CA-only round trip (the DSSP matching
    # key); 1orc has 56A-56E and 1kdu has -1 and 44A.
    for rel, wanted in [("edge/1orc.pdb", ["56", "56A", "56B", "56C", "56D", "56E", "57"]),
                        ("structures/kringle/1kdu.pdb", ["-1", "44", "44A", "44B", "44C", "45"])]:
        d = ovelt.Domain.from_pdb(str(DATA / rel))
        labels, _, _ = gemmi_trace(DATA / rel, "A")
        assert all(w in labels for w in wanted)
        assert len(labels) == len(d)


def test_crlf_twin_reads_identically():
    lf = ovelt.Domain.from_pdb(str(DATA / "edge/1crn.pdb"))
    crlf = ovelt.Domain.from_pdb(str(DATA / "edge/1crn_crlf.pdb"))
    assert lf.sequence == crlf.sequence
    np.testing.assert_array_equal(lf.coordinates, crlf.coordinates)


@pytest.mark.parametrize("chain, n", [("A", 57), ("B", 57), (None, 57)])
def test_chain_selection_in_multi_chain_entry(chain, n):
    d = ovelt.Domain.from_pdb(str(DATA / "edge/1d66.pdb"), chain)
    assert len(d) == n
    assert d.chain == (chain or "A")


def test_missing_chain_names_it():
    with pytest.raises(ValueError) as e:
        ovelt.Domain.from_pdb(str(DATA / "edge/1d66.pdb"), "C")
    assert str(e.value) == (
        "Failed to parse PDB: PDB parsing error: No C-alpha atoms found in chain 'C' of " + str(DATA / "edge/1d66.pdb")
        + " (chains with C-alpha atoms: 'A', 'B')")


def test_gzip_file_reads_as_its_text(tmp_path):
    # As the archive serves it: the domain is the one its inflated text gives.
    plain = tmp_path / "8tim.pdb"
    plain.write_bytes(gzip.decompress((DATA / "edge/8tim.pdb.gz").read_bytes()))
    packed, unpacked = ovelt.Domain.from_pdb(str(DATA / "edge/8tim.pdb.gz")), ovelt.Domain.from_pdb(str(plain))
    assert (packed.id, packed.sequence, len(packed)) == (unpacked.id, unpacked.sequence, len(unpacked))
    np.testing.assert_array_equal(packed.coordinates, unpacked.coordinates)


def ca_file_labels(path):
    return [line[22:27].strip() for line in open(path) if line.startswith("ATOM")]


@pytest.mark.parametrize("row", ROWS, ids=[r["file"] for r in ROWS])
def test_ca_only_round_trip(row, tmp_path):
    path = readable_path(row, tmp_path)
    chain = None if row["chain"] == "-" else row["chain"]
    d = ovelt.Domain.from_pdb(str(path), chain)
    out = tmp_path / "ca.pdb"
    d.to_pdb(str(out), full=False)
    labels, _, _ = gemmi_trace(path, chain or "")
    assert ca_file_labels(out) == labels
    back = ovelt.Domain.from_pdb(str(out))
    assert back.sequence == d.sequence
    assert back.chain == (chain or "_")
    np.testing.assert_allclose(back.coordinates, d.coordinates, rtol=0, atol=5e-4)


def split_coordinates(line):
    return line[:30] + line[54:], [float(line[30 + 8 * k:38 + 8 * k]) for k in range(3)]


@pytest.mark.parametrize("row", ROWS, ids=[r["file"] for r in ROWS])
def test_identity_rewrite_changes_only_coordinate_formatting(row, tmp_path):
    src = readable_path(row, tmp_path)
    out = tmp_path / "out.pdb"
    ovelt.transform_pdb_file(str(src), str(out), ovelt.Transform())
    source_lines = src.read_bytes().decode().split("\n")
    if source_lines[-1] == "":
        source_lines.pop()
    written = out.read_text()
    assert written.endswith("\n")
    written_lines = written[:-1].split("\n")
    past_first_model, kept = False, []
    for line in (s[:-1] if s.endswith("\r") else s for s in source_lines):
        if line.startswith("ENDMDL"):
            past_first_model = True
        elif past_first_model and line.startswith(("ATOM", "HETATM")):
            continue
        kept.append(line)
    assert len(written_lines) == len(kept)
    for before, after in zip(kept, written_lines):
        if before.startswith(("ATOM", "HETATM")) and len(before) >= 54:
            (rest_b, xyz_b), (rest_a, xyz_a) = split_coordinates(before), split_coordinates(after)
            assert rest_a == rest_b
            assert xyz_a == pytest.approx(xyz_b, abs=5e-4)
            assert all(len(after[30 + 8 * k:38 + 8 * k].split(".")[1]) == 3 for k in range(3))
        else:
            assert after == before


@pytest.mark.parametrize("row", [r for r in ROWS if r["dssp_file"] != "-"], ids=lambda r: r["file"])
def test_dssp_files_apply_to_their_structures(row):
    pdb, dssp = str(DATA / row["file"]), str(DATA / row["dssp_file"])
    d = ovelt.Domain.from_dssp(pdb, dssp, row["chain"])
    assert d.has_dssp
    ss = d.secondary_structure
    assert len(ss) == len(d) and set(ss) <= set("HEC")
    loaded = ovelt.Domain.from_pdb(pdb, row["chain"])
    loaded.load_dssp(dssp)
    assert loaded.secondary_structure == ss
    helix, strand, coil = d.ss_content()
    assert helix == ss.count("H") / len(d) and strand == ss.count("E") / len(d)
    assert helix + strand > 0.05  # every shipped protein has some regular structure


def test_known_secondary_structure():
    mbn = ovelt.Domain.from_dssp(str(DATA / "structures/globin/1mbn.pdb"), str(DATA / "dssp/1mbn.dssp"))
    assert mbn.ss_content()[0] > 0.7 and "E" not in mbn.secondary_structure  # all-alpha
    barrel = ovelt.Domain.from_dssp(str(DATA / "structures/lipocalin_obp/1a3y.pdb"), str(DATA / "dssp/1a3y.dssp"))
    assert barrel.ss_content()[1] > 0.3  # beta barrel
