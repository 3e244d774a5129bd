// Text for XML and HTML: the five special characters escaped, and bytes that XML 1.0 does not
// allow (control characters, broken UTF-8 from a log's stray bytes) shown as "\xNN".
#pragma once

#include <string>

namespace report {

std::string XmlEscape(const std::string& text);

}  // namespace report
