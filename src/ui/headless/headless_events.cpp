// The headless toolkit's event log as text: the names of event kinds and dialog results, and
// one line per recorded event.
#include "ui/headless/headless.h"

namespace quiver::ui::headless {

namespace {

std::string Escape(const std::string& text) {
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

}  // namespace

const char* KindName(EventKind kind) {
    switch (kind) {
#define QUIVER_HEADLESS_NAME(name) \
    case EventKind::name:          \
        return #name;
        QUIVER_HEADLESS_EVENT_KINDS(QUIVER_HEADLESS_NAME)
#undef QUIVER_HEADLESS_NAME
    }
    return "?";
}

const char* ResultName(DialogResult result) {
    switch (result) {
        case DialogResult::Ok:
            return "Ok";
        case DialogResult::Yes:
            return "Yes";
        case DialogResult::No:
            return "No";
        case DialogResult::Cancel:
            return "Cancel";
    }
    return "?";
}

std::string ToString(const UiEvent& event) {
    std::string out = KindName(event.kind);
    if (!event.control.empty()) {
        out += ' ';
        out += event.control;
    }
    if (!event.text.empty()) {
        out += " \"" + Escape(event.text) + '"';
    }
    if (!event.detail.empty()) {
        out += " \"" + Escape(event.detail) + '"';
    }
    for (int v : event.values) {
        out += ' ';
        out += std::to_string(v);
    }
    return out;
}

}  // namespace quiver::ui::headless
