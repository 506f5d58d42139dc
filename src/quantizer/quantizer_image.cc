#include "quantizer/quantizer_image.h"

#include <cstring>
#include <optional>
#include <string>

#include "common/byte_io.h"

namespace velq {

namespace {

void put_floats(ByteWriter& w, const std::vector<float>& v) {
  w.u64(v.size());
  w.bytes(std::span(reinterpret_cast<const std::uint8_t*>(v.data()), v.size() * sizeof(float)));
}

void put_optional_floats(ByteWriter& w, const std::optional<std::vector<float>>& v) {
  w.u8(v.has_value() ? 1 : 0);
  if (v) put_floats(w, *v);
}

Error ends_early() { return Error::corruption("decode error: quantizer image ends early"); }

Error inconsistent(const std::string& what) {
  return Error::corruption("decode error: inconsistent quantizer image: " + what);
}

// Reads the quantizer fields; every read is bounds-checked and a list is
// allocated only after its bytes are known to be present.
class ImageReader {
 public:
  explicit ImageReader(std::span<const std::uint8_t> bytes) : r_(bytes) {}

  Status u64(std::uint64_t& v) { return r_.u64(v) ? ok_status() : Status(ends_early()); }

  Status flag(bool& v, const char* what) {
    std::uint8_t byte;
    if (!r_.u8(byte)) return ends_early();
    if (byte > 1) {
      return Error::corruption(std::string("decode error: invalid ") + what + " byte " + std::to_string(byte) +
                   ", expected 0 or 1");
    }
    v = byte == 1;
    return ok_status();
  }

  Status floats(std::vector<float>& v) {
    std::uint64_t count;
    VELQ_RETURN_IF_ERROR(u64(count));
    std::span<const std::uint8_t> raw;
    if (!r_.fits(count, sizeof(float)) || !r_.take(count * sizeof(float), raw)) {
      return ends_early();
    }
    v.resize(count);
    if (count > 0) std::memcpy(v.data(), raw.data(), raw.size());
    return ok_status();
  }

  Status optional_floats(std::optional<std::vector<float>>& v) {
    bool present;
    VELQ_RETURN_IF_ERROR(flag(present, "option tag"));
    if (!present) {
      v.reset();
      return ok_status();
    }
    return floats(v.emplace());
  }

 private:
  ByteReader r_;
};

bool is_pow2(std::uint64_t x) { return x != 0 && (x & (x - 1)) == 0; }

// A stage rotates or projects d inputs into n outputs: by a d*d matrix
// (n = d) or by signs of the Hadamard transform (n = the power of two
// covering d, one sign per output).
Status check_stage(const char* stage, std::uint64_t d, std::uint64_t n,
                   const std::vector<float>& signs, const std::optional<std::vector<float>>& matrix) {
  const std::string s(stage);
  if (matrix) {
    if (n != d) return inconsistent(s + " dense form needs n = d");
    // size == d*d, without forming d*d (a hostile d may overflow it).
    const std::size_t size = matrix->size();
    const bool square = d == 0 ? size == 0 : size % d == 0 && size / d == d;
    if (!square) return inconsistent(s + " matrix is not d x d");
    return ok_status();
  }
  // n = npow2(d), with npow2(0) = 1.
  if (!is_pow2(n) || n < d || (n > 1 && n / 2 >= d)) {
    return inconsistent(s + " n is not the power of two covering d");
  }
  if (signs.size() != n) return inconsistent(s + " needs one sign per output");
  return ok_status();
}

Status check_consistency(const ProdQuantizer& q) {
  const MseQuantizer& mse = q.mse_quantizer();
  const QjlQuantizer& qjl = q.qjl_quantizer();
  if (mse.d != q.d() || qjl.d != q.d()) return inconsistent("stage dimensions differ");
  if (mse.n != q.n() || qjl.n != q.n()) return inconsistent("stage lengths differ");
  if (mse.b > 16) return inconsistent("more than 16 MSE bits");
  if (mse.centroids.size() != (std::uint64_t{1} << mse.b)) {
    return inconsistent("codebook size is not 2^bits");
  }
  VELQ_RETURN_IF_ERROR(check_stage("MSE", mse.d, mse.n, mse.rotation_signs, mse.rotation_matrix));
  return check_stage("QJL", qjl.d, qjl.n, qjl.projection_signs, qjl.projection_matrix);
}

Result<ProdQuantizer> read_image(ImageReader& r) {
  std::uint64_t d = 0, n = 0, b = 0;
  MseQuantizer mse;
  QjlQuantizer qjl;
  bool fast = false;
  VELQ_RETURN_IF_ERROR(r.u64(d));
  VELQ_RETURN_IF_ERROR(r.u64(n));
  VELQ_RETURN_IF_ERROR(r.u64(b));
  VELQ_RETURN_IF_ERROR(r.u64(mse.d));
  VELQ_RETURN_IF_ERROR(r.u64(mse.n));
  VELQ_RETURN_IF_ERROR(r.u64(mse.b));
  VELQ_RETURN_IF_ERROR(r.floats(mse.rotation_signs));
  VELQ_RETURN_IF_ERROR(r.floats(mse.centroids));
  VELQ_RETURN_IF_ERROR(r.optional_floats(mse.rotation_matrix));
  VELQ_RETURN_IF_ERROR(r.u64(qjl.d));
  VELQ_RETURN_IF_ERROR(r.u64(qjl.n));
  VELQ_RETURN_IF_ERROR(r.floats(qjl.projection_signs));
  VELQ_RETURN_IF_ERROR(r.optional_floats(qjl.projection_matrix));
  VELQ_RETURN_IF_ERROR(r.flag(fast, "fast_mode"));
  return ProdQuantizer::from_parts(d, n, b, std::move(mse), std::move(qjl), fast);
}

}  // namespace

std::vector<std::uint8_t> encode_quantizer_image(const ProdQuantizer& q) {
  std::vector<std::uint8_t> out;
  ByteWriter w(out);
  w.u64(q.d());
  w.u64(q.n());
  w.u64(q.b());
  w.u64(q.mse_quantizer().d);
  w.u64(q.mse_quantizer().n);
  w.u64(q.mse_quantizer().b);
  put_floats(w, q.mse_quantizer().rotation_signs);
  put_floats(w, q.mse_quantizer().centroids);
  put_optional_floats(w, q.mse_quantizer().rotation_matrix);
  w.u64(q.qjl_quantizer().d);
  w.u64(q.qjl_quantizer().n);
  put_floats(w, q.qjl_quantizer().projection_signs);
  put_optional_floats(w, q.qjl_quantizer().projection_matrix);
  w.u8(q.fast_mode() ? 1 : 0);
  return out;
}

Result<ProdQuantizer> decode_quantizer_image(std::span<const std::uint8_t> bytes) {
  ImageReader r(bytes);
  VELQ_ASSIGN_OR_RETURN(ProdQuantizer q, read_image(r));
  VELQ_RETURN_IF_ERROR(check_consistency(q));
  return q;
}

}  // namespace velq
