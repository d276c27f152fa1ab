from pathlib import Path
"""The Domain class: constructors, properties, special methods and errors."""
import gzip
import numpy as np
import pytest

import ovelt
from conftest import DATA

MBN = str(DATA / "structures/globin/1mbn.pdb")
MBN_DSSP = str(DATA / "dssp/1mbn.dssp")


def test_empty_domain():
    d = ovelt.Domain("x")
    assert (d.id, d.chain, len(d), bool(d), d.sequence, d.pdb_file, d.has_dssp) == ("x", "A", 0, False, "", "", False)
    assert d.coordinates.shape == (0, 3) and d.coordinates.dtype == np.float64
    assert d.ss_content() == (0.0, 0.0, 0.0)
    assert ovelt.Domain("y", chain="Q").chain == "Q"
    assert ovelt.Domain(id="y", chain="?").chain == "?"


def test_repr_str_len_bool():
    d = ovelt.Domain.from_arrays("m", np.zeros((3, 3)), "ACD")
    assert repr(d) == "Domain(id='m', chain='A', n_residues=3)"
    assert str(d) == "<Domain m chain A with 3 residues>"
    assert len(d) == 3 and bool(d)
    assert repr(ovelt.Domain("it's", "é")) == "Domain(id='it's', chain='é', n_residues=0)"


def test_from_arrays_reads_strided_views_and_keeps_letters():
    big = np.arange(30, dtype=np.float64).reshape(5, 6)
    view = big[::2, ::2]  # 3 x 3, non-contiguous
    d = ovelt.Domain.from_arrays("v", view, "aÉc", chain="Z")
    np.testing.assert_array_equal(d.coordinates, view)
    assert d.sequence == "aÉc" and d.chain == "Z" and d.secondary_structure == "CCC"
    assert d.coordinates.flags["C_CONTIGUOUS"]


@pytest.mark.parametrize("coords, seq, message", [
    (np.zeros((5, 3)), "ACDE", "Number of coordinates must match sequence length"),
    (np.zeros((5, 4)), "ACDEF", "Coordinates must have shape (N, 3)"),
    (np.zeros((5, 4)), "A", "Coordinates must have shape (N, 3)"),
])
def test_from_arrays_errors(coords, seq, message):
    with pytest.raises(ValueError) as e:
        ovelt.Domain.from_arrays("x", coords, seq)
    assert str(e.value) == message


@pytest.mark.parametrize("bad", [[[0.0, 0.0, 0.0]], np.zeros((1, 3), dtype=np.int64), np.zeros(3)])
def test_from_arrays_refuses_non_float64_2d(bad):
    with pytest.raises(TypeError, match="coords"):
        ovelt.Domain.from_arrays("x", bad, "A")


def test_coordinates_are_copies_and_setter_checks_shape():
    d = ovelt.Domain.from_pdb(MBN)
    c = d.coordinates
    c[:] = 0.0
    assert d.coordinates[0, 0] == -3.6
    moved = d.coordinates + 1.0
    d.coordinates = moved
    np.testing.assert_array_equal(d.coordinates, moved)
    with pytest.raises(ValueError, match=r"^Expected 153 coordinates, got 10$"):
        d.coordinates = np.zeros((10, 3))
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        d.coordinates = np.zeros((153, 2))
    with pytest.raises(TypeError):
        d.coordinates = c.tolist()
    np.testing.assert_array_equal(d.coordinates, moved)


def test_copy_is_independent():
    d = ovelt.Domain.from_pdb(MBN)
    c = d.copy()
    c.coordinates = np.zeros((len(d), 3))
    c.id = "other"
    c.chain = "B"
    assert d.coordinates[0, 0] == -3.6 and d.id == "1mbn" and d.chain == "A"
    assert c.sequence == d.sequence and c.pdb_file == d.pdb_file


def test_setters():
    d = ovelt.Domain("x")
    d.id = "new"
    d.chain = "é"
    assert (d.id, d.chain) == ("new", "é")
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        d.chain = "AB"
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        d.chain = ""
    for attr, value in [("chain", None), ("chain", 1), ("id", 3)]:
        with pytest.raises(TypeError):
            setattr(d, attr, value)
    for attr in ("id", "chain", "coordinates"):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(d, attr)
    for attr in ("pdb_file", "sequence", "secondary_structure", "has_dssp"):
        with pytest.raises(AttributeError):
            setattr(d, attr, "x")


