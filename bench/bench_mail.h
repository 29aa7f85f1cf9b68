// Test messages for the benchmark and soak drivers: a multipart body of plain text words
// of a wanted size, optionally with one file attached in base64, and the EICAR test file.
// Plain functions, no state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mload {

// The MIME boundary of every body made here; the Content-Type header names it.
inline constexpr char kBoundary[] = "zvbench-boundary-0001";

// A size written as a number with an optional k or m (KiB, MiB); false when malformed.
[[nodiscard]] bool parse_size(const char* text, size_t* out);

// The EICAR test file, assembled at run time so that no source file carries it.
std::string eicar_test_file();

// Base64 without line breaks.
std::string base64(std::string_view in);

// A multipart/mixed body of about `size` bytes (never less than a short text part): a
// text part of plain words and, when `attachment` is not empty, that file as a base64
// attachment named `name`. CRLF line ends, as the MTA hands bodies to filters. The words
// follow a fixed sequence, so equal arguments give equal bodies.
std::string make_body(size_t size, std::string_view attachment = {},
                      std::string_view name = "eicar.com");

}  // namespace mload
