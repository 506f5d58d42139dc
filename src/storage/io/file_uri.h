// Conversion of "file://" URLs to local paths.
#pragma once

#include <string>

#include "common/result.h"

namespace velq {

// The local path a "file://" URL names: its percent-decoded path segments,
// each preceded by "/", with "." and ".." resolved. The host must be empty
// or "localhost"; another host, credentials, a port, or a path that decodes
// to a NUL byte give "Invalid file URI path". Characters that URL parsers
// accept leniently (spaces, non-ASCII bytes, a stray '%') are taken as
// literal path bytes.
Result<std::string> file_uri_to_path(const std::string& uri);

}  // namespace velq
