// Python class Transform: one rigid-body transform held by value.
#include "bindings.hpp"
#include "state.hpp"

namespace ovelt {
namespace {

using pelda::Transform;

PyTypeObject* transform_cache = nullptr;

PyObject* transform_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Transform() takes no arguments");
    return nullptr;
  }
  return guarded([&] { return box_new(type, Transform::identity()); });
}

PyObject* from_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    const char* q = "Transform.from_matrix";
    if (!parse_args(q, args, nargs, kwnames, {"rotation", "translation"}, 2, a)) return nullptr;
    pelda::MatrixView r, t;
    if (!arg_array(q, "rotation", a[0], 2, &r) || !arg_array(q, "translation", a[1], 1, &t)) return nullptr;
    if (r.rows != 3 || r.cols != 3) return raise_value("Rotation must be 3x3 matrix");
    if (t.rows != 3) return raise_value("Translation must be 3-element vector");
    Transform out;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) out.rotation[i][j] = r.at(i, j);
      out.translation[i] = t.at(i, 0);
    }
    return wrap_transform(out);
  });
}

PyObject* get_rotation(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const Transform& t = unbox<Transform>(self);
    double* d;
    PyObject* a = new_array_2d(3, 3, &d);
    if (a)
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) *d++ = t.rotation[i][j];
    return a;
  });
}

PyObject* get_translation(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const Transform& t = unbox<Transform>(self);
    double* d;
    PyObject* a = new_array_1d(3, &d);
    if (a)
      for (int i = 0; i < 3; ++i) d[i] = t.translation[i];
    return a;
  });
}

PyObject* transformation_matrix(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const pelda::Mat4 m = unbox<Transform>(self).transformation_matrix();
    double* d;
    PyObject* a = new_array_2d(4, 4, &d);
    if (a)
      for (const auto& row : m)
        for (double x : row) *d++ = x;
    return a;
  });
}

PyObject* apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    const char* q = "Transform.apply";
    if (!parse_args(q, args, nargs, kwnames, {"coords"}, 1, a, 1)) return nullptr;
    pelda::MatrixView c;
    if (!arg_array(q, "coords", a[0], 2, &c)) return nullptr;
    if (c.cols != 3) return raise_value("Coordinates must have shape (N, 3)");
    const pelda::PointList points = view_to_points(c);
    const Transform t = unbox<Transform>(self);
    return points_to_array(without_gil([&] { return t.apply(points); }));
  });
}

PyObject* inverse(PyObject* self, PyObject*) {
  return guarded([&] { return wrap_transform(unbox<Transform>(self).inverse()); });
}

PyObject* compose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    const char* q = "Transform.compose";
    if (!parse_args(q, args, nargs, kwnames, {"other"}, 1, a, 1)) return nullptr;
    Transform other;
    if (!arg_transform(q, "other", a[0], &other)) return nullptr;
    return wrap_transform(unbox<Transform>(self).compose(other));
  });
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const pelda::Vec3& t = unbox<Transform>(self).translation;
    std::string s = "Transform(translation=[" + format_fixed(t.x, 3) + ", " + format_fixed(t.y, 3) + ", " +
                    format_fixed(t.z, 3) + "])";
    return PyUnicode_FromString(s.c_str());
  });
}

PyObject* reduce(PyObject* self, PyObject*) {
  return reduce_with(self, [&](StateWriter& w) { w.transform(unbox<Transform>(self)); });
}

PyObject* from_state(PyObject* cls, PyObject* arg) {
  return restore<Transform>(cls, arg, [](StateReader& in) { return in.transform(); });
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"_from_state", from_state, METH_O | METH_CLASS, nullptr},
    {"from_matrix", as_cfunc(from_matrix),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_matrix(rotation, translation)\n--\n\n"
     "Creates a transformation from rotation matrix and translation vector.\n\n"
     "Args:\n"
     "    rotation: 3x3 rotation matrix as numpy array.\n"
     "    translation: 3-element translation vector as numpy array."},
    {"transformation_matrix", transformation_matrix, METH_NOARGS,
     "transformation_matrix($self)\n--\n\nReturns the full 4x4 transformation matrix."},
    {"apply", as_cfunc(apply), METH_FASTCALL | METH_KEYWORDS,
     "apply($self, coords)\n--\n\n"
     "Applies this transformation to coordinates.\n\n"
     "Args:\n"
     "    coords: Nx3 array of coordinates.\n\n"
     "Returns:\n"
     "    Transformed Nx3 array."},
    {"inverse", inverse, METH_NOARGS, "inverse($self)\n--\n\nReturns the inverse transformation."},
    {"compose", as_cfunc(compose),
     METH_FASTCALL | METH_KEYWORDS,
     "compose($self, other)\n--\n\nComposes this transformation with another (self * other)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"rotation", get_rotation, nullptr, "Returns the rotation matrix as 3x3 numpy array.", nullptr},
    {"translation", get_translation, nullptr, "Returns the translation vector as numpy array.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(transform_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Transform>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("Transform()\n--\n\n"
                                  "Python wrapper for 3D rigid body transformation.\n\n"
                                  "Represents a rotation followed by translation.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"Transform", sizeof(Box<Transform>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* transform_type() { return lazy_type(&type_spec, &transform_cache); }

PyObject* wrap_transform(const Transform& t) { return box_new(transform_type(), t); }

bool arg_transform(const char* qualname, const char* name, PyObject* obj, Transform* out) {
  if (!check_instance(qualname, name, obj, transform_type(), "Transform")) return false;
  *out = unbox<Transform>(obj);
  return true;
}

}  // namespace ovelt
