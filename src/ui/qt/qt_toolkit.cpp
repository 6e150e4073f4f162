#include "ui/qt/qt_toolkit.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyle>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "host/hi_timer.h"
#include "host/window_thread_queue.h"

namespace quiver::ui::qt {

namespace {

// The Win32 values of the plain message box's flags and answers.
constexpr unsigned kMbTypeMask = 0x0F;
constexpr unsigned kMbOkCancel = 0x01;
constexpr unsigned kMbYesNoCancel = 0x03;
constexpr unsigned kMbYesNo = 0x04;
constexpr unsigned kMbIconMask = 0xF0;
constexpr unsigned kMbIconQuestion = 0x20;
constexpr unsigned kMbIconWarning = 0x30;
constexpr unsigned kMbIconInformation = 0x40;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// How many items the drop-down list shows when it is open.
constexpr int kDroppedItems = 8;

std::atomic<QtApplication*> g_application{nullptr};
std::thread::id g_windowThread;
// The eventfd that wakes the window thread; guarded so that it is never written once closed.
std::mutex g_wakeMutex;
int g_wakeFd = -1;

// Each hand-over to the window thread wakes it through the eventfd.
void WakeWindowThread() {
    std::lock_guard<std::mutex> lock(g_wakeMutex);
    if (g_wakeFd >= 0) {
        const std::uint64_t one = 1;
        if (write(g_wakeFd, &one, sizeof one) < 0) {
            // Full (2^64 - 2 wake-ups pending): the window thread is woken already.
        }
    }
}

// HiTimer::Delay's hook: the window thread's events, and nothing on any other thread.
void ProcessWindowThreadMessages() {
    QtApplication* app = g_application.load();
    if (app != nullptr && app->OnWindowThread()) {
        app->ProcessMessages();
    }
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QColor ToQColor(Color c) {
    return QColor(c.red, c.green, c.blue);
}

// A classic toolkit's pixel height for a point size, on a 96 dpi screen (MulDiv rounding).
int PixelSize(int points) {
    return std::max(1, (points * 96 + 36) / 72);
}

struct Replacement {
    const char* face;
    std::vector<const char*> nearest;
    bool fixedPitch;
};

// The faces a classic form names, with the installed faces nearest to each: metric-compatible
// ones first, then the nearest in design.
const std::vector<Replacement>& Replacements() {
    static const std::vector<Replacement> table = {
        {"MS Sans Serif",
         {"Microsoft Sans Serif", "Liberation Sans", "Arimo", "DejaVu Sans"},
         false},
        {"Arial", {"Liberation Sans", "Arimo", "DejaVu Sans"}, false},
        {"Tahoma", {"Liberation Sans", "Arimo", "DejaVu Sans"}, false},
        {"Verdana", {"DejaVu Sans", "Bitstream Vera Sans", "Liberation Sans"}, false},
        {"Courier New", {"Liberation Mono", "Cousine", "DejaVu Sans Mono"}, true},
        {"Courier", {"Liberation Mono", "Cousine", "DejaVu Sans Mono"}, true},
    };
    return table;
}

const Replacement* FindReplacement(const std::string& face) {
    for (const Replacement& r : Replacements()) {
        if (face == r.face) {
            return &r;
        }
    }
    return nullptr;
}

QFont MakeQFont(const Font& font) {
    QFont f(Q(QtApplication::ResolvedFace(font.face)));
    f.setPixelSize(PixelSize(font.points));
    f.setBold(font.bold);
    const Replacement* r = FindReplacement(font.face);
    if (r != nullptr && r->fixedPitch) {
        f.setFixedPitch(true);
        f.setStyleHint(QFont::TypeWriter);
    }
    return f;
}

QPixmap MakePixmap(const Picture& picture) {
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.pixels.size() < static_cast<std::size_t>(picture.width) * picture.height) {
        return QPixmap();
    }
    // 0xAARRGGBB per pixel is QImage's ARGB32.
    const QImage image(reinterpret_cast<const uchar*>(picture.pixels.data()), picture.width,
                       picture.height, picture.width * 4, QImage::Format_ARGB32);
    return QPixmap::fromImage(image.copy());
}

}  // namespace

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

// --- Controls ------------------------------------------------------------------------------------

class QtForm::ControlBase : public NativeControl {
  public:
    explicit ControlBase(QtForm& form) : form_(form) {}
    ~ControlBase() override { delete widget_; }
    QWidget* Widget() const override { return widget_; }
    int TabOrder() const { return tabOrder_; }

