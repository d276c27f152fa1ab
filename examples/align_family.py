"""Align every PDB file of a folder and write them, superposed, into another.

    python examples/align_family.py examples/data/globin out/globin

Each structure is first brought near the first file with a sliding-window
search, then all of them are aligned together; the output folder receives
every input file with all its atoms moved into the common frame. Open the
output files together in any molecular viewer to see the superposition.
"""
import sys
from pathlib import Path

import ovelt


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip())
        return 2
    folder, out_dir = Path(argv[1]), argv[2]
    files = sorted(str(p) for p in folder.glob("*.pdb"))
    if len(files) < 2:
        print(f"Need at least two .pdb files in {folder}, found {len(files)}.")
        return 1

    result = ovelt.align_pdbs(files, out_dir)

    print(f"Aligned {len(files)} structures from {folder} (reference: {Path(files[0]).name})")
    print(f"  columns:      {result.n_columns}")
    print(f"  core columns: {result.n_core} (every structure has a residue there)")
    print(f"  average RMSD: {result.avg_rmsd:.2f} A over the pairwise alignments")
    print(f"  score:        {result.score:.3f} (core / columns)")
    print(f"Superposed structures written to {out_dir}/:")
    for path in files:
        print(f"  aligned_{Path(path).stem}.pdb")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
