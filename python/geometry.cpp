// Module functions over coordinate arrays: superpose, compute_rmsd, centroid,
// distance_matrix.
#include "bindings.hpp"
#include "pelda/math/superpose.hpp"

namespace ovelt {
namespace {

bool same_shape(const pelda::MatrixView& a, const pelda::MatrixView& b) {
  return a.rows == b.rows && a.cols == b.cols;
}

PyObject* superpose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    const char* q = "superpose";
    pelda::MatrixView f, m;
    if (!parse_args(q, args, nargs, kwnames, {"fixed", "mobile"}, 2, a) || !arg_array(q, "fixed", a[0], 2, &f) ||
        !arg_array(q, "mobile", a[1], 2, &m))
      return nullptr;
    if (!same_shape(f, m)) return raise_value("Coordinate arrays must have same shape");
    if (f.cols != 3) return raise_value("Coordinates must have shape (N, 3)");
    const pelda::PointList fixed = view_to_points(f), mobile = view_to_points(m);
    if (!validated(pelda::check_finite(fixed, "fixed")) || !validated(pelda::check_finite(mobile, "mobile")))
      return nullptr;
    const pelda::Superposition s = without_gil([&] { return pelda::superpose(fixed, mobile); });
    Ref t(wrap_transform(s.transform));
    if (!t) return nullptr;
    return Py_BuildValue("(Od)", t.get(), s.rmsd);
  });
}

PyObject* compute_rmsd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    const char* q = "compute_rmsd";
    pelda::MatrixView c1, c2;
    if (!parse_args(q, args, nargs, kwnames, {"coords1", "coords2"}, 2, a) ||
        !arg_array(q, "coords1", a[0], 2, &c1) || !arg_array(q, "coords2", a[1], 2, &c2))
      return nullptr;
    if (!same_shape(c1, c2)) return raise_value("Coordinate arrays must have same shape");
    if (c1.cols != 3) return raise_value("Coordinates must have shape (N, 3)");
    const pelda::PointList p1 = view_to_points(c1), p2 = view_to_points(c2);
    if (!validated(pelda::check_finite(p1, "coords1")) || !validated(pelda::check_finite(p2, "coords2")))
      return nullptr;
    return PyFloat_FromDouble(without_gil([&] { return pelda::rmsd(p1, p2); }));
  });
}

PyObject* centroid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    const char* q = "centroid";
    pelda::MatrixView c;
    if (!parse_args(q, args, nargs, kwnames, {"coords"}, 1, a) || !arg_array(q, "coords", a[0], 2, &c))
      return nullptr;
    if (c.cols != 3) return raise_value("Coordinates must have shape (N, 3)");
    const pelda::PointList points = view_to_points(c);
    const pelda::Result<pelda::Vec3> r = without_gil([&] { return pelda::centroid(points); });
    if (!r) return raise_core(PyExc_ValueError, "", r.error());
    return Py_BuildValue("(ddd)", r->x, r->y, r->z);
  });
}

PyObject* distance_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    const char* q = "distance_matrix";
    pelda::MatrixView c1, c2;
    if (!parse_args(q, args, nargs, kwnames, {"coords1", "coords2"}, 2, a) ||
        !arg_array(q, "coords1", a[0], 2, &c1) || !arg_array(q, "coords2", a[1], 2, &c2))
      return nullptr;
    if (c1.cols != 3 || c2.cols != 3) return raise_value("Coordinates must have shape (N, 3)");
    const pelda::PointList p1 = view_to_points(c1), p2 = view_to_points(c2);
    const std::vector<double> d = without_gil([&] { return pelda::distance_matrix(p1, p2); });
    double* out;
    PyObject* arr = new_array_2d(c1.rows, c2.rows, &out);
    if (arr && !d.empty()) std::copy(d.begin(), d.end(), out);
    return arr;
  });
}

}  // namespace

PyMethodDef superpose_def = {
    "superpose", as_cfunc(superpose), METH_FASTCALL | METH_KEYWORDS,
    "superpose(fixed, mobile)\n--\n\n"
    "Computes optimal superposition of two coordinate sets.\n\n"
    "Args:\n"
    "    fixed: Reference coordinates (N x 3).\n"
    "    mobile: Coordinates to transform (N x 3).\n\n"
    "Returns:\n"
    "    Tuple of (Transform, rmsd)."};

PyMethodDef compute_rmsd_def = {
    "compute_rmsd", as_cfunc(compute_rmsd), METH_FASTCALL | METH_KEYWORDS,
    "compute_rmsd(coords1, coords2)\n--\n\n"
    "Computes RMSD between two coordinate sets.\n\n"
    "Args:\n"
    "    coords1: First coordinate array (N x 3).\n"
    "    coords2: Second coordinate array (N x 3).\n\n"
    "Returns:\n"
    "    RMSD value in same units as input coordinates."};

PyMethodDef centroid_def = {
    "centroid", as_cfunc(centroid), METH_FASTCALL | METH_KEYWORDS,
    "centroid(coords)\n--\n\n"
    "Computes centroid of a coordinate set.\n\n"
    "Args:\n"
    "    coords: Coordinate array (N x 3).\n\n"
    "Returns:\n"
    "    Centroid as (x, y, z) tuple."};

PyMethodDef distance_matrix_def = {
    "distance_matrix", as_cfunc(distance_matrix), METH_FASTCALL | METH_KEYWORDS,
    "distance_matrix(coords1, coords2)\n--\n\n"
    "Computes distance matrix between two coordinate sets.\n\n"
    "Args:\n"
    "    coords1: First coordinate array (M x 3).\n"
    "    coords2: Second coordinate array (N x 3).\n\n"
    "Returns:\n"
    "    MxN distance matrix as numpy array."};

}  // namespace ovelt
