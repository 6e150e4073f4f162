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

void Button::Pressed(ButtonKind kind, FormBackend& form) {
    // A copy: the handler may replace itself while it runs.
    const Handler handler = OnClick;
    if (handler) {
        handler(static_cast<Button*>(this));
    }
    if (kind == ButtonKind::Close) {
        form.Close();
    }
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
