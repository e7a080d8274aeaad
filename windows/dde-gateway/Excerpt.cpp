#include "Excerpt.h"

namespace tavrel::dde {

std::string Excerpt(std::string_view text, std::size_t limit)
{
    std::string excerpt;
    for (const char c : text.substr(0, limit)) {
        const auto byte = static_cast<unsigned char>(c);
        excerpt += (byte < 0x20 || byte == 0x7f) ? '?' : c;
    }
    if (text.size() > limit) {
        excerpt += "... (" + std::to_string(text.size()) + " bytes)";
    }
    return excerpt;
}

} // namespace tavrel::dde
