"""The module frame: attributes, docstrings, signatures and calling conventions."""
import importlib
import inspect
import os
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest

import ovelt

ALL = [
    "Domain", "Parameters", "Transform", "AlignmentResult", "MultipleAlignmentResult", "ScanHit",
    "pairwise_align", "multiple_align", "align_pdbs", "scan_database", "compute_rmsd", "superpose",
    "distance_matrix", "centroid", "transform_pdb_file", "__version__",
]

SIGNATURES = {
    "pairwise_align": "(domain1, domain2, params=None, scan_mode=None, slide=None, *, search=None, threads=None)",
    "multiple_align": "(domains, params=None, pre_transforms=None, *, search=None, threads=None, progress=None)",
    "align_pdbs": "(pdb_files, output_dir, params=None, chain=None, reference_index=0, *, search=None, threads=None, "
                  "progress=None)",
    "scan_database": "(query, targets, params=None, score_cutoff=0.0, max_hits=100, quick=False, scan_mode=True, *, "
                     "search=None, threads=None, progress=None)",
    "compute_rmsd": "(coords1, coords2)",
    "superpose": "(fixed, mobile)",
    "distance_matrix": "(coords1, coords2)",
    "centroid": "(coords)",
    "transform_pdb_file": "(input_path, output_path, transform, chain=None)",
}


def test_attributes_in_order():
    assert ovelt.__all__ == ALL
    assert ovelt.__version__ == "0.1.1"
    # Submodules (the compiled core, the command-line tool) are not part of the surface.
    public = [k for k, v in vars(ovelt).items()
              if not isinstance(v, types.ModuleType) and not (k.startswith("__") and k != "__version__")]
    assert public == ALL


def test_module_docstring():
    assert ovelt.__doc__ == (
        "Ovelt - Structural Alignment of Multiple Proteins (PELDA implementation)\n\n"
        "This module provides Python bindings to the PELDA structural alignment\n"
        "library, enabling pairwise and multiple structure alignment.\n\n"
        "Example:\n"
        "    >>> import ovelt\n"
        '    >>> d1 = ovelt.Domain.from_pdb("1abc.pdb", chain=\'A\')\n'
        '    >>> d2 = ovelt.Domain.from_pdb("2def.pdb", chain=\'A\')\n'
        "    >>> result = ovelt.pairwise_align(d1, d2)\n"
        '    >>> print(f"RMSD: {result.rmsd:.2f}")'
    )


def test_reimport_returns_same_module():
    assert importlib.import_module("ovelt") is ovelt
    # A second load of the shared library in the same interpreter reuses the cached module.
    found = importlib.util.find_spec("ovelt._core")
    again = importlib.util.module_from_spec(found)
    assert again is ovelt._core


@pytest.mark.parametrize("name,sig", sorted(SIGNATURES.items()))
def test_function_text_signatures(name, sig):
    fn = getattr(ovelt, name)
    assert fn.__text_signature__ == sig
    assert fn.__module__ == "ovelt"


def test_classes_use_bare_names():
    for name in ALL[:6]:
        cls = getattr(ovelt, name)
        assert cls.__name__ == name
        assert cls.__qualname__ == name


@pytest.mark.parametrize("cls", ["AlignmentResult", "MultipleAlignmentResult", "ScanHit"])
def test_result_classes_have_no_constructor(cls):
    with pytest.raises(TypeError, match="cannot create"):
        getattr(ovelt, cls)()


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: ovelt.superpose(np.zeros((3, 3))), "superpose() missing 1 required positional argument: 'mobile'"),
        (lambda: ovelt.centroid(), "centroid() missing 1 required positional argument: 'coords'"),
        (lambda: ovelt.compute_rmsd(), "compute_rmsd() missing 2 required positional arguments: 'coords1' and 'coords2'"),
        (lambda: ovelt.centroid(np.zeros((1, 3)), 1), "centroid() takes 1 positional argument but 2 were given"),
        (lambda: ovelt.centroid(coords=np.zeros((1, 3)), c=1), "centroid() got an unexpected keyword argument 'c'"),
        (lambda: ovelt.centroid(np.zeros((1, 3)), coords=np.zeros((1, 3))), "centroid() got multiple values for argument 'coords'"),
        (lambda: ovelt.Transform().apply(), "Transform.apply() missing 1 required positional argument: 'coords'"),
        (lambda: ovelt.Transform(1), "Transform() takes no arguments"),
    ],
)
def test_argument_errors_use_interpreter_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments_accepted():
    x = np.eye(3)
    t, r = ovelt.superpose(mobile=x, fixed=x)
    assert r == pytest.approx(0.0)


@pytest.mark.parametrize(
    "bad",
    [[[0.0, 0.0, 0.0]], np.zeros((2, 3), dtype=np.int64), np.zeros((2, 3), dtype=np.float32),
     np.zeros(3), np.zeros((1, 2, 3)), np.zeros((2, 3), dtype=">f8")],
    ids=["list", "int64", "float32", "1d", "3d", "big-endian"],
)
def test_arrays_are_never_converted(bad):
    with pytest.raises(TypeError, match="'coords'"):
        ovelt.centroid(bad)


def test_subinterpreter_import_is_refused():
    # _testinternalcapi/_xxsubinterpreters is not always present; drive it through the C API helper.
    code = (
        "import _testcapi, ovelt\n"
        "r = _testcapi.run_in_subinterp('import ovelt')\n"
        "print(r)\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if "No module named '_testcapi'" in proc.stderr:
        pytest.skip("interpreter built without _testcapi")
    assert proc.returncode == 0, proc.stderr
    # run_in_subinterp returns -1 when the code raised: the import was refused cleanly.
    assert proc.stdout.strip() == "-1"
    assert "sub-interpreters" in proc.stderr


def test_module_functions_have_docstrings():
    for name in SIGNATURES:
        doc = getattr(ovelt, name).__doc__
        assert doc and not doc.startswith(name), name
    assert inspect.signature(ovelt.superpose).parameters.keys() == {"fixed", "mobile"}


@pytest.mark.parametrize(
    "command",
    [["mypy.stubtest", "--mypy-config-file", "/dev/null", "ovelt._core"], ["mypy", "--strict", "-p", "ovelt"]],
    ids=["stubs-match-module", "package-typechecks"],
)
def test_type_stubs(command, tmp_path):
    pytest.importorskip("mypy")
    env = {**os.environ, "MYPY_CACHE_DIR": str(tmp_path / "cache")}
    root = Path(ovelt.__file__).parent.parent
    if root.name != "site-packages":  # a build tree: check the package imported here
        env["MYPYPATH"] = env["PYTHONPATH"] = str(root)
    proc = subprocess.run([sys.executable, "-m", *command], capture_output=True, text=True, cwd=tmp_path, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
