"""Transform and the geometry functions against independent NumPy computations."""
import math
import os

import gemmi
import numpy as np
import pytest

import ovelt
from conftest import DATA

ROT_Z90 = np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])


def ca_trace(path):
    st = gemmi.read_structure(str(path))
    chain = st[0][0]
    return np.array([[a.pos.x, a.pos.y, a.pos.z] for r in chain for a in r if a.name == "CA" and r.het_flag == "A"])


def kabsch(fixed, mobile):
    """Reference determinant-corrected SVD superposition."""
    cf, cm = fixed.mean(axis=0), mobile.mean(axis=0)
    h = (mobile - cm).T @ (fixed - cf)
    u, _, vt = np.linalg.svd(h)
    d = np.sign(np.linalg.det(vt.T @ u.T))
    r = vt.T @ np.diag([1.0, 1.0, d]) @ u.T
    t = cf - r @ cm
    rmsd = math.sqrt(((fixed - (mobile @ r.T + t)) ** 2).sum(axis=1).mean())
    return r, t, rmsd


def rng_points(n, seed=0):
    return np.random.default_rng(seed).uniform(-20, 20, size=(n, 3))


class TestTransform:
    def test_identity(self):
        t = ovelt.Transform()
        np.testing.assert_array_equal(t.rotation, np.eye(3))
        np.testing.assert_array_equal(t.translation, np.zeros(3))
        assert repr(t) == "Transform(translation=[0.000, 0.000, 0.000])"
        assert t.rotation.flags.c_contiguous and t.rotation.dtype == np.float64

    def test_from_matrix_and_matrix(self):
        t = ovelt.Transform.from_matrix(np.eye(3), np.array([1.0, 2.0, 3.0]))
        np.testing.assert_array_equal(
            t.transformation_matrix(), [[1, 0, 0, 1], [0, 1, 0, 2], [0, 0, 1, 3], [0, 0, 0, 1]]
        )
        # callable on an instance too
        assert isinstance(t.from_matrix(np.eye(3), np.zeros(3)), ovelt.Transform)

    @pytest.mark.parametrize(
        "rot,trans,message",
        [
            (np.eye(3), np.zeros(4), "Translation must be 3-element vector"),
            (np.zeros((2, 3)), np.zeros(4), "Rotation must be 3x3 matrix"),
            (np.zeros((3, 4)), np.zeros(3), "Rotation must be 3x3 matrix"),
        ],
    )
    def test_from_matrix_shape_errors(self, rot, trans, message):
        with pytest.raises(ValueError) as info:
            ovelt.Transform.from_matrix(rot, trans)
        assert str(info.value) == message

    def test_from_matrix_refuses_integer_arrays(self):
        with pytest.raises(TypeError, match="rotation"):
            ovelt.Transform.from_matrix(np.eye(3, dtype=int), np.zeros(3))

    def test_getters_return_copies(self):
        t = ovelt.Transform.from_matrix(ROT_Z90, np.array([1.0, 2.0, 3.0]))
        r = t.rotation
        r[:] = 0
        np.testing.assert_array_equal(t.rotation, ROT_Z90)

    def test_non_orthonormal_inverse_is_transpose(self):
        m = np.full((3, 3), 2.0)
        m[0, 1] = 5.0
        t = ovelt.Transform.from_matrix(m, np.array([1.0, 2.0, 3.0]))
        inv = t.inverse()
        np.testing.assert_array_equal(inv.rotation, m.T)
        np.testing.assert_allclose(inv.translation, -(m.T @ [1.0, 2.0, 3.0]))

    def test_compose_order_and_inverse(self):
        a = ovelt.Transform.from_matrix(ROT_Z90, np.array([5.0, 0.0, 0.0]))
        b = ovelt.Transform.from_matrix(np.array([[1.0, 0, 0], [0, 0, -1], [0, 1, 0]]), np.array([1.0, 2.0, 3.0]))
        x = rng_points(7)
        np.testing.assert_allclose(a.compose(b).apply(x), a.apply(b.apply(x)), atol=1e-12)
        assert not np.allclose(a.compose(b).apply(x), b.compose(a).apply(x))
        for c in (a.compose(a.inverse()), a.inverse().compose(a)):
            np.testing.assert_allclose(c.transformation_matrix(), np.eye(4), atol=1e-12)
        with pytest.raises(TypeError, match="'other'"):
            a.compose(np.eye(4))

    def test_apply_shapes_and_strides(self):
        t = ovelt.Transform.from_matrix(ROT_Z90, np.array([1.0, 2.0, 3.0]))
        assert t.apply(np.zeros((0, 3))).shape == (0, 3)
        with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
            t.apply(np.zeros((4, 2)))
        big = rng_points(20).reshape(10, 6)
        view = big[::2, 1:4]  # non-contiguous rows and columns
        out = t.apply(view)
        np.testing.assert_allclose(out, view @ ROT_Z90.T + [1, 2, 3])
        assert out.flags.c_contiguous
        np.testing.assert_allclose(t.apply(np.asfortranarray(view)), out)

    @pytest.mark.parametrize(
        "t,text",
        [
            ((1.0, -2.5, 0.0), "Transform(translation=[1.000, -2.500, 0.000])"),
            ((-0.0, 0.0005, -0.0004), "Transform(translation=[-0.000, 0.001, -0.000])"),
            ((math.nan, math.inf, -math.inf), "Transform(translation=[NaN, inf, -inf])"),
            ((1e20, 2.0, 3.0), "Transform(translation=[100000000000000000000.000, 2.000, 3.000])"),
        ],
    )
    def test_repr(self, t, text):
        assert repr(ovelt.Transform.from_matrix(np.eye(3), np.array(t))) == text

    def test_no_setters(self):
        t = ovelt.Transform()
        with pytest.raises(AttributeError):
            t.rotation = np.eye(3)

    @pytest.mark.parametrize(
        "member,sig",
        [("from_matrix", "(rotation, translation)"), ("apply", "($self, coords)"), ("inverse", "($self)"),
         ("compose", "($self, other)"), ("transformation_matrix", "($self)")],
    )
    def test_method_signatures(self, member, sig):
        assert getattr(ovelt.Transform, member).__text_signature__ == sig

    def test_docstrings(self):
        assert ovelt.Transform.__doc__ == (
            "Python wrapper for 3D rigid body transformation.\n\nRepresents a rotation followed by translation."
        )
        assert ovelt.Transform.__text_signature__ == "()"
        assert ovelt.Transform.apply.__doc__ == (
            "Applies this transformation to coordinates.\n\nArgs:\n    coords: Nx3 array of coordinates."
            "\n\nReturns:\n    Transformed Nx3 array."
        )
        assert ovelt.Transform.rotation.__doc__ == "Returns the rotation matrix as 3x3 numpy array."
        assert ovelt.Transform.translation.__doc__ == "Returns the translation vector as numpy array."