    // The form's font changed: a control without a font of its own follows it.
    void ParentFontChanged() {
        if (!ownFont_) {
            font_ = form_.FormFont();
            ApplyFont();
        }
    }

  protected:
    void Adopt(QWidget* widget) {
        widget_ = widget;
        widget_->setParent(form_.Widget());
        widget_->setGeometry(0, 0, 0, 0);
        widget_->show();
        font_ = form_.FormFont();
        ApplyFont();
    }
    void ApplyFont() {
        widget_->setFont(MakeQFont(font_));
        QPalette palette = widget_->palette();
        palette.setColor(QPalette::WindowText, ToQColor(font_.color));
        palette.setColor(QPalette::ButtonText, ToQColor(font_.color));
        palette.setColor(QPalette::Text, ToQColor(font_.color));
        widget_->setPalette(palette);
        FontApplied();
    }
    virtual void FontApplied() {}
    virtual void BoundsChanged() {}

    void DoSetBounds(const Bounds& bounds) {
        bounds_ = bounds;
        widget_->setGeometry(bounds.left, bounds.top, std::max(0, bounds.width),
                             std::max(0, bounds.height));
        BoundsChanged();
    }
    void DoSetVisible(bool visible) {
        visible_ = visible;
        widget_->setVisible(visible);
    }
    void DoSetEnabled(bool enabled) {
        enabled_ = enabled;
        widget_->setEnabled(enabled);
    }
    void DoSetTabOrder(int order) {
        tabOrder_ = order;
        form_.Retab();
    }
    void DoSetFont(const Font& font) {
        ownFont_ = true;
        font_ = font;
        ApplyFont();
    }

    QtForm& form_;
    QWidget* widget_ = nullptr;
    Bounds bounds_;
    bool visible_ = true;
    bool enabled_ = true;
    int tabOrder_ = -1;
    Font font_;
    bool ownFont_ = false;
};

// The common Control operations on top of ControlBase, for each seam type.
template <class Seam>
class ControlImpl : public Seam, public QtForm::ControlBase {
  public:
    using ControlBase::ControlBase;
    void SetBounds(const Bounds& bounds) override { DoSetBounds(bounds); }
    Bounds GetBounds() const override { return bounds_; }
    void SetVisible(bool visible) override { DoSetVisible(visible); }
    bool Visible() const override { return visible_; }
    void SetEnabled(bool enabled) override { DoSetEnabled(enabled); }
    bool Enabled() const override { return enabled_; }
    void SetTabOrder(int order) override { DoSetTabOrder(order); }
    void SetFont(const Font& font) override { DoSetFont(font); }
    Font GetFont() const override { return font_; }
    void SetName(const std::string& name) override { widget_->setObjectName(Q(name)); }
};

namespace {

class QtLabel : public ControlImpl<Label> {
  public:
    explicit QtLabel(QtForm& form) : ControlImpl(form), label_(new QLabel) {
        label_->setTextFormat(Qt::PlainText);
        label_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label_->setWordWrap(false);
        label_->setMargin(0);
        label_->setIndent(0);
        Adopt(label_);
    }
    void SetText(const std::string& text) override {
        text_ = text;
        label_->setText(Q(text));
        Fit();
    }
    std::string Text() const override { return text_; }
    void SetAutoSize(bool autoSize) override {
        autoSize_ = autoSize;
        Fit();
    }

