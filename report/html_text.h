// Pieces of HTML shared by the run page and the index: escaping, the style sheet, numbers.
#pragma once

#include <string>

namespace warpmender {
namespace report {

// Text for HTML element content and attribute values: & < > " ' escaped.
//   "a<b & \"c\"" -> "a&lt;b &amp; &quot;c&quot;"
std::string html_escape(const std::string& text);

// The style sheet of every page (inline; the pages load nothing).
const char* page_style();

// v with the given digits after the point; "n/a" when not finite.
std::string format_fixed(double v, int digits);

}  // namespace report
}  // namespace warpmender
