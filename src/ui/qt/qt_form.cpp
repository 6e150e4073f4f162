// The Qt toolkit's form: a top-level window with its caption, size, font, the classic system
// menu it keeps, and the frame's close requests it refuses once that menu has lost Close.
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

#include "ui/qt/qt_controls.h"

namespace quiver::ui::qt {

// --- The form's window ---------------------------------------------------------------------------

class QtForm::Window : public QWidget {
  public:
    explicit Window(QtForm& form) : QWidget(nullptr, Qt::Window), form_(form) {}

  protected:
    // A window manager reports the frame it draws some time after the window shows: the outer
    // size and the centring follow once it is known.
    bool event(QEvent* event) override {
        const bool handled = QWidget::event(event);
        if (event->type() == QEvent::Move || event->type() == QEvent::Show) {
            form_.FrameChanged();
        }
        return handled;
    }
    // The close box, Alt+F4 and the window manager's Close: only while the frame can close.
    void closeEvent(QCloseEvent* event) override {
        if (form_.closing_) {
            event->accept();
            return;
        }
        if (!form_.FrameCanClose()) {
            event->ignore();
            return;
        }
        // Qt hides the window once the event is accepted.
        event->accept();
        if (form_.IsMain()) {
            form_.application_->MainFormClosed();
        }
    }

  private:
    QtForm& form_;
};

// --- The form ----------------------------------------------------------------------------------

QtForm::QtForm(QtApplication& application)
    : application_(&application),
      window_(std::make_unique<Window>(*this)),
      systemMenu_{"Restore", "Move", "Size", "Minimize", "Maximize", "", "Close"} {
    window_->setAttribute(Qt::WA_DeleteOnClose, false);
    window_->setFont(MakeQFont(font_));
    application.FormMade(*this);
}

QtForm::~QtForm() {
    timers_.clear();
    controls_.clear();
    application_->FormGone(*this);
    closing_ = true;
    window_.reset();
}

QWidget* QtForm::Widget() const {
    return window_.get();
}

bool QtForm::IsMain() const {
    return application_->MainWidget() == window_.get();
}

void QtForm::SetCaption(const std::string& caption) {
    caption_ = caption;
    window_->setWindowTitle(Q(caption));
}

std::string QtForm::Caption() const {
    return caption_;
}

void QtForm::SetOuterSize(int width, int height) {
    outerWidth_ = width;
    outerHeight_ = height;
    ApplySize();
    if (centered_) {
        CenterOnScreen();
    }
}

// The client area is the outer size less the frame the window system draws (none until the
// window is shown, and none without a window manager).
void QtForm::ApplySize() {
    if (outerWidth_ <= 0 || outerHeight_ <= 0) {
        return;
    }
    const QSize frame = window_->frameGeometry().size() - window_->geometry().size();
    frameWidth_ = frame.width();
    frameHeight_ = frame.height();
    window_->resize(std::max(1, outerWidth_ - frame.width()),
                    std::max(1, outerHeight_ - frame.height()));
}

void QtForm::FrameChanged() {
    const QSize frame = window_->frameGeometry().size() - window_->geometry().size();
    if ((frame.width() == frameWidth_ && frame.height() == frameHeight_) || outerWidth_ <= 0) {
        return;
    }
    ApplySize();
    if (centered_) {
        CenterOnScreen();
    }
}

void QtForm::CenterOnScreen() {
    centered_ = true;
    QScreen* screen =
        window_->screen() != nullptr ? window_->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->availableGeometry();
    const QSize outer = window_->frameGeometry().size();
    const int left = area.x() + (area.width() - outer.width()) / 2;
    const int top = area.y() + (area.height() - outer.height()) / 2;
    window_->move(std::max(area.x(), left), std::max(area.y(), top));
}

void QtForm::SetFont(const Font& font) {
    font_ = font;
    window_->setFont(MakeQFont(font));
    for (auto& control : controls_) {
        control->ParentFontChanged();
    }
}

void QtForm::SetSystemMenuOnlyFrame() {
    systemMenuOnly_ = true;
    ApplyFlags();
}

bool QtForm::DeleteSystemMenuItem(int position) {
    if (position < 0 || position >= static_cast<int>(systemMenu_.size())) {
        return false;
    }
    systemMenu_.erase(systemMenu_.begin() + position);
    ApplyFlags();
    return true;
}

bool QtForm::FrameCanClose() const {
    return std::find(systemMenu_.begin(), systemMenu_.end(), "Close") != systemMenu_.end();
}

// The title bar's buttons: the system menu only (no minimise or maximise box) once asked, and
// no close box once the system menu has lost Close.
void QtForm::ApplyFlags() {
    Qt::WindowFlags flags = Qt::Window;
    const bool canClose = FrameCanClose();
    if (systemMenuOnly_ || !canClose) {
        flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint;
        if (!systemMenuOnly_) {
            flags |= Qt::WindowMinMaxButtonsHint;
        }
        if (canClose) {
            flags |= Qt::WindowCloseButtonHint;
        }
    }
    if (window_->windowFlags() == flags) {
        return;
    }
    // Changing the flags hides a shown window.
    const bool shown = window_->isVisible();
    window_->setWindowFlags(flags);
    if (shown) {
        window_->show();
    }
}

void QtForm::Show() {
    window_->show();
    // The frame is known now where the window system draws one at once.
    ApplySize();
    if (centered_) {
        CenterOnScreen();
    }
}

bool QtForm::Showing() const {
    return window_->isVisible();
}

void QtForm::Close() {
    const bool main = IsMain();
    closing_ = true;
    window_->hide();
    closing_ = false;
    if (main) {
        application_->MainFormClosed();
    }
}

void QtForm::Retab() {
    std::vector<ControlBase*> ordered;
    for (auto& control : controls_) {
        if (control->TabOrder() >= 0) {
            ordered.push_back(control.get());
        }
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](ControlBase* a, ControlBase* b) { return a->TabOrder() < b->TabOrder(); });
    for (std::size_t i = 1; i < ordered.size(); ++i) {
        QWidget::setTabOrder(ordered[i - 1]->Widget(), ordered[i]->Widget());
    }
}

}  // namespace quiver::ui::qt