  private:
    void FontApplied() override { Fit(); }
    void BoundsChanged() override { Fit(); }
    // A label with AutoSize takes the size of its text; its left and top stay. One without
    // keeps its bounds, but its widget grows to the whole text where the face standing in for
    // the named one is wider: the text is never cut.
    void Fit() {
        const QFontMetrics metrics(label_->font());
        const QString measured = text_.empty() ? QStringLiteral(" ") : Q(text_);
        int width = 0;
        const QStringList lines = measured.split(QLatin1Char('\n'));
        for (const QString& line : lines) {
            width = std::max(width, metrics.horizontalAdvance(line));
        }
        const int height = static_cast<int>(lines.size()) * metrics.height();
        if (autoSize_) {
            bounds_.width = width;
            bounds_.height = height;
        }
        label_->setGeometry(bounds_.left, bounds_.top, std::max(bounds_.width, width),
                            std::max(bounds_.height, height));
    }

    QLabel* label_;
    std::string text_;
    bool autoSize_ = false;
};

class QtComboBox : public ControlImpl<ComboBox> {
  public:
    QtComboBox(QtForm& form, QtApplication& app) : ControlImpl(form), combo_(new QComboBox) {
        combo_->setEditable(false);
        combo_->setMaxVisibleItems(kDroppedItems);
        combo_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        Adopt(combo_);
        // activated: only what the user chooses, never a choice made in code.
        QObject::connect(combo_, &QComboBox::activated, combo_,
                         [this, &app](int) { app.Guarded([this] { Changed(); }); });
    }
    void Clear() override { combo_->clear(); }
    void AddItem(const std::string& text) override {
        combo_->addItem(Q(text));
        ApplyItemHeight(combo_->count() - 1);
    }
    int ItemCount() const override { return combo_->count(); }
    std::string Item(int index) const override {
        return index >= 0 && index < combo_->count() ? combo_->itemText(index).toStdString()
                                                     : std::string();
    }
    int ItemIndex() const override { return combo_->currentIndex(); }
    void SetItemIndex(int index) override {
        combo_->setCurrentIndex(index >= 0 && index < combo_->count() ? index : -1);
    }
    void SetItemHeight(int height) override {
        itemHeight_ = std::max(1, height);
        for (int i = 0; i < combo_->count(); ++i) {
            ApplyItemHeight(i);
        }
    }
    void UserChoose(int index) override {
        if (!enabled_ || index < 0 || index >= ItemCount()) {
            return;
        }
        combo_->setCurrentIndex(index);
        Changed();
    }

  private:
    void Changed() {
        const Handler handler = OnChange;
        if (handler) {
            handler(static_cast<ComboBox*>(this));
        }
    }
    void ApplyItemHeight(int index) {
        if (itemHeight_ > 0) {
            combo_->setItemData(index, QSize(0, itemHeight_), Qt::SizeHintRole);
        }
    }

    QComboBox* combo_;
    int itemHeight_ = 0;
};

class QtButton : public ControlImpl<Button> {
  public:
    QtButton(QtForm& form, QtApplication& app) : ControlImpl(form), button_(new QPushButton) {
        button_->setAutoDefault(false);
        Adopt(button_);
        QObject::connect(button_, &QPushButton::clicked, button_, [this, &app](bool) {
            if (enabled_) {
                app.Guarded([this] { Clicked(); });
            }
        });
    }
    void SetCaption(const std::string& caption) override {
        caption_ = caption;
        button_->setText(Q(caption));
    }
    std::string Caption() const override { return caption_; }
    void SetKind(ButtonKind kind) override {
        kind_ = kind;
        if (!hasPicture_) {
            // The close kind shows the style's close picture.
            button_->setIcon(kind == ButtonKind::Close
                                 ? button_->style()->standardIcon(QStyle::SP_DialogCloseButton)
                                 : QIcon());
        }
    }
    void SetPicture(const Picture& normal, const Picture& disabled) override {
        QIcon icon;
        const QPixmap shown = MakePixmap(normal);
        icon.addPixmap(shown, QIcon::Normal);
        const QPixmap grey = MakePixmap(disabled);
        if (!grey.isNull()) {
            icon.addPixmap(grey, QIcon::Disabled);
        }
        hasPicture_ = !shown.isNull();
        button_->setIcon(icon);
        if (hasPicture_) {
            button_->setIconSize(QSize(normal.width, normal.height));
        }
    }
    void UserClick() override {
        if (!visible_ || !enabled_) {
            return;
        }
        Clicked();
    }

