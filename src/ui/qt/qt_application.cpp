// The Qt application: the window thread's wake-up for handed-over completions, the message
// loop, the modal dialogs and the plain message box.
#include <sys/eventfd.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "host/hi_timer.h"
#include "host/window_thread_queue.h"
#include "ui/qt/qt_painting.h"
#include "ui/qt/qt_toolkit.h"

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

}  // namespace

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