class TestSuperpose:
    def test_real_family_matches_numpy_svd(self):
        fixed = ca_trace(DATA / "structures/globin/1mbn.pdb")
        mobile = ca_trace(DATA / "structures/globin/5vzq.pdb")
        assert fixed.shape == mobile.shape == (153, 3)
        t, rmsd = ovelt.superpose(fixed, mobile)
        r, tr, ref_rmsd = kabsch(fixed, mobile)
        np.testing.assert_allclose(t.rotation, r, atol=1e-9)
        np.testing.assert_allclose(t.translation, tr, atol=1e-9)
        assert rmsd == pytest.approx(ref_rmsd, abs=1e-9)
        assert np.linalg.det(t.rotation) == pytest.approx(1.0, abs=1e-12)

    @pytest.mark.parametrize("pair", [("kringle/1kdu", "kringle/1pk4"), ("globin/1hho", "globin/1mbn"),
                                      ("kinesin_motor/d1bg2__", "kinesin_motor/d3kar__")])
    def test_unrelated_frames_match_numpy(self, pair):
        a = ca_trace(DATA / f"structures/{pair[0]}.pdb")
        b = ca_trace(DATA / f"structures/{pair[1]}.pdb")
        n = min(len(a), len(b))
        t, rmsd = ovelt.superpose(a[:n], b[:n])
        r, tr, ref_rmsd = kabsch(a[:n], b[:n])
        np.testing.assert_allclose(t.rotation, r, atol=1e-9)
        np.testing.assert_allclose(t.translation, tr, atol=1e-9)
        assert rmsd == pytest.approx(ref_rmsd, abs=1e-9)

    def test_recovers_motion(self):
        x = rng_points(10)
        y = x @ ROT_Z90.T + [5.0, 0.0, 0.0]
        t, rmsd = ovelt.superpose(x, y)
        assert rmsd == pytest.approx(0.0, abs=1e-9)
        np.testing.assert_allclose(t.apply(y), x, atol=1e-9)
        np.testing.assert_allclose(t.rotation, ROT_Z90.T, atol=1e-12)

    def test_self_is_identity(self):
        x = rng_points(5)
        t, rmsd = ovelt.superpose(x, x)
        np.testing.assert_allclose(t.rotation, np.eye(3), atol=1e-12)
        np.testing.assert_allclose(t.translation, 0.0, atol=1e-12)
        assert rmsd == pytest.approx(0.0, abs=1e-9)

    def test_mirror_never_reflects(self):
        x = rng_points(8)
        t, rmsd = ovelt.superpose(x, x * [1, 1, -1])
        assert np.linalg.det(t.rotation) == pytest.approx(1.0)
        assert rmsd > 0.1

    def test_empty_and_single(self):
        t, rmsd = ovelt.superpose(np.zeros((0, 3)), np.zeros((0, 3)))
        np.testing.assert_array_equal(t.transformation_matrix(), np.eye(4))
        assert rmsd == 0.0
        t, rmsd = ovelt.superpose(np.array([[1.0, 2, 3]]), np.array([[4.0, 6, 8]]))
        np.testing.assert_array_equal(t.rotation, np.eye(3))
        np.testing.assert_array_equal(t.translation, [-3, -4, -5])
        assert rmsd == 0.0

    def test_shape_errors(self):
        with pytest.raises(ValueError, match="^Coordinate arrays must have same shape$"):
            ovelt.superpose(np.zeros((5, 3)), np.zeros((4, 3)))
        with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
            ovelt.superpose(np.zeros((3, 2)), np.zeros((3, 2)))


