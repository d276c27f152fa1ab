"""Types of the compiled module, with what its docstrings leave out.

Units: coordinates, RMSDs and distances are in the unit of the input (Angstrom
for PDB files). Sequence identity is a fraction in [0, 1]. Residue and domain
indices are 0-based, hit ranks 1-based.

Transform convention: a Transform maps a point x to x' = R.x + t (rotation R,
3x3, applied first; then translation t). Every pairwise result maps the second
(mobile) structure onto the first (reference): applied to domain2's
coordinates it puts domain2 into domain1's frame.

Exceptions: wrong argument types raise TypeError naming the argument; arrays
must be float64 NumPy arrays (never converted); wrong array shapes raise
ValueError. Reading and computing failures raise ValueError, writing failures
OSError, as stated per call below.
"""

import os
from collections.abc import Callable, Sequence
from typing import Final, Literal, final

import numpy as np
from numpy.typing import NDArray

# Every path argument: str or os.PathLike.
_Path = str | os.PathLike[str]

__all__ = [
    "Domain",
    "Parameters",
    "Transform",
    "AlignmentResult",
    "MultipleAlignmentResult",
    "ScanHit",
    "pairwise_align",
    "multiple_align",
    "align_pdbs",
    "scan_database",
    "compute_rmsd",
    "superpose",
    "distance_matrix",
    "centroid",
    "transform_pdb_file",
    "__version__",
]

__version__: Final[str]

_Array = NDArray[np.float64]
# progress(done, total), called on the calling thread; an exception from it stops the work.
_Progress = Callable[[int, int], object]
_Search = Literal["windows", "sensitive"]

@final
class Domain:
    """One protein chain reduced to its C-alpha trace (coordinates in Angstrom)."""

    def __new__(cls, id: str, chain: str | None = None) -> Domain:
        """An empty domain; chain defaults to 'A'. ValueError if chain is not one character."""

    @staticmethod
    def from_pdb(path: _Path, chain: str | None = None) -> Domain:
        """CA atoms of one chain (the first one found when None) of the first model.

        Reads PDB and mmCIF files, either gzipped ("Failed to parse mmCIF: ..."
        for mmCIF); a missing chain's error lists the chains with CA atoms.

        Raises ValueError "Failed to parse PDB: ..." for a missing or unreadable
        file as well as for a malformed one (never OSError).
        """

    @staticmethod
    def from_file(path: _Path, chain: str | None = None) -> Domain:
        """Like from_pdb for PDB or mmCIF, either gzipped, told from the content;
        mmCIF chain ids (auth_asym_id) may be longer than one character.

        Raises ValueError "Failed to parse PDB: ..." or "Failed to parse mmCIF: ...".
        """

    @staticmethod
    def from_dssp(pdb_path: _Path, dssp_path: _Path, chain: str | None = None) -> Domain:
        """Coordinates from pdb_path, secondary structure from dssp_path.

        Raises ValueError "Failed to parse PDB: ..." or "Failed to parse DSSP: ...".
        """

    @staticmethod
    def from_arrays(id: str, coords: _Array, sequence: str, chain: str | None = None) -> Domain:
        """coords is an (N, 3) float64 array; ValueError when N differs from len(sequence)."""

    def load_dssp(self, path: _Path) -> None:
        """Raises ValueError "Failed to parse DSSP: ..."."""

    def to_pdb(self, path: _Path, transform: Transform | None = None, full: bool = True) -> None:
        """Raises OSError "Failed to write PDB: ...". With full=True the source file
        is rewritten in its own format (mmCIF stays mmCIF); a path ending in
        ".gz" gets gzip output."""

    def copy(self) -> Domain: ...
    def ss_content(self) -> tuple[float, float, float]:
        """Fractions of helix, strand and coil residues."""

    @property
    def id(self) -> str: ...
    @id.setter
    def id(self, value: str) -> None: ...
    @property
    def chain(self) -> str: ...
    @chain.setter
    def chain(self, value: str) -> None: ...
    @property
    def pdb_file(self) -> str: ...
    @property
    def sequence(self) -> str:
        """One-letter residue types, 'X' for unknown ones."""

    @property
    def secondary_structure(self) -> str: ...
    @property
    def has_dssp(self) -> bool: ...
    @property
    def coordinates(self) -> _Array:
        """A new (N, 3) float64 array of CA positions (Angstrom)."""

    @coordinates.setter
    def coordinates(self, value: _Array) -> None:
        """ValueError unless value is (N, 3) with N the current residue count."""

    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...