@pytest.mark.parametrize("call", [
    lambda: ovelt.Domain(),
    lambda: ovelt.Domain("x", "A", "B"),
    lambda: ovelt.Domain("x", bogus=1),
    lambda: ovelt.Domain(3),
    lambda: ovelt.Domain.from_pdb(MBN, chain=1),
    lambda: ovelt.Domain.from_pdb(path=MBN, chain="A", extra=1),
])
def test_argument_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_constructor_messages_read_like_python():
    with pytest.raises(TypeError, match=r"^Domain\(\) missing 1 required positional argument: 'id'$"):
        ovelt.Domain()
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        ovelt.Domain("x", "AB")
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        ovelt.Domain.from_pdb(MBN, "AB")


def test_from_pdb_errors_are_value_errors(tmp_path):
    with pytest.raises(ValueError) as e:
        ovelt.Domain.from_pdb(str(tmp_path / "missing.pdb"))
    assert str(e.value) == "Failed to parse PDB: I/O error: No such file or directory (os error 2)"
    with pytest.raises(ValueError) as e:
        ovelt.Domain.from_pdb(str(tmp_path))
    assert str(e.value) == "Failed to parse PDB: I/O error: Is a directory (os error 21)"
    with pytest.raises(ValueError) as e:
        ovelt.Domain.from_pdb(MBN + "\0.bak")
    assert str(e.value) == "Failed to parse PDB: I/O error: file name contained an unexpected NUL byte"
    empty = tmp_path / "empty.pdb"
    empty.write_text("")
    with pytest.raises(ValueError) as e:
        ovelt.Domain.from_pdb(str(empty))
    assert str(e.value) == f"Failed to parse PDB: PDB parsing error: No C-alpha atoms found in chain '_' of {empty}"


def test_question_mark_chain_means_first_chain():
    assert ovelt.Domain.from_pdb(str(DATA / "edge/1d66.pdb"), "?").chain == "A"


def test_docstrings():
    D = ovelt.Domain
    assert D.__text_signature__ == "(id, chain=None)"
    assert D.__doc__ == ("Python wrapper for Domain.\n\nRepresents a protein domain with C-alpha coordinates and "
                         "optional\nsecondary structure information.")
    sigs = {"from_pdb": "(path, chain=None)", "from_dssp": "(pdb_path, dssp_path, chain=None)",
            "from_arrays": "(id, coords, sequence, chain=None)", "load_dssp": "($self, path)",
            "to_pdb": "($self, path, transform=None, full=True)", "copy": "($self)", "ss_content": "($self)"}
    for name, sig in sigs.items():
        assert getattr(D, name).__text_signature__ == sig
    assert D.copy.__doc__ == "Returns a copy of this domain."
    assert D.from_pdb.__doc__.endswith("    IOError: If the file cannot be read.")
    props = {"id": "Returns the domain identifier.", "chain": "Returns the chain identifier.",
             "pdb_file": "Returns the source PDB file path.",
             "sequence": "Returns the amino acid sequence as a string.",
             "secondary_structure": "Returns the secondary structure string.",
             "has_dssp": "Returns True if DSSP data has been loaded.",
             "coordinates": "Returns C-alpha coordinates as numpy array (N x 3)."}
    for name, doc in props.items():
        assert getattr(D, name).__doc__ == doc


def test_load_dssp_failures_leave_domain_unchanged(tmp_path):
    d = ovelt.Domain.from_pdb(MBN)
    bad = tmp_path / "bad.dssp"
    bad.write_bytes(Path(MBN_DSSP).read_bytes() + b"\xff\xfe\n")
    cases = [(str(bad), "I/O error: stream did not contain valid UTF-8"),
             (str(tmp_path / "missing.dssp"), "I/O error: No such file or directory (os error 2)"),
             (str(tmp_path), "I/O error: Is a directory (os error 21)")]
    for path, text in cases:
        with pytest.raises(ValueError) as e:
            d.load_dssp(path)
        assert str(e.value) == "Failed to parse DSSP: " + text
        assert not d.has_dssp and d.secondary_structure == "C" * len(d)


