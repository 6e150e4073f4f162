#include "ui/toolkit.h"

#include <exception>

namespace quiver::ui {

const char* DialogCaption(DialogKind kind) {
    switch (kind) {
        case DialogKind::Warning:
            return "Warning";
        case DialogKind::Error:
            return "Error";
        case DialogKind::Information:
            return "Information";
    }
    return "";
}

bool Application::Guarded(const std::function<void()>& fn) {
    try {
        fn();
        return true;
    } catch (const std::exception& e) {
        ShowException(e.what());
    } catch (...) {
        ShowException("Unknown exception");
    }
    return false;
}

TForm::TForm(Application& application)
    : application_(application), backend_(application.CreateFormBackend()) {}

TForm::~TForm() {
    Destroying();
}

void TForm::Destroying() {
    if (destroyed_) {
        return;
    }
    destroyed_ = true;
    if (OnDestroy) {
        OnDestroy(this);
    }
}

}  // namespace quiver::ui