@final
class Parameters:
    """Alignment parameters; the defaults are the method's own."""

    def __new__(cls) -> Parameters: ...
    @property
    def n_passes(self) -> int: ...
    @n_passes.setter
    def n_passes(self, value: int) -> None: ...
    @property
    def e1(self) -> float:
        """Distance scale of the residue similarity (Angstrom)."""

    @e1.setter
    def e1(self, value: float) -> None: ...
    @property
    def e2(self) -> float:
        """Scale of the neighbour term of the residue similarity (Angstrom)."""

    @e2.setter
    def e2(self, value: float) -> None: ...
    @property
    def gap_open(self) -> float: ...
    @gap_open.setter
    def gap_open(self, value: float) -> None: ...
    @property
    def gap_extend(self) -> float: ...
    @gap_extend.setter
    def gap_extend(self, value: float) -> None: ...
    @property
    def use_secondary(self) -> bool: ...
    @use_secondary.setter
    def use_secondary(self, value: bool) -> None: ...
    @property
    def max_iter(self) -> int: ...
    @max_iter.setter
    def max_iter(self, value: int) -> None: ...
    @property
    def cutoff_dist(self) -> float:
        """Angstrom."""

    @cutoff_dist.setter
    def cutoff_dist(self, value: float) -> None: ...
    @property
    def score_cutoff(self) -> float: ...
    @score_cutoff.setter
    def score_cutoff(self, value: float) -> None: ...
    @property
    def convergence(self) -> float: ...
    @convergence.setter
    def convergence(self, value: float) -> None: ...
    @property
    def verbosity(self) -> int: ...
    @verbosity.setter
    def verbosity(self, value: int) -> None: ...

@final
class Transform:
    """Rigid-body transform x' = R.x + t (rotation first, then translation)."""

    def __new__(cls) -> Transform:
        """The identity."""

    @staticmethod
    def from_matrix(rotation: _Array, translation: _Array) -> Transform:
        """rotation (3, 3) and translation (3,), float64; ValueError for other sizes.

        Orthonormality is not checked.
        """

    def transformation_matrix(self) -> _Array:
        """(4, 4): rows [R[i], t[i]] then [0, 0, 0, 1]."""

    def apply(self, coords: _Array) -> _Array:
        """Row k of the result is R.coords[k] + t; ValueError unless coords is (N, 3)."""

    def inverse(self) -> Transform: ...
    def compose(self, other: Transform) -> Transform:
        """self after other: applying the result equals applying other, then self."""

    @property
    def rotation(self) -> _Array:
        """(3, 3); element [i, j] is R[i][j] (row-major)."""

    @property
    def translation(self) -> _Array:
        """(3,), in the unit of the coordinates."""

@final
class AlignmentResult:
    """Pairwise result: its transform moves domain2 (mobile) onto domain1 (reference)."""

    @property
    def rmsd(self) -> float:
        """Angstrom over the aligned pairs; 100.0 when nothing aligned, inf for a domain under 3 residues."""

    @property
    def n_aligned(self) -> int: ...
    @property
    def score(self) -> float:
        """The method's score; 0.0 means no alignment held."""

    @property
    def seq_identity(self) -> float:
        """Fraction in [0, 1]."""

    @property
    def transform(self) -> Transform:
        """x' = R.x + t maps domain2's input coordinates into domain1's frame."""

    @property
    def aligned_pairs(self) -> list[tuple[int, int]]:
        """(index in domain1, index in domain2), increasing; empty with the window search."""

    @property
    def tm_score(self) -> float:
        """TM-score under the final superposition, normalised by domain1's length (0-1)."""

    @property
    def tm_score_mobile(self) -> float:
        """The same, normalised by domain2's length."""

    def get_rotation(self) -> _Array: ...
    def get_translation(self) -> _Array: ...
    def transformation_matrix(self) -> _Array: ...
    def transform_coordinates(self, coords: _Array) -> _Array:
        """ValueError unless coords is (N, 3)."""

    def get_transformed_coordinates(self, domain: Domain) -> _Array:
        """domain's CA trace moved by the transform (pass domain2 to put it on domain1)."""

@final
class ScanHit:
    @property
    def target_id(self) -> str: ...
    @property
    def rank(self) -> int:
        """1-based."""

    @property
    def score(self) -> float: ...
    @property
    def rmsd(self) -> float:
        """Angstrom."""

    @property
    def n_aligned(self) -> int: ...
    @property
    def seq_identity(self) -> float:
        """Fraction in [0, 1]."""

    @property
    def e_value(self) -> float | None: ...
    @property
    def z_score(self) -> float | None:
        """Over the kept hits; None when it cannot be computed."""

    @property
    def tm_score(self) -> float | None:
        """Normalised by the query's length; None unless search="sensitive"."""