def test_load_dssp_without_table(tmp_path):
    d = ovelt.Domain.from_pdb(MBN)
    plain = tmp_path / "plain.dssp"
    plain.write_text("no residue table here\n")
    d.load_dssp(str(plain))
    assert d.has_dssp and d.secondary_structure == "C" * len(d)
    d.load_dssp(MBN_DSSP)
    assert "H" in d.secondary_structure


def test_from_dssp_errors_name_the_failing_step(tmp_path):
    with pytest.raises(ValueError, match="^Failed to parse PDB: I/O error: "):
        ovelt.Domain.from_dssp(str(tmp_path / "x.pdb"), MBN_DSSP)
    with pytest.raises(ValueError, match="^Failed to parse DSSP: I/O error: "):
        ovelt.Domain.from_dssp(MBN, str(tmp_path / "x.dssp"))
    with pytest.raises(ValueError, match="^Failed to parse PDB: PDB parsing error: No C-alpha atoms found in chain 'Q'"):
        ovelt.Domain.from_dssp(MBN, MBN_DSSP, "Q")


ATOM = "ATOM      1  CA  ALA A   1      11.104   6.134  -6.504  1.00  0.00           C"


GZIPPED = gzip.compress(((ATOM + "\n") * 40 + "END\n").encode())


@pytest.mark.parametrize("content, message", [
    (b"", "PDB: PDB parsing error: No C-alpha atoms found in chain '_' of {path}"),
    (ATOM[:50].encode(), "PDB: PDB parsing error: No C-alpha atoms found in chain '_' of {path}"),  # truncated
    ((ATOM[:30] + "  11,10" + ATOM[37:]).encode(), "PDB: PDB parsing error: Invalid X coordinate in line: {line}"),
    ((ATOM[:46] + "   abc  " + ATOM[54:]).encode(), "PDB: PDB parsing error: Invalid Z coordinate in line: {line}"),
    (b"\x1f\x8b\x08\x00" + bytes(range(256)) * 64, "PDB: I/O error: damaged gzip data in {path} (invalid block type)"),
    (GZIPPED[:-12], "PDB: I/O error: gzip data in {path} ends early (truncated file)"),
    (gzip.compress(bytes(range(256)) * 64), "PDB: I/O error: stream did not contain valid UTF-8"),
    (b"data_x\n_entry.id x\n", "mmCIF: {path} holds no _atom_site table"),
    (gzip.compress(b"data_x\nloop_\n_atom_site.id\n_atom_site.Cartn_x\n1\n"), "mmCIF: {path} is not valid mmCIF: "),
    (gzip.compress(b"data_x\n")[:-6], "mmCIF: gzip data in {path} ends early (truncated file)"),
])
def test_bad_structure_input(tmp_path, content, message):
    path = tmp_path / "bad.pdb"
    path.write_bytes(content)
    with pytest.raises(ValueError) as e:
        ovelt.Domain.from_pdb(str(path))
    expected = "Failed to parse " + message.format(path=path, line=content.decode(errors="replace"))
    assert str(e.value).startswith(expected) and (expected.endswith(": ") or str(e.value) == expected)


def test_nan_coordinates_are_numbers_to_the_reader(tmp_path):
    path = tmp_path / "nan.pdb"
    path.write_text(ATOM[:30] + "     NaN" + ATOM[38:] + "\n")
    d = ovelt.Domain.from_pdb(str(path))
    assert np.isnan(d.coordinates[0, 0]) and d.coordinates[0, 1] == 6.134


def test_long_binary_line_fails_fast(tmp_path):
    # 30 MB without a newline whose first bad byte comes early: the reader
    # stops there instead of gathering the whole "line".
    path = tmp_path / "blob.pdb"
    with open(path, "wb") as fh:
        fh.write(b"A" * 20000 + b"\xff")
        fh.write(b"B" * (30 << 20))
    with pytest.raises(ValueError, match="stream did not contain valid UTF-8"):
        ovelt.Domain.from_pdb(str(path))
