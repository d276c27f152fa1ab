"""Align every PDB file of a folder and write them, superposed, into another.

    python examples/align_family.py examples/data/globin out/globin [reference.pdb] [--windows]

Every pair of structures is aligned with the sensitive start search, all of
them are aligned together along those pairs, and the output folder receives
every input file, all atoms moved into the reference's frame. --windows uses
the method's own sliding-window search instead (it superposes close relatives
only). Without a reference named, the file that shares the most alignment
columns with the others is used. Open the output files together in any
molecular viewer (PyMOL, ChimeraX, VMD, ...) to see the superposition.
"""
import sys
import tempfile
from pathlib import Path

import ovelt


def shared_with(result, ref):
    """Per structure, the columns it shares with the reference."""
    return [sum(1 for c in result.columns if c[ref] is not None and c[i] is not None)
            for i in range(len(result.transforms))]


def pick_reference(files, search):
    if search == "sensitive":  # input frames do not matter: one alignment ranks every candidate
        result = ovelt.multiple_align([ovelt.Domain.from_pdb(f) for f in files], search=search)
        return max(range(len(files)), key=lambda ref: sum(shared_with(result, ref)))

    def anchored(ref):
        with tempfile.TemporaryDirectory() as scratch:
            result = ovelt.align_pdbs(files, scratch, reference_index=ref, search=search)
        return sum(shared_with(result, ref)) - len(result.columns)
    return max(range(len(files)), key=anchored)


def main(argv):
    search = "windows" if "--windows" in argv else "sensitive"
    args = [a for a in argv if a != "--windows"]
    if len(args) not in (3, 4):
        print(__doc__.strip())
        return 2
    folder, out_dir = Path(args[1]), args[2]
    files = sorted(str(p) for p in folder.glob("*.pdb"))
    names = [Path(f).name for f in files]
    if len(files) < 2:
        print(f"Need at least two .pdb files in {folder}, found {len(files)}.")
        return 1
    ref = names.index(args[3]) if len(args) == 4 else pick_reference(files, search)

    result = ovelt.align_pdbs(files, out_dir, reference_index=ref, search=search)

    print(f"Aligned {len(files)} structures from {folder} ({search} search), reference {names[ref]}")
    print(f"  columns:      {result.n_columns}")
    print(f"  core columns: {result.n_core} (every structure has a residue there)")
    print(f"  average RMSD: {result.avg_rmsd:.2f} A over the pairwise alignments (100 = pair not aligned)")
    print(f"Written to {out_dir}/:")
    for name, shared, n in zip(names, shared_with(result, ref), (len(ovelt.Domain.from_pdb(f)) for f in files)):
        note = "reference" if name == names[ref] else (
            f"{shared} of {n} residues aligned with the reference" if shared else "not aligned with the reference")
        print(f"  aligned_{Path(name).stem}.pdb  {note}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
