#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrel::dde {

/// A short, printable excerpt of untrusted text for a log line: control characters as '?', and past `limit`
/// bytes the size of the whole.
std::string Excerpt(std::string_view text, std::size_t limit = 80);

} // namespace tavrel::dde
