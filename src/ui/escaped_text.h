// Texts written into one line of an event log: the characters that would end the line or the
// quoted text written as their C escapes.
#pragma once

#include <string>

namespace quiver::ui {

// `text` with backslash, double quote, line feed, carriage return and tab escaped.
inline std::string EscapedText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace quiver::ui
