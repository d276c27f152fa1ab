"""Threads, progress reports, interruption and concurrent use of the long calls."""
import _thread
import signal
import threading

import pytest

import ovelt
from conftest import DATA

GLOBINS = sorted((DATA / "structures" / "globin").glob("*.pdb"))
KRINGLES = sorted((DATA / "structures" / "kringle").glob("*.pdb"))


@pytest.fixture(scope="module")
def globins():
    return [ovelt.Domain.from_pdb(str(p)) for p in GLOBINS]


def run(kind, globins, tmp_path, **kw):
    """One long call on real data, and the job size its progress reports."""
    if kind == "scan":
        return ovelt.scan_database(globins[0], globins, **kw), len(globins)
    if kind == "multiple":
        n = len(globins)
        return ovelt.multiple_align(globins, **kw), n * (n - 1) // 2
    files = [str(p) for p in KRINGLES]
    return ovelt.align_pdbs(files, str(tmp_path / "out"), **kw), 3 + 3


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kind", ["scan", "multiple", "pdbs"])
def test_progress_counts_up_to_the_job_size_on_the_calling_thread(kind, threads, globins, tmp_path):
    calls = []
    caller = threading.get_ident()
    _, total = run(kind, globins, tmp_path, threads=threads,
                   progress=lambda done, all_: calls.append((done, all_, threading.get_ident())))
    assert calls[-1][:2] == (total, total)
    assert all(t == total and who == caller for _, t, who in calls)
    assert [d for d, _, _ in calls] == sorted(d for d, _, _ in calls)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kind", ["scan", "multiple", "pdbs"])
def test_exception_from_progress_propagates_and_nothing_is_written(kind, threads, globins, tmp_path):
    def progress(done, total):
        raise ZeroDivisionError(f"{done}/{total}")

    with pytest.raises(ZeroDivisionError):
        run(kind, globins, tmp_path, threads=threads, progress=progress)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("threads", [1, 2])
def test_interrupt_stops_a_scan_between_targets(threads, globins):
    targets = globins * 400  # seconds of work
    seen = []
    # Processes started in the background ignore SIGINT: install Ctrl-C's usual handler.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            ovelt.scan_database(globins[0], targets, threads=threads, progress=lambda d, t: seen.append(d))
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    assert not seen or seen[-1] < len(targets)


@pytest.mark.parametrize(
    "kw,exc",
    [
        (dict(threads=0), ValueError),
        (dict(threads=1.0), TypeError),
        (dict(threads="2"), TypeError),
        (dict(threads=True), TypeError),
        (dict(progress=3), TypeError),
    ],
)
def test_threads_and_progress_are_checked(kw, exc, globins):
    with pytest.raises(exc, match="threads" if "threads" in kw else "progress"):
        ovelt.scan_database(globins[0], globins, **kw)


def test_concurrent_calls_see_each_parameter_change_whole(globins):
    """Several threads align with shared Domain and Parameters objects while
    another thread flips one parameter: every result is the result of one of
    the two settings, never of a mixture or of freed memory."""
    names = [p.stem for p in GLOBINS]
    d1, d2 = globins[names.index("1mbn")], globins[names.index("5vzq")]
    params = ovelt.Parameters()
    values = (params.e1, params.e1 + 1.5)

    def key_pair(r):
        return (r.score, r.rmsd, r.n_aligned, r.seq_identity)

    def key_scan(hits):
        return [(h.target_id, h.score, h.rmsd, h.z_score) for h in hits]

    expected_pair, expected_scan = set(), []
    for v in values:
        params.e1 = v
        expected_pair.add(key_pair(ovelt.pairwise_align(d1, d2, params, scan_mode=True)))
        expected_scan.append(key_scan(ovelt.scan_database(d1, globins[-4:], params, threads=2)))
    assert len(expected_pair) == 2

    stop = threading.Event()
    failures = []

    flips = []

    def flip():
        while not stop.is_set():
            for v in values:
                params.e1 = v
            flips.append(1)

    def work():
        try:
            for _ in range(6):
                assert key_pair(ovelt.pairwise_align(d1, d2, params, scan_mode=True)) in expected_pair
                assert key_scan(ovelt.scan_database(d1, globins[-4:], params, threads=2)) in expected_scan
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)

    flipper = threading.Thread(target=flip)
    workers = [threading.Thread(target=work) for _ in range(3)]
    flipper.start()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    stop.set()
    flipper.join()
    assert failures == []
    assert len(flips) > 10
