#include "pelda/io/gzip.hpp"

#include <zlib.h>

#include "pelda/io/utf8.hpp"

namespace pelda {

namespace {

// zlib reads at most this many bytes per call; larger pieces are fed in parts.
constexpr std::size_t max_piece = std::size_t(1) << 30;

// windowBits 15 plus 16: gzip wrapping only, so that raw or zlib-wrapped
// data is reported as damaged rather than guessed at.
constexpr int gzip_window_bits = 15 + 16;

Error damaged(std::string_view source, const z_stream& z) {
  std::string text = "damaged gzip data in " + sanitize_utf8(source);
  if (z.msg) text += std::string(" (") + z.msg + ")";
  return make_error(ErrorKind::Io, text);
}

}  // namespace

bool starts_gzip(std::string_view bytes) {
  return bytes.size() >= 2 && (unsigned char)bytes[0] == 0x1f && (unsigned char)bytes[1] == 0x8b;
}

bool has_gzip_suffix(std::string_view path) { return path.ends_with(".gz"); }

struct GzipInflater::Stream {
  z_stream z{};
  bool ready = false;
  Stream() { ready = inflateInit2(&z, gzip_window_bits) == Z_OK; }
  ~Stream() {
    if (ready) inflateEnd(&z);
  }
};

GzipInflater::GzipInflater() : stream_(std::make_unique<Stream>()) {}
GzipInflater::~GzipInflater() = default;

void GzipInflater::give(const char* data, std::size_t size) {
  stream_->z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  stream_->z.avail_in = uInt(std::min(size, max_piece));
}

bool GzipInflater::needs_input() const { return stream_->z.avail_in == 0; }

Status GzipInflater::inflate(char* out, std::size_t capacity, std::size_t* produced, std::string_view source) {
  z_stream& z = stream_->z;
  *produced = 0;
  if (!stream_->ready) return make_error(ErrorKind::Io, "cannot start inflating " + sanitize_utf8(source));
  if (z.avail_in == 0) return {};
  z.next_out = reinterpret_cast<Bytef*>(out);
  z.avail_out = uInt(std::min(capacity, max_piece));
  const uInt before = z.avail_out;
  between_members_ = false;
  const int rc = ::inflate(&z, Z_NO_FLUSH);
  *produced = before - z.avail_out;
  if (rc == Z_STREAM_END) {
    // A further member may follow (concatenated or block-compressed files).
    inflateReset(&z);
    between_members_ = true;
    return {};
  }
  if (rc == Z_OK || rc == Z_BUF_ERROR) return {};
  if (rc == Z_MEM_ERROR) return make_error(ErrorKind::Io, "out of memory inflating " + sanitize_utf8(source));
  return damaged(source, z);
}

struct GzipDeflater::Stream {
  z_stream z{};
  bool ready = false;
  Stream() { ready = deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, gzip_window_bits, 8, Z_DEFAULT_STRATEGY) == Z_OK; }
  ~Stream() {
    if (ready) deflateEnd(&z);
  }
};

GzipDeflater::GzipDeflater() : stream_(std::make_unique<Stream>()) {}
GzipDeflater::~GzipDeflater() = default;

Status GzipDeflater::deflate(std::string_view text, bool finish, std::string& out) {
  z_stream& z = stream_->z;
  if (!stream_->ready) return make_error(ErrorKind::Io, "cannot start compressing");
  char buf[16384];
  do {
    const std::size_t piece = std::min(text.size(), max_piece);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = uInt(piece);
    text.remove_prefix(piece);
    const int flush = finish && text.empty() ? Z_FINISH : Z_NO_FLUSH;
    int rc;
    do {
      z.next_out = reinterpret_cast<Bytef*>(buf);
      z.avail_out = sizeof buf;
      rc = ::deflate(&z, flush);
      if (rc == Z_STREAM_ERROR) return make_error(ErrorKind::Io, "compression failed");
      out.append(buf, sizeof buf - z.avail_out);
    } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  } while (!text.empty());
  return {};
}

}  // namespace pelda
