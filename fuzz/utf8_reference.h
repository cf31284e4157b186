// UTF-8 as the Unicode Standard defines it (Table 3-7), written from the table rather than from
// the agent's encoder, so that the two can be checked against each other.
#pragma once

#include <string>
#include <string_view>

namespace quenwick::fuzz {

bool isValidUtf8(std::string_view bytes);

// Each ill-formed part becomes one U+FFFD per maximal subpart: a lead byte with the continuation
// bytes that could still have completed it, or a lone byte that starts nothing.
std::string replaceInvalidUtf8(std::string_view bytes);

// Appends the scalar value `code` (not a surrogate, at most U+10FFFF) in UTF-8.
void appendUtf8(std::string& out, char32_t code);

}  // namespace quenwick::fuzz