@final
class MultipleAlignmentResult:
    @property
    def n_columns(self) -> int: ...
    @property
    def n_core(self) -> int: ...
    @property
    def avg_rmsd(self) -> float:
        """Mean over all pairs of the pairwise RMSDs (Angstrom; 100.0 counts a pair not aligned)."""

    @property
    def score(self) -> float: ...
    @property
    def transforms(self) -> list[Transform]:
        """Identities, except with search="sensitive": each domain into the first domain's frame."""

    @property
    def full_transforms(self) -> list[Transform]:
        """Per structure, input file frame -> reference frame (x' = R.x + t)."""

    @property
    def core_positions(self) -> list[int]:
        """Indices into columns of the columns where every structure has a residue."""

    @property
    def columns(self) -> list[list[int | None]]:
        """Per column, per structure: residue index or None for a gap."""

    def get_transform(self, index: int) -> Transform:
        """ValueError "Invalid domain index: ..." when out of range."""

    def write_all(self, output_dir: _Path, prefix: str | None = None) -> list[str]:
        """Writes <output_dir>/<prefix or "aligned_"><file stem>.pdb per structure
        (.cif for mmCIF sources, plus .gz for gzipped ones).

        Raises ValueError when a structure has no source file, OSError when
        a file or the directory cannot be written.
        """

def pairwise_align(
    domain1: Domain,
    domain2: Domain,
    params: Parameters | None = None,
    scan_mode: bool | None = None,
    slide: int | None = None,
    *,
    search: _Search | None = None,
    threads: int | None = None,
) -> AlignmentResult:
    """Aligns domain2 (mobile) onto domain1 (reference); ValueError if the core fails.

    search: None keeps the method (plain, or the window scan with scan_mode);
    "windows" is the window scan; "sensitive" the sensitive start search.
    ValueError for an unknown search or scan_mode=False with a search.
    threads: the window scan runs its windows on this many threads (None:
    every core the process may use), with the same result for every count.

    scan_mode=True first searches a start with sliding windows (structures in
    unrelated frames); otherwise the alignment starts from the input frames.
    """

def multiple_align(
    domains: Sequence[Domain],
    params: Parameters | None = None,
    pre_transforms: Sequence[Transform] | None = None,
    *,
    search: _Search | None = None,
    threads: int | None = None,
    progress: _Progress | None = None,
) -> MultipleAlignmentResult:
    """Aligns the domains as they lie (with search="sensitive", in any frames).

    threads: None uses every core the process may use; results are identical
    for every count. KeyboardInterrupt (Ctrl-C) stops the work.

    ValueError for fewer than 2 domains or a failed alignment.
    """

def align_pdbs(
    pdb_files: Sequence[_Path],
    output_dir: _Path,
    params: Parameters | None = None,
    chain: str | None = None,
    reference_index: int = 0,
    *,
    search: _Search | None = None,
    threads: int | None = None,
    progress: _Progress | None = None,
) -> MultipleAlignmentResult:
    """Reads, pre-aligns onto pdb_files[reference_index], aligns and writes every file.

    ValueError for fewer than 2 files, a reference index out of range, an
    unreadable or malformed file ("Failed to parse <file>: ...") or a failed
    alignment; OSError when the output cannot be written.
    """

def scan_database(
    query: Domain,
    targets: Sequence[Domain],
    params: Parameters | None = None,
    score_cutoff: float = 0.0,
    max_hits: int = 100,
    quick: bool = False,
    scan_mode: bool = True,
    *,
    search: _Search | None = None,
    threads: int | None = None,
    progress: _Progress | None = None,
) -> list[ScanHit]:
    """Hits with score >= score_cutoff, best first, ranked from 1; ValueError "Scan failed: ..."."""

def compute_rmsd(coords1: _Array, coords2: _Array) -> float:
    """RMSD without superposition; ValueError unless both are (N, 3)."""

def superpose(fixed: _Array, mobile: _Array) -> tuple[Transform, float]:
    """Least-squares fit: the transform moves mobile onto fixed; the float is the RMSD after it."""

def distance_matrix(coords1: _Array, coords2: _Array) -> _Array:
    """(M, N) Euclidean distances; ValueError unless both are (., 3)."""

def centroid(coords: _Array) -> tuple[float, float, float]:
    """ValueError unless coords is (N, 3); an empty array is an internal error (BaseException)."""

def transform_pdb_file(input_path: _Path, output_path: _Path, transform: Transform, chain: str | None = None) -> None:
    """Rewrites every atom of input_path moved by transform, in the input's format
    (PDB or mmCIF; gzip output for a ".gz" output path); OSError "Failed to
    transform PDB: ..."."""

# Private, behind ovelt.archive.
def _scan_batch(
    query: Domain,
    paths: Sequence[str | os.PathLike[str]],
    first_target: int,
    params: Parameters | None,
    score_cutoff: float,
    max_hits: int,
    quick: bool,
    scan_mode: bool,
    search: _Search | None,
    chain: str | None,
    path_ids: bool = False,
    threads: int | None = None,
    progress: _Progress | None = None,
) -> tuple[list[tuple[int, ScanHit]], list[tuple[int, str, str]]]:
    """Reads and scans one batch of target files (see ovelt.archive)."""

def _rank_hits(hits: Sequence[ScanHit], score_cutoff: float, max_hits: int) -> list[ScanHit]:
    """Ranks the hits kept by every batch (see ovelt.archive)."""
