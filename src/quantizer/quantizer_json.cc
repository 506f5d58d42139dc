// JSON forms of the quantizer and its stages: objects with the fields in
// declaration order (the manifest may carry one under "quantizer"), read back
// from an object in any key order or from an array of the field values.
#include <array>
#include <optional>
#include <vector>

#include "common/json_decode.h"
#include "quantizer/prod_quantizer.h"

namespace velq {

namespace {

JsonValue floats_json(const std::vector<float>& v) {
  std::vector<JsonValue> items;
  items.reserve(v.size());
  for (float x : v) items.push_back(JsonValue::floating_from_f32(x));
  return JsonValue::array(std::move(items));
}

JsonValue optional_floats_json(const std::optional<std::vector<float>>& v) {
  return v ? floats_json(*v) : JsonValue::null();
}

Result<std::vector<float>> decode_floats(const JsonValue& value) {
  return decode_array<float>(value, decode_f32);
}

// null means absent, like a missing key.
Status decode_optional_floats(const JsonValue& value, std::optional<std::vector<float>>& out) {
  if (value.is_null()) {
    out.reset();
    return ok_status();
  }
  return assign_decoded(out.emplace(), decode_floats(value));
}

// A stage's matrix may be left out of an object but not out of an array: only
// the product quantizer's trailing fast_mode may be missing there.
template <std::size_t N>
std::array<RecordField, N> with_matrix_required(std::array<RecordField, N> fields, bool array) {
  fields[N - 1].required = array;
  return fields;
}

}  // namespace

JsonValue MseQuantizer::serialize() const {
  return JsonValue::object(JsonObject::record({
      {"d", JsonValue::integer(d)},
      {"n", JsonValue::integer(n)},
      {"b", JsonValue::integer(b)},
      {"rotation_signs", floats_json(rotation_signs)},
      {"centroids", floats_json(centroids)},
      {"rotation_matrix", optional_floats_json(rotation_matrix)},
  }));
}

Result<MseQuantizer> MseQuantizer::deserialize(const JsonValue& value) {
  const auto fields = with_matrix_required(
      std::array<RecordField, 6>{{{"d", true},
                                  {"n", true},
                                  {"b", true},
                                  {"rotation_signs", true},
                                  {"centroids", true},
                                  {"rotation_matrix", false}}},
      value.is_array());
  MseQuantizer q;
  VELQ_RETURN_IF_ERROR(decode_record(
      value, "MseQuantizer", fields, [&](std::size_t i, const JsonValue& v) -> Status {
        switch (i) {
          case 0: return assign_decoded(q.d, decode_u64(v));
          case 1: return assign_decoded(q.n, decode_u64(v));
          case 2: return assign_decoded(q.b, decode_u64(v));
          case 3: return assign_decoded(q.rotation_signs, decode_floats(v));
          case 4: return assign_decoded(q.centroids, decode_floats(v));
          default: return decode_optional_floats(v, q.rotation_matrix);
        }
      }));
  return q;
}

JsonValue QjlQuantizer::serialize() const {
  return JsonValue::object(JsonObject::record({
      {"d", JsonValue::integer(d)},
      {"n", JsonValue::integer(n)},
      {"projection_signs", floats_json(projection_signs)},
      {"projection_matrix", optional_floats_json(projection_matrix)},
  }));
}

Result<QjlQuantizer> QjlQuantizer::deserialize(const JsonValue& value) {
  const auto fields = with_matrix_required(
      std::array<RecordField, 4>{
          {{"d", true}, {"n", true}, {"projection_signs", true}, {"projection_matrix", false}}},
      value.is_array());
  QjlQuantizer q;
  VELQ_RETURN_IF_ERROR(decode_record(
      value, "QjlQuantizer", fields, [&](std::size_t i, const JsonValue& v) -> Status {
        switch (i) {
          case 0: return assign_decoded(q.d, decode_u64(v));
          case 1: return assign_decoded(q.n, decode_u64(v));
          case 2: return assign_decoded(q.projection_signs, decode_floats(v));
          default: return decode_optional_floats(v, q.projection_matrix);
        }
      }));
  return q;
}

JsonValue ProdQuantizer::serialize() const {
  return JsonValue::object(JsonObject::record({
      {"d", JsonValue::integer(d_)},
      {"n", JsonValue::integer(n_)},
      {"b", JsonValue::integer(b_)},
      {"mse_quantizer", mse_.serialize()},
      {"qjl_quantizer", qjl_.serialize()},
      {"fast_mode", JsonValue::boolean(fast_mode_)},
  }));
}

Result<ProdQuantizer> ProdQuantizer::deserialize(const JsonValue& value) {
  static constexpr RecordField kFields[] = {{"d", true},
                                            {"n", true},
                                            {"b", true},
                                            {"mse_quantizer", true},
                                            {"qjl_quantizer", true},
                                            {"fast_mode", false}};
  std::uint64_t d = 0, n = 0, b = 0;
  MseQuantizer mse;
  QjlQuantizer qjl;
  bool fast = false;
  VELQ_RETURN_IF_ERROR(decode_record(
      value, "ProdQuantizer", kFields, [&](std::size_t i, const JsonValue& v) -> Status {
        switch (i) {
          case 0: return assign_decoded(d, decode_u64(v));
          case 1: return assign_decoded(n, decode_u64(v));
          case 2: return assign_decoded(b, decode_u64(v));
          case 3: return assign_decoded(mse, MseQuantizer::deserialize(v));
          case 4: return assign_decoded(qjl, QjlQuantizer::deserialize(v));
          default: return assign_decoded(fast, decode_bool(v));
        }
      }));
  return from_parts(d, n, b, std::move(mse), std::move(qjl), fast);
}

}  // namespace velq