  private:
    void Clicked() {
        QtForm& form = form_;
        const ButtonKind kind = kind_;
        const Handler handler = OnClick;
        if (handler) {
            handler(static_cast<Button*>(this));
        }
        if (kind == ButtonKind::Close) {
            form.Close();
        }
    }

    QPushButton* button_;
    std::string caption_;
    ButtonKind kind_ = ButtonKind::Normal;
    bool hasPicture_ = false;
};

class QtBevel : public ControlImpl<Bevel> {
  public:
    explicit QtBevel(QtForm& form) : ControlImpl(form), frame_(new QFrame) {
        frame_->setFrameShape(QFrame::Box);
        frame_->setFrameShadow(QFrame::Sunken);
        frame_->setFocusPolicy(Qt::NoFocus);
        Adopt(frame_);
        // Drawn behind the controls it frames.
        frame_->lower();
    }

  private:
    QFrame* frame_;
};

class QtProgressBar : public ControlImpl<ProgressBar> {
  public:
    explicit QtProgressBar(QtForm& form) : ControlImpl(form), bar_(new QProgressBar) {
        bar_->setTextVisible(false);
        Adopt(bar_);
        Update();
    }
    void SetRange(int min, int max) override {
        min_ = min;
        max_ = std::max(min, max);
        position_ = std::clamp(position_, min_, max_);
        Update();
    }
    int Min() const override { return min_; }
    int Max() const override { return max_; }
    void SetStep(int step) override { step_ = step; }
    // Stops at the maximum.
    void StepIt() override { SetPosition(position_ + step_); }
    void SetPosition(int position) override {
        position_ = std::clamp(position, min_, max_);
        bar_->setValue(position_);
    }
    int Position() const override { return position_; }
    // Qt's bars are drawn continuous by the usual styles; the setting is kept.
    void SetSmooth(bool smooth) override { smooth_ = smooth; }

  private:
    void Update() {
        bar_->setRange(min_, max_);
        bar_->setValue(position_);
    }

    QProgressBar* bar_;
    int min_ = 0;
    int max_ = 100;
    int step_ = 10;
    int position_ = 0;
    bool smooth_ = false;
};

}  // namespace

class QtForm::TimerImpl : public Timer {
  public:
    explicit TimerImpl(QtApplication& app) : timer_(new QTimer) {
        QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(),
                         [this, &app] { app.Guarded([this] { Fire(); }); });
    }
    void SetInterval(int milliseconds) override {
        interval_ = std::max(0, milliseconds);
        Update();
    }
    int Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override {
        enabled_ = enabled;
        Update();
    }
    bool Enabled() const override { return enabled_; }
    void SetName(const std::string& name) override { timer_->setObjectName(Q(name)); }

  private:
    void Fire() {
        // A handler that waits in a dialog is not entered again.
        if (!enabled_ || running_) {
            return;
        }
        const Handler handler = OnTimer;
        if (!handler) {
            return;
        }
        running_ = true;
        struct Reset {
            bool& flag;
            ~Reset() { flag = false; }
        } reset{running_};
        handler(static_cast<Timer*>(this));
    }
    void Update() {
        if (enabled_ && interval_ > 0) {
            timer_->start(interval_);
        } else {
            timer_->stop();
        }
    }

