#include "state.hpp"

#include "pelda/io/utf8.hpp"

namespace ovelt {

namespace {
constexpr std::uint64_t kStateVersion = 1;
}

StateWriter::StateWriter() { word(kStateVersion); }

void StateWriter::word(std::uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes_.push_back(char((v >> (8 * i)) & 0xFF));
}

void StateWriter::text(std::string_view s) {
  word(s.size());
  bytes_.append(s);
}

void StateWriter::transform(const pelda::Transform& t) {
  for (const auto& row : t.rotation)
    for (double x : row) real(x);
  for (int i = 0; i < 3; ++i) real(t.translation[i]);
}

StateReader::StateReader(std::string_view bytes) : bytes_(bytes) {
  if (word() != kStateVersion) fail();
}

bool StateReader::fail() {
  ok_ = false;
  return false;
}

std::uint64_t StateReader::word() {
  if (!ok_ || bytes_.size() - pos_ < 8) return fail(), 0;
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= std::uint64_t(static_cast<unsigned char>(bytes_[pos_ + i])) << (8 * i);
  pos_ += 8;
  return v;
}

std::string StateReader::text() {
  const std::uint64_t n = word();
  if (!ok_ || n > bytes_.size() - pos_) return fail(), std::string();
  std::string s(bytes_.substr(pos_, n));
  pos_ += n;
  if (!pelda::is_valid_utf8(s)) return fail(), std::string();
  return s;
}

pelda::Transform StateReader::transform() {
  pelda::Transform t;
  for (auto& row : t.rotation)
    for (double& x : row) x = real();
  for (int i = 0; i < 3; ++i) t.translation[i] = real();
  return t;
}

std::uint64_t StateReader::bounded(std::uint64_t max) {
  const std::uint64_t v = word();
  if (v > max) return fail(), 0;
  return v;
}

std::size_t StateReader::count(std::size_t item_bytes) {
  const std::uint64_t n = word();
  if (!ok_ || n > (bytes_.size() - pos_) / item_bytes) return fail(), 0;
  return std::size_t(n);
}

char32_t StateReader::character() {
  const std::uint64_t c = bounded(0x10FFFF);
  if (c >= 0xD800 && c <= 0xDFFF) return fail(), 0;
  return char32_t(c);
}

PyObject* reduce_to_state(PyObject* self, const StateWriter& state) {
  Ref rebuild(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
  if (!rebuild) return nullptr;
  const std::string& b = state.bytes();
  return Py_BuildValue("(O(y#))", rebuild.get(), b.data(), Py_ssize_t(b.size()));
}

bool state_bytes(PyObject* arg, std::string_view* out) {
  if (!PyBytes_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "state must be bytes, not %s", Py_TYPE(arg)->tp_name);
    return false;
  }
  *out = std::string_view(PyBytes_AS_STRING(arg), std::size_t(PyBytes_GET_SIZE(arg)));
  return true;
}

PyObject* raise_bad_state(PyTypeObject* cls) {
  PyErr_Format(PyExc_ValueError, "invalid pickled state for %s", cls->tp_name);
  return nullptr;
}

}  // namespace ovelt
