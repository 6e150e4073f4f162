// The headless toolkit's event log as text: the names of event kinds and dialog results, and
// one line per recorded event.
#include "ui/escaped_text.h"
#include "ui/headless/headless.h"

namespace quiver::ui::headless {

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
        out += " \"" + EscapedText(event.text) + '"';
    }
    if (!event.detail.empty()) {
        out += " \"" + EscapedText(event.detail) + '"';
    }
    for (int v : event.values) {
        out += ' ';
        out += std::to_string(v);
    }
    return out;
}

}  // namespace quiver::ui::headless
