"""Scans of structure files in batches, locally and on a Dask cluster, against scan_database."""
import gzip
import os
import signal
import shutil

import pytest

import ovelt
from conftest import DATA
from ovelt import archive

STRUCTURES = sorted((DATA / "structures").rglob("*.pdb"))


def fields(hits):
    return [(h.target_id, h.rank, h.score, h.rmsd, h.n_aligned, h.seq_identity, h.z_score, h.tm_score) for h in hits]


def expected(query, paths, **kw):
    """scan_database on the domains read from `paths`, each named by its path as the file reader names it."""
    search = kw.pop("search", None)
    domains = [ovelt.Domain.from_pdb(str(p)) for p in paths]
    if search == "none":
        return ovelt.scan_database(query, domains, scan_mode=False, **kw)
    return ovelt.scan_database(query, domains, search=search, **kw)


@pytest.fixture(scope="module")
def targets(tmp_path_factory):
    """The shared structures, one gzipped and one as mmCIF."""
    gemmi = pytest.importorskip("gemmi")
    d = tmp_path_factory.mktemp("targets")
    out = []
    for k, src in enumerate(STRUCTURES):
        if k == 3:
            dst = d / (src.name + ".gz")
            dst.write_bytes(gzip.compress(src.read_bytes()))
        elif k == 5:
            dst = d / (src.stem + ".cif")
            st = gemmi.read_structure(str(src))
            st.setup_entities()
            st.make_mmcif_document().write_file(str(dst))
        else:
            dst = d / src.name
            shutil.copy(src, dst)
        out.append(dst)
    return out


@pytest.mark.parametrize("batch, threads, search, quick, max_hits", [
    (1, 1, "none", True, 100),
    (4, 2, "none", False, 5),
    (5, 1, None, False, 4),
    (7, 2, "windows", False, 6),
    (1000, 2, "windows", False, 3),
])
def test_same_hits_as_scan_database(targets, batch, threads, search, quick, max_hits):
    query = ovelt.Domain.from_pdb(str(targets[0]))
    got = archive.scan_files(query, targets, batch=batch, threads=threads, search=search, quick=quick,
                             max_hits=max_hits)
    assert fields(got.hits) == fields(expected(query, targets, search=search, quick=quick, max_hits=max_hits))
    assert got.skipped == [] and got.lost == []


def test_directory_skips_unreadable_files_and_ignores_others(tmp_path):
    good = [tmp_path / "a.pdb", tmp_path / "sub" / "b.ent.gz", tmp_path / "sub" / "c.pdb"]
    (tmp_path / "sub").mkdir()
    shutil.copy(STRUCTURES[0], good[0])
    good[1].write_bytes(gzip.compress(STRUCTURES[1].read_bytes()))
    shutil.copy(STRUCTURES[2], good[2])
    bad = [tmp_path / "broken.pdb.gz", tmp_path / "sub" / "empty.cif"]
    bad[0].write_bytes(b"not gzip at all")
    bad[1].write_text("data_x\n")
    (tmp_path / "notes.txt").write_text("ATOM this is no structure\n")
    (tmp_path / "sub" / "d.pdb").mkdir()  # a directory named like a structure file is walked, not read
    query = ovelt.Domain.from_pdb(str(STRUCTURES[0]))
    got = archive.scan_files(query, tmp_path, quick=True, batch=2)
    assert fields(got.hits) == fields(expected(query, good, quick=True))
    assert [p for p, _ in got.skipped] == [str(p) for p in bad]
    assert all(isinstance(e, str) and e for _, e in got.skipped)


def test_empty_targets():
    query = ovelt.Domain.from_pdb(str(STRUCTURES[0]))
    assert archive.scan_files(query, []) == archive.ArchiveScan([], [], [])


def test_dask_cluster_gives_the_same_hits(targets):
    distributed = pytest.importorskip("dask.distributed")
    query = ovelt.Domain.from_pdb(str(targets[0]))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as c, \
            distributed.Client(c) as client:
        got = archive.scan_files(query, targets, search="windows", max_hits=7, batch=3, threads=1, client=client)
    assert fields(got.hits) == fields(expected(query, targets, search="windows", max_hits=7))
    assert got.skipped == [] and got.lost == []


def test_batches_of_a_killed_worker_are_rescheduled(targets):
    distributed = pytest.importorskip("dask.distributed")
    query = ovelt.Domain.from_pdb(str(targets[0]))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as c, \
            distributed.Client(c) as client:
        pids = client.run(os.getpid)
        killed = []

        def kill_one_worker(done, total):
            if not killed:  # other batches are still in flight on both workers
                killed.append(min(pids.values()))
                os.kill(killed[0], signal.SIGKILL)

        got = archive.scan_files(query, targets * 3, search="windows", batch=1, threads=1, client=client,
                                 progress=kill_one_worker)
        client_pids = client.run(os.getpid).values()  # the nanny restarted the killed worker
    assert killed and killed[0] not in client_pids
    assert fields(got.hits) == fields(expected(query, targets * 3, search="windows"))
    assert got.skipped == [] and got.lost == []


@pytest.mark.parametrize("kw, error", [
    (dict(batch=0), ValueError), (dict(search="x"), ValueError), (dict(max_hits=-1), OverflowError),
    (dict(params=1), TypeError),
])
def test_bad_arguments_are_refused_before_any_file_is_read(kw, error):
    query = ovelt.Domain.from_pdb(str(STRUCTURES[0]))
    with pytest.raises(error):
        archive.scan_files(query, [], **kw)
