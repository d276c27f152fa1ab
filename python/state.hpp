// Pickling: every class reduces to (Class._from_state, (bytes,)), the bytes a
// flat image of the core value it holds. Fields are written in order, as
// little-endian 64-bit words (doubles by their bits, so NaN payloads and -0
// survive) and length-prefixed strings, after a format version.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "common.hpp"
#include "pelda/math/transform.hpp"

namespace ovelt {

class StateWriter {
 public:
  StateWriter();
  void word(std::uint64_t v);
  void real(double v) { word(std::bit_cast<std::uint64_t>(v)); }
  void text(std::string_view s);
  void transform(const pelda::Transform& t);
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Reads what StateWriter wrote; any short, surplus or out-of-range field
// makes ok() false, after which every read yields zeros.
class StateReader {
 public:
  explicit StateReader(std::string_view bytes);
  std::uint64_t word();
  double real() { return std::bit_cast<double>(word()); }
  std::string text();
  pelda::Transform transform();
  // A word that must not exceed `max`.
  std::uint64_t bounded(std::uint64_t max);
  // An item count of a list whose items take at least `item_bytes` each.
  std::size_t count(std::size_t item_bytes);
  // A Unicode scalar value (no surrogate, at most U+10FFFF).
  char32_t character();
  bool ok() const { return ok_; }
  // True when every byte was read and every field was in range.
  bool finished() const { return ok_ && pos_ == bytes_.size(); }
  // Marks the image as damaged (a field out of range); returns false.
  bool fail();

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// (type(self)._from_state, (bytes,)).
PyObject* reduce_to_state(PyObject* self, const StateWriter& state);

// The bytes argument of _from_state; TypeError for anything else.
bool state_bytes(PyObject* arg, std::string_view* out);

// ValueError "invalid pickled state for <class>".
PyObject* raise_bad_state(PyTypeObject* cls);

// The body of every __reduce__: the image that write(StateWriter&) makes.
template <class Write>
PyObject* reduce_with(PyObject* self, Write write) {
  return guarded([&] {
    StateWriter w;
    write(w);
    return reduce_to_state(self, w);
  });
}

// The body of every _from_state: read(StateReader&) rebuilds the value; an
// image that is short, long or out of range raises instead of making an object.
template <class T, class Read>
PyObject* restore(PyObject* cls, PyObject* arg, Read read) {
  return guarded([&]() -> PyObject* {
    std::string_view bytes;
    if (!state_bytes(arg, &bytes)) return nullptr;
    StateReader in(bytes);
    T value = read(in);
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!in.finished()) return raise_bad_state(type);
    return box_new(type, std::move(value));
  });
}

}  // namespace ovelt