    std::unique_ptr<QTimer> timer_;
    int interval_ = 1000;
    bool enabled_ = false;
    bool running_ = false;
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

template <class T>
T& QtForm::Add() {
    std::unique_ptr<T> control;
    if constexpr (std::is_constructible_v<T, QtForm&, QtApplication&>) {
        control = std::make_unique<T>(*this, *application_);
    } else {
        control = std::make_unique<T>(*this);
    }
    T& ref = *control;
    controls_.push_back(std::move(control));
    return ref;
}

Label& QtForm::AddLabel() {
    return Add<QtLabel>();
}
ComboBox& QtForm::AddComboBox() {
    return Add<QtComboBox>();
}
Button& QtForm::AddButton() {
    return Add<QtButton>();
}
Bevel& QtForm::AddBevel() {
    return Add<QtBevel>();
}
ProgressBar& QtForm::AddProgressBar() {
    return Add<QtProgressBar>();
}
Timer& QtForm::AddTimer() {
    timers_.push_back(std::make_unique<TimerImpl>(*application_));
    return *timers_.back();
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

// --- The application ---------------------------------------------------------------------------

QtApplication::QtApplication(int& argc, char** argv) {
    if (g_application.load() != nullptr) {
        throw std::logic_error("one Qt application at a time");
    }
    if (QCoreApplication::instance() == nullptr) {
        ownApplication_ = std::make_unique<QApplication>(argc, argv);
    } else if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        throw std::logic_error("the Qt window toolkit needs a QApplication");
    }
    QGuiApplication::setQuitOnLastWindowClosed(false);

    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        throw std::runtime_error("cannot create the window thread's wake-up");
    }
    wakeNotifier_ = std::make_unique<QSocketNotifier>(wakeFd_, QSocketNotifier::Read);
    QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, wakeNotifier_.get(), [this] {
        std::uint64_t count = 0;
        if (read(wakeFd_, &count, sizeof count) < 0) {
            // Nothing to read: woken for completions already run.
        }
        RunCompletions();
    });

    g_windowThread = std::this_thread::get_id();
    g_application.store(this);
    {
        std::lock_guard<std::mutex> lock(g_wakeMutex);
        g_wakeFd = wakeFd_;
    }
    WindowThreadQueue::SetWakeUp(WakeWindowThread);
    previousHook_ = GetProcessMessagesHook();
    SetProcessMessagesHook(ProcessWindowThreadMessages);
    // Completions handed over before the wake-up was there.
    WakeWindowThread();
}

QtApplication::~QtApplication() {
    SetProcessMessagesHook(previousHook_);
    WindowThreadQueue::SetWakeUp(nullptr);
    {
        std::lock_guard<std::mutex> lock(g_wakeMutex);
        g_wakeFd = -1;
    }
    g_application.store(nullptr);
    wakeNotifier_.reset();
    close(wakeFd_);
    ownApplication_.reset();
}

std::unique_ptr<FormBackend> QtApplication::CreateFormBackend() {
    return std::make_unique<QtForm>(*this);
}

QWidget* QtApplication::MainWidget() const {
    return forms_.empty() ? nullptr : forms_.front()->Widget();
}

bool QtApplication::OnWindowThread() const {
    return std::this_thread::get_id() == g_windowThread;
}

void QtApplication::FormGone(QtForm& form) {
    forms_.erase(std::remove(forms_.begin(), forms_.end(), &form), forms_.end());
}

std::string QtApplication::ResolvedFace(const std::string& face) {
    if (QFontDatabase::hasFamily(Q(face))) {
        return face;
    }
    const Replacement* r = FindReplacement(face);
    if (r != nullptr) {
        for (const char* nearest : r->nearest) {
            if (QFontDatabase::hasFamily(QString::fromLatin1(nearest))) {
                return nearest;
            }
        }
    }
    // The face the font matching of the system picks for the name.
    QFont font(Q(face));
    if (r != nullptr && r->fixedPitch) {
        font.setFixedPitch(true);
        font.setStyleHint(QFont::TypeWriter);
    }
    return QFontInfo(font).family().toStdString();
}

namespace {

QWidget* DialogParent(const QtApplication& app) {
    QWidget* main = app.MainWidget();
    return main != nullptr && main->isVisible() ? main : nullptr;
}

}  // namespace

