#include "storage/io/file_uri.h"

#include <uriparser/Uri.h>

#include <cctype>
#include <string_view>
#include <vector>

namespace velq {

namespace {

constexpr const char* kInvalidPath = "Invalid file URI path";

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Characters a URI may carry unescaped (RFC 3986 reserved and unreserved).
bool is_uri_char(char c) {
  if (std::isalnum(static_cast<unsigned char>(c))) return true;
  return std::string_view("-._~:/?#[]@!$&'()*+,;=").find(c) != std::string_view::npos;
}

// Percent-encodes the bytes a strict RFC 3986 parser refuses but a lenient
// URL parser encodes for the caller, so both read the same path.
std::string escape_lenient(const std::string& uri) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(uri.size());
  for (std::size_t i = 0; i < uri.size(); ++i) {
    const char c = uri[i];
    const bool valid_escape = c == '%' && i + 2 < uri.size() && is_hex(uri[i + 1]) &&
                              is_hex(uri[i + 2]);
    if (c == '\\') {
      out += '/';  // file URLs treat a backslash as a separator
    } else if (is_uri_char(c) || valid_escape) {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

bool is_dot(std::string_view raw) { return raw == "." || raw == "%2e" || raw == "%2E"; }

bool is_dot_dot(std::string_view raw) {
  if (raw.size() < 2 || raw.size() > 6) return false;
  std::string lower;
  for (char c : raw) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == ".." || lower == ".%2e" || lower == "%2e." || lower == "%2e%2e";
}

std::string_view text(const UriTextRangeA& r) {
  if (r.first == nullptr || r.afterLast == nullptr) return {};
  return std::string_view(r.first, static_cast<std::size_t>(r.afterLast - r.first));
}

// Frees the parser's members on scope exit.
struct ParsedUri {
  UriUriA uri{};
  ~ParsedUri() { uriFreeUriMembersA(&uri); }
};

}  // namespace

Result<std::string> file_uri_to_path(const std::string& uri) {
  const std::string escaped = escape_lenient(uri);
  ParsedUri parsed;
  const char* error_pos = nullptr;
  if (uriParseSingleUriExA(&parsed.uri, escaped.data(), escaped.data() + escaped.size(),
                           &error_pos) != URI_SUCCESS) {
    const auto at = error_pos ? static_cast<std::size_t>(error_pos - escaped.data()) : 0;
    return Error::invalid_argument("invalid file URL: syntax error at byte " + std::to_string(at));
  }
  const UriUriA& u = parsed.uri;
  std::string host(text(u.hostText));
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (u.hostData.ip4 || u.hostData.ip6 || text(u.hostData.ipFuture).size() > 0 ||
      !(host.empty() || host == "localhost") || !text(u.userInfo).empty() ||
      !text(u.portText).empty()) {
    return Error::invalid_argument(kInvalidPath);
  }

  std::vector<std::string> segments;
  bool trailing_slash = false;
  for (const UriPathSegmentA* s = u.pathHead; s != nullptr; s = s->next) {
    const std::string_view raw = text(s->text);
    trailing_slash = false;
    if (is_dot(raw)) {
      trailing_slash = s->next == nullptr;
    } else if (is_dot_dot(raw)) {
      if (!segments.empty()) segments.pop_back();
      trailing_slash = s->next == nullptr;
    } else {
      std::string seg(raw);
      seg.resize(static_cast<std::size_t>(
          uriUnescapeInPlaceExA(seg.data(), URI_FALSE, URI_BR_DONT_TOUCH) - seg.data()));
      if (seg.find('\0') != std::string::npos) return Error::invalid_argument(kInvalidPath);
      segments.push_back(std::move(seg));
    }
  }
  if (trailing_slash || segments.empty()) segments.emplace_back();

  std::string path;
  for (const std::string& seg : segments) {
    path += '/';
    path += seg;
  }
  return path;
}

}  // namespace velq
