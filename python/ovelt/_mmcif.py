"""mmCIF files for the compiled module, read and written through gemmi.

The module asks this one for the C-alpha atoms of a file (it applies the
selection rules itself, the same as for PDB files) and for the text of a file
with its atoms moved (which it writes through its own atomic writer).
"""
from __future__ import annotations

import gzip
import zlib
from typing import Any

import numpy as np

# Inflated mmCIF text is held in memory (gemmi parses whole documents), so a
# gzipped file may inflate to this much and no more: a small hostile file
# cannot take all memory. The largest archive entries stay well below it.
MAX_INFLATED = 2 << 30

_GZIP_MAGIC = b"\x1f\x8b"


def _read_bytes(path: str) -> tuple[bool, bytes]:
    """(gzipped, the file's text as bytes); gzip by magic number, not by name."""
    with open(path, "rb") as f:
        gzipped = f.read(2) == _GZIP_MAGIC
        f.seek(0)
        if not gzipped:
            return False, f.read()
        out = bytearray()
        try:
            with gzip.GzipFile(fileobj=f) as z:
                while chunk := z.read(1 << 20):
                    out += chunk
                    if len(out) > MAX_INFLATED:
                        raise ValueError(f"gzip data in {path} inflates to more than {MAX_INFLATED} bytes")
        except EOFError:
            raise ValueError(f"gzip data in {path} ends early (truncated file)") from None
        except (OSError, zlib.error) as e:
            raise ValueError(f"damaged gzip data in {path} ({e})") from None
        return True, bytes(out)


def _read(path: str) -> tuple[bool, Any, Any]:
    """(gzipped, document, block with the atoms); ValueError naming the file otherwise."""
    import gemmi

    gzipped, data = _read_bytes(path)
    try:
        doc = gemmi.cif.read_string(data)
    except (RuntimeError, ValueError) as e:
        raise ValueError(f"{path} is not valid mmCIF: {e}") from None
    for block in doc:
        if len(block.find_values("_atom_site.Cartn_x")):
            return gzipped, doc, block
    raise ValueError(f"{path} holds no _atom_site table")


def _column(block: Any, *names: str) -> Any:
    """The first _atom_site column present among `names`, or None."""
    for name in names:
        column = block.find_values(f"_atom_site.{name}")
        if len(column):
            return column
    return None


def _values(block: Any, *names: str) -> list[str] | None:
    """The raw values of the first _atom_site column present among `names`."""
    column = _column(block, *names)
    return None if column is None else list(column)


def _char(value: str) -> str:
    """A one-character field as a PDB file holds it: ' ' when absent."""
    import gemmi

    text = gemmi.cif.as_string(value)
    return text if len(text) == 1 else " "


def ca_sites(path: str) -> tuple[bool, list[tuple[Any, ...]]]:
    """(gzipped, the CA atoms of the ATOM group in file order).

    Each atom is (chain, altloc, residue number, insertion code, residue
    name, x, y, z, model), with the author's chain and numbering as a PDB
    file gives them.
    """
    import gemmi

    gzipped, _, block = _read(path)
    atom = _values(block, "auth_atom_id", "label_atom_id") or []
    group = _values(block, "group_PDB")
    # "CA" and "ATOM" are never quoted, so the raw values compare as they are.
    rows = [i for i, name in enumerate(atom) if name == "CA" and (group is None or group[i] == "ATOM")]

    def column(*names: str, default: str = "?") -> list[str]:
        values = _column(block, *names)  # read at the CA rows only
        return [values[i] for i in rows] if values is not None else [default] * len(rows)

    chain = column("auth_asym_id", "label_asym_id")
    altloc = column("label_alt_id")
    number = column("auth_seq_id", "label_seq_id")
    insertion = column("pdbx_PDB_ins_code")
    name = column("auth_comp_id", "label_comp_id")
    model = column("pdbx_PDB_model_num", default="1")
    xyz = [column(f"Cartn_{a}") for a in "xyz"]
    text, number_of = gemmi.cif.as_string, gemmi.cif.as_number
    sites = [
        (text(chain[k]) or "_", _char(altloc[k]), text(number[k]) or "0", _char(insertion[k]),
         text(name[k]) or "UNK", number_of(xyz[0][k]), number_of(xyz[1][k]), number_of(xyz[2][k]),
         gemmi.cif.as_int(model[k], 1))
        for k in range(len(rows))
    ]
    return gzipped, sites


def moved_text(path: str, rotation: Any, translation: Any, chain: str | None) -> str:
    """The text of the mmCIF file `path` with every atom (of `chain` only,
    when given) moved by x' = R x + t; all else as it was."""
    import gemmi

    _, doc, block = _read(path)
    columns = [block.find_values(f"_atom_site.Cartn_{a}") for a in "xyz"]
    n = len(columns[0])
    xyz = np.array([[gemmi.cif.as_number(c[i]) for c in columns] for i in range(n)], dtype=float).reshape(n, 3)
    moved = xyz @ np.asarray(rotation, dtype=float).T + np.asarray(translation, dtype=float)
    rows = np.isfinite(xyz).all(axis=1)  # '?' coordinates stay unknown
    if chain is not None:
        chains = _values(block, "auth_asym_id", "label_asym_id") or []
        rows &= np.array([gemmi.cif.as_string(c) == chain for c in chains], dtype=bool)
    for i in np.flatnonzero(rows):
        for a in range(3):
            columns[a][int(i)] = f"{moved[i, a]:.3f}"
    text: str = doc.as_string()
    return text


__all__: list[str] = []