DialogResult QtApplication::MessageDlg(const std::string& text, DialogKind kind,
                                       DialogButtons buttons) {
    QMessageBox::Icon icon = QMessageBox::Information;
    switch (kind) {
        case DialogKind::Warning:
            icon = QMessageBox::Warning;
            break;
        case DialogKind::Error:
            icon = QMessageBox::Critical;
            break;
        case DialogKind::Information:
            icon = QMessageBox::Information;
            break;
    }
    QMessageBox box(icon, QString::fromLatin1(DialogCaption(kind)), Q(text), QMessageBox::NoButton,
                    DialogParent(*this));
    box.setTextFormat(Qt::PlainText);
    QAbstractButton* ok = nullptr;
    QAbstractButton* yes = nullptr;
    QAbstractButton* no = nullptr;
    if (buttons == DialogButtons::YesNo) {
        yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
        no = box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
        box.setDefaultButton(static_cast<QPushButton*>(yes));
    } else {
        ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
        box.setDefaultButton(static_cast<QPushButton*>(ok));
        box.setEscapeButton(ok);
    }
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    if (clicked != nullptr && clicked == yes) {
        return DialogResult::Yes;
    }
    if (clicked != nullptr && clicked == no) {
        return DialogResult::No;
    }
    if (clicked != nullptr && clicked == ok) {
        return DialogResult::Ok;
    }
    return buttons == DialogButtons::Ok ? DialogResult::Ok : DialogResult::Cancel;
}

int QtApplication::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (flags & kMbIconMask) {
        case kMbIconError:
            icon = QMessageBox::Critical;
            break;
        case kMbIconQuestion:
            icon = QMessageBox::Question;
            break;
        case kMbIconWarning:
            icon = QMessageBox::Warning;
            break;
        case kMbIconInformation:
            icon = QMessageBox::Information;
            break;
        default:
            break;
    }
    QMessageBox box(icon, Q(caption), Q(text), QMessageBox::NoButton, DialogParent(*this));
    box.setTextFormat(Qt::PlainText);
    std::vector<std::pair<QAbstractButton*, int>> answers;
    auto add = [&](const char* label, QMessageBox::ButtonRole role, int answer) {
        answers.emplace_back(box.addButton(QString::fromLatin1(label), role), answer);
        return answers.back().first;
    };
    int escape = kIdCancel;
    switch (flags & kMbTypeMask) {
        case kMbOkCancel:
            box.setDefaultButton(
                static_cast<QPushButton*>(add("OK", QMessageBox::AcceptRole, kIdOk)));
            box.setEscapeButton(add("Cancel", QMessageBox::RejectRole, kIdCancel));
            break;
        case kMbYesNo:
            box.setDefaultButton(
                static_cast<QPushButton*>(add("&Yes", QMessageBox::YesRole, kIdYes)));
            add("&No", QMessageBox::NoRole, kIdNo);
            break;
        case kMbYesNoCancel:
            box.setDefaultButton(
                static_cast<QPushButton*>(add("&Yes", QMessageBox::YesRole, kIdYes)));
            add("&No", QMessageBox::NoRole, kIdNo);
            box.setEscapeButton(add("Cancel", QMessageBox::RejectRole, kIdCancel));
            break;
        default:
            box.setDefaultButton(
                static_cast<QPushButton*>(add("OK", QMessageBox::AcceptRole, kIdOk)));
            box.setEscapeButton(answers.back().first);
            escape = kIdOk;
            break;
    }
    box.exec();
    for (const auto& [button, answer] : answers) {
        if (button == box.clickedButton()) {
            return answer;
        }
    }
    return escape;
}

void QtApplication::ShowException(const std::string& message) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), Q(message), QMessageBox::Ok,
                    DialogParent(*this));
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void QtApplication::RunCompletions() {
    // A handler that throws leaves the rest waiting: go on with them after showing it.
    while (!Guarded([] { WindowThreadQueue::ProcessPending(); })) {
    }
}

void QtApplication::Run() {
    if (terminated_) {
        return;
    }
    QEventLoop loop;
    mainLoop_ = &loop;
    loop.exec();
    mainLoop_ = nullptr;
}

void QtApplication::ProcessMessages() {
    QCoreApplication::processEvents();
    RunCompletions();
}

void QtApplication::Terminate() {
    if (terminated_) {
        return;
    }
    terminated_ = true;
    if (mainLoop_ != nullptr) {
        mainLoop_->exit(0);
    }
}

}  // namespace quiver::ui::qt
