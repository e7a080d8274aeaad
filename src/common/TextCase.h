#pragma once

#include <string_view>

namespace tavrel::common {

/// True when two UTF-8 texts are the same but for letter case, for every letter Unicode gives a case to
/// ("KÜHLUNG" and "Kühlung", "ΠΑΣ" and "πας"). Bytes that are not UTF-8 must be equal as they are.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

} // namespace tavrel::common
