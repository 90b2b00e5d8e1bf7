// Conversions between the host's UTF-8 and the UTF-16 of entry names.
// The strict forms refuse anything that is not well-formed Unicode, so a name
// can never change on its way into a payload; the printable forms are for messages only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorbel::pack {

// Refuses overlong forms, encoded surrogates, code points above U+10FFFF,
// cut-off sequences and stray continuation bytes.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);

// Refuses unpaired surrogates.
std::optional<std::string> utf16_to_utf8(std::u16string_view text);

// One line of readable UTF-8: invalid bytes and control characters become \xNN.
std::string printable(std::string_view utf8);
// Same for UTF-16: unpaired surrogates become \uDXXX.
std::string printable(std::u16string_view utf16);

}  // namespace vorbel::pack
