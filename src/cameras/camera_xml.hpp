#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace voxapp {

// The small XML reading the camera API needs: an element is found by its plain opening tag
// "<tag>" (attributes are not supported) and ends at the first "</tag>" after it.

// Where the value of `tag` lies in `xml`: offset and length. Empty when either tag is missing.
struct XmlSpan {
    std::size_t offset = 0;
    std::size_t length = 0;
};
std::optional<XmlSpan> find_xml_element(std::string_view xml, std::string_view tag);

// The text between the tags; empty when the element is missing.
std::string_view xml_element_value(std::string_view xml, std::string_view tag);

// The value read as a base-10 integer with an optional sign, leading digits only; -1 when the
// element is missing or its value has no leading digit. Values beyond the 32-bit range are
// clamped to it.
std::int64_t xml_integer_value(std::string_view xml, std::string_view tag);

// Replaces exactly the value of `tag` with `value`; false (and `xml` unchanged) when the element
// is missing.
bool replace_xml_element_value(std::string& xml, std::string_view tag, std::string_view value);

// `text` made safe as element content or attribute value: &, <, >, " and ' become entities.
// Refused with "Text cannot be placed in XML" when it holds what XML 1.0 cannot carry at all:
// control characters other than tab, LF and CR, or bytes that are not UTF-8.
Result<std::string> xml_escape(std::string_view text);

}  // namespace voxapp