class TestFunctions:
    def test_compute_rmsd(self):
        assert ovelt.compute_rmsd(np.zeros((0, 3)), np.zeros((0, 3))) == 0.0
        assert ovelt.compute_rmsd(np.zeros((1, 3)), np.array([[3.0, 4.0, 0.0]])) == 5.0
        with pytest.raises(ValueError, match="^Coordinate arrays must have same shape$"):
            ovelt.compute_rmsd(np.zeros((5, 3)), np.zeros((4, 3)))
        with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
            ovelt.compute_rmsd(np.zeros((5, 4)), np.zeros((5, 4)))

    def test_centroid(self):
        assert ovelt.centroid(np.array([[1.0, 2.0, 3.0]])) == (1.0, 2.0, 3.0)
        x = rng_points(9)
        assert ovelt.centroid(x) == pytest.approx(tuple(x.mean(axis=0)))
        with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
            ovelt.centroid(np.zeros((2, 4)))

    @pytest.mark.parametrize("m,n", [(2, 3), (0, 3), (3, 0), (0, 0)])
    def test_distance_matrix_shapes(self, m, n):
        a, b = rng_points(m, 1), rng_points(n, 2)
        d = ovelt.distance_matrix(a, b)
        assert d.shape == (m, n)
        np.testing.assert_allclose(d, np.sqrt(((a[:, None, :] - b[None, :, :]) ** 2).sum(-1)).reshape(m, n))

    def test_distance_matrix_shape_error(self):
        with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
            ovelt.distance_matrix(np.zeros((2, 3)), np.zeros((2, 2)))


def current_rss_kib():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_geometry_calls_do_not_leak():
    x = rng_points(20)
    t = ovelt.Transform.from_matrix(ROT_Z90, np.array([1.0, 2.0, 3.0]))
    calls = [
        lambda: ovelt.superpose(x, x),
        lambda: ovelt.compute_rmsd(x, x),
        lambda: ovelt.centroid(x),
        lambda: ovelt.distance_matrix(x, x),
        lambda: t.apply(x).sum() + t.inverse().compose(t).rotation.sum() + t.translation.sum(),
        lambda: repr(t) + repr(t.transformation_matrix()),
    ]
    for call in calls:
        for _ in range(2000):
            call()
    before = current_rss_kib()
    for call in calls:
        for _ in range(100_000):
            call()
    # A leaked array or Transform per call would add tens of megabytes here.
    assert current_rss_kib() - before < 4096
