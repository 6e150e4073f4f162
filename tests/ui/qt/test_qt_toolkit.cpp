// The Qt window toolkit on its own: fonts, controls, the frame that stops closing, dialogs and
// the hand-over of worker completions to the window thread.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "host/window_thread_queue.h"
#include "qt_rig.h"
#include "ui/qt/qt_toolkit.h"

namespace quiver::qttest {
namespace {

using ui::qt::NativeControl;
using ui::qt::QtApplication;
using ui::qt::QtForm;

QWidget* WidgetOf(ui::Control& control) {
    return dynamic_cast<NativeControl&>(control).Widget();
}

class QtToolkitTest : public ::testing::Test {
  protected:
    QtForm& MakeForm() {
        backend_ = app_.CreateFormBackend();
        return static_cast<QtForm&>(*backend_);
    }

    int argc_ = 0;
    QtApplication app_{argc_, nullptr};
    std::unique_ptr<ui::FormBackend> backend_;
};

TEST_F(QtToolkitTest, NamedFacesResolveToInstalledOnesAndPixelSizes) {
    for (const char* face : {"MS Sans Serif", "Arial", "Tahoma", "Verdana", "Courier New"}) {
        const std::string resolved = QtApplication::ResolvedFace(face);
        EXPECT_TRUE(QFontDatabase::hasFamily(QString::fromStdString(resolved)))
            << face << " -> " << resolved;
    }
    // An installed face stays itself; an unknown one gets the system's default.
    EXPECT_EQ(QtApplication::ResolvedFace("DejaVu Sans"), "DejaVu Sans");
    EXPECT_TRUE(QFontDatabase::hasFamily(
        QString::fromStdString(QtApplication::ResolvedFace("No Such Face 42"))));

    QtForm& form = MakeForm();
    ui::Label& label = form.AddLabel();
    ui::ComboBox& list = form.AddComboBox();
    label.SetFont({"Tahoma", 8, true, ui::kNavy});
    list.SetFont({"Courier New", 10, false, ui::kBlack});
    // 8 and 10 points on a 96 dpi screen, whatever this screen's density.
    EXPECT_EQ(WidgetOf(label)->font().pixelSize(), 11);
    EXPECT_TRUE(QFontInfo(WidgetOf(label)->font()).bold());
    EXPECT_EQ(WidgetOf(label)->palette().color(QPalette::WindowText), QColor(0, 0, 128));
    EXPECT_EQ(WidgetOf(list)->font().pixelSize(), 13);
    // The list's columns line up only with a fixed-pitch face.
    const QFontInfo listFont(WidgetOf(list)->font());
    EXPECT_TRUE(listFont.fixedPitch()) << listFont.family().toStdString();
    EXPECT_EQ(listFont.family().toStdString(), QtApplication::ResolvedFace("Courier New"));

    // Controls without a font of their own follow the form's.
    ui::Label& plain = form.AddLabel();
    form.SetFont({"Arial", 8, false, ui::kBlack});
    EXPECT_EQ(QFontInfo(WidgetOf(plain)->font()).family().toStdString(),
              QtApplication::ResolvedFace("Arial"));
    EXPECT_TRUE(QFontInfo(WidgetOf(label)->font()).bold());
}

TEST_F(QtToolkitTest, ControlsKeepBoundsTextsAndRules) {
    QtForm& form = MakeForm();
    ui::Label& label = form.AddLabel();
    label.SetBounds({11, 56, 104, 14});
    label.SetAutoSize(true);
    label.SetText("It will be updated from");
    const ui::Bounds grown = label.GetBounds();
    EXPECT_EQ(grown.left, 11);
    EXPECT_EQ(grown.top, 56);
    label.SetText("This drive is not allowed to be updated.");
    EXPECT_GT(label.GetBounds().width, grown.width);
    EXPECT_EQ(WidgetOf(label)->geometry(),
              QRect(11, 56, label.GetBounds().width, label.GetBounds().height));

    ui::ComboBox& list = form.AddComboBox();
    int changes = 0;
    list.OnChange = [&](void* sender) {
        EXPECT_EQ(sender, &list);
        ++changes;
    };
    list.AddItem("one");
    list.AddItem("two");
    list.SetItemIndex(1);  // in code: no change event
    EXPECT_EQ(changes, 0);
    auto* combo = static_cast<QComboBox*>(WidgetOf(list));
    EXPECT_FALSE(combo->isEditable());
    emit combo->activated(0);  // the user's choice
    EXPECT_EQ(changes, 1);
    list.UserChoose(1);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(list.ItemIndex(), 1);
    list.SetEnabled(false);
    list.UserChoose(0);
    EXPECT_EQ(changes, 2);
    list.SetItemIndex(7);
    EXPECT_EQ(list.ItemIndex(), -1);

    ui::ProgressBar& bar = form.AddProgressBar();
    bar.SetRange(0, 330);
    bar.SetStep(100);
    for (int i = 0; i < 5; ++i) {
        bar.StepIt();
    }
    EXPECT_EQ(bar.Position(), 330);
    EXPECT_EQ(static_cast<QProgressBar*>(WidgetOf(bar))->value(), 330);

    // A button pressed while disabled does nothing, also through Qt.
    ui::Button& button = form.AddButton();
    button.SetCaption("&Update");
    int clicks = 0;
    button.OnClick = [&](void*) { ++clicks; };
    auto* push = static_cast<QPushButton*>(WidgetOf(button));
    push->click();
    button.UserClick();
    button.SetEnabled(false);
    push->click();
    button.UserClick();
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(push->text().toStdString(), "&Update");
}

TEST_F(QtToolkitTest, PictureAndDisabledPictureAreTheButtonsIcon) {
    QtForm& form = MakeForm();
    ui::Button& button = form.AddButton();
    ui::Picture red{2, 1, {0xFFFF0000u, 0xFFFF0000u}};
    ui::Picture grey{2, 1, {0xFF808080u, 0x00000000u}};
    button.SetPicture(red, grey);
    auto* push = static_cast<QPushButton*>(WidgetOf(button));
    EXPECT_EQ(push->iconSize(), QSize(2, 1));
    const QImage normal = push->icon().pixmap(QSize(2, 1), QIcon::Normal).toImage();
    const QImage disabled = push->icon().pixmap(QSize(2, 1), QIcon::Disabled).toImage();
    EXPECT_EQ(normal.pixel(0, 0), 0xFFFF0000u);
    EXPECT_EQ(disabled.pixel(0, 0), 0xFF808080u);
    EXPECT_EQ(qAlpha(disabled.pixel(1, 0)), 0);

    ui::Button& close = form.AddButton();
    close.SetKind(ui::ButtonKind::Close);
    EXPECT_FALSE(static_cast<QPushButton*>(WidgetOf(close))->icon().isNull());
}

TEST_F(QtToolkitTest, FrameClosesOnlyUntilTheSystemMenuLosesClose) {
    QtForm& form = MakeForm();
    form.SetOuterSize(460, 167);
    form.SetSystemMenuOnlyFrame();
    form.Show();
    QWidget* window = form.Widget();
    // The outer size includes the frame the window system reports.
    EXPECT_EQ(window->frameGeometry().size(), QSize(460, 167));
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form.FrameCanClose());

    // Position 5 twice: the separator, then Close.
    ASSERT_TRUE(form.DeleteSystemMenuItem(5));
    ASSERT_TRUE(form.DeleteSystemMenuItem(5));
    EXPECT_FALSE(form.DeleteSystemMenuItem(5));
    EXPECT_EQ(form.SystemMenu(),
              (std::vector<std::string>{"Restore", "Move", "Size", "Minimize", "Maximize"}));
    EXPECT_FALSE(form.FrameCanClose());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowCloseButtonHint);

    // Alt+F4 and the close box come to Qt as a close request: refused, also repeatedly.
    EXPECT_TRUE(form.Showing());
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(form.Showing());
    EXPECT_FALSE(app_.Terminated());

    // The program itself still closes it, and closing the main form ends the program.
    form.Close();
    EXPECT_FALSE(form.Showing());
    EXPECT_TRUE(app_.Terminated());
}

TEST_F(QtToolkitTest, FrameCloseEndsTheProgramWhileCloseIsThere) {
    QtForm& form = MakeForm();
    form.Show();
    EXPECT_TRUE(form.Widget()->close());
    EXPECT_FALSE(form.Showing());
    EXPECT_TRUE(app_.Terminated());
}

TEST_F(QtToolkitTest, CloseKindButtonRunsItsHandlerThenClosesTheForm) {
    QtForm& form = MakeForm();
    ui::Button& close = form.AddButton();
    close.SetKind(ui::ButtonKind::Close);
    form.DeleteSystemMenuItem(5);
    form.DeleteSystemMenuItem(5);
    form.Show();
    bool handled = false;
    close.OnClick = [&](void*) {
        handled = true;
        EXPECT_TRUE(form.Showing());
    };
    static_cast<QPushButton*>(WidgetOf(close))->click();
    EXPECT_TRUE(handled);
    EXPECT_FALSE(form.Showing());
    EXPECT_TRUE(app_.Terminated());
    // Run() after Terminate() returns at once.
    app_.Run();
}

TEST_F(QtToolkitTest, DialogsHaveTheKindsCaptionIconAndButtons) {
    DialogAnswerer answerer([](const SeenDialog& d) {
        return d.text == "no please" ? std::string("&No") : d.buttons.front();
    });
    EXPECT_EQ(app_.MessageDlg("careful", ui::DialogKind::Warning, ui::DialogButtons::Ok),
              ui::DialogResult::Ok);
    EXPECT_EQ(app_.MessageDlg("go on?", ui::DialogKind::Warning, ui::DialogButtons::YesNo),
              ui::DialogResult::Yes);
    EXPECT_EQ(app_.MessageDlg("no please", ui::DialogKind::Error, ui::DialogButtons::YesNo),
              ui::DialogResult::No);
    EXPECT_EQ(app_.MessageDlg("done", ui::DialogKind::Information, ui::DialogButtons::Ok),
              ui::DialogResult::Ok);
    EXPECT_EQ(app_.MessageBox("Device object initialize failed !", "Error ...",
                              ui::kMbIconError | ui::kMbOk),
              1);

    const auto& seen = answerer.Seen();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].caption, "Warning");
    EXPECT_EQ(seen[0].icon, QMessageBox::Warning);
    EXPECT_EQ(seen[0].buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(seen[1].buttons, (std::vector<std::string>{"&Yes", "&No"}));
    EXPECT_EQ(seen[2].caption, "Error");
    EXPECT_EQ(seen[2].icon, QMessageBox::Critical);
    EXPECT_EQ(seen[3].caption, "Information");
    EXPECT_EQ(seen[3].icon, QMessageBox::Information);
    EXPECT_EQ(seen[4].caption, "Error ...");
    EXPECT_EQ(seen[4].icon, QMessageBox::Critical);
    EXPECT_EQ(seen[4].buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(seen[4].text, "Device object initialize failed !");
}

TEST_F(QtToolkitTest, YesNoDialogClosedWithoutAnAnswerIsNotYes) {
    DialogAnswerer answerer([](const SeenDialog&) { return std::string("(none)"); });
    EXPECT_EQ(app_.MessageDlg("go on?", ui::DialogKind::Warning, ui::DialogButtons::YesNo),
              ui::DialogResult::Cancel);
}

// A worker's completion runs on the window thread inside Run(), and the worker goes on only
// after it has returned.
TEST_F(QtToolkitTest, CompletionRunsInTheMessageLoopAndTheWorkerWaitsForIt) {
    const std::thread::id windowThread = std::this_thread::get_id();
    std::atomic<bool> workerReturned{false};
    bool ranOnWindowThread = false;
    bool workerWasWaiting = false;
    std::thread worker([&] {
        WindowThreadQueue::RunOnWindowThread([&] {
            ranOnWindowThread = std::this_thread::get_id() == windowThread;
            workerWasWaiting = !workerReturned.load();
            app_.Terminate();
        });
        workerReturned = true;
    });
    app_.Run();
    worker.join();
    EXPECT_TRUE(ranOnWindowThread);
    EXPECT_TRUE(workerWasWaiting);
    EXPECT_TRUE(workerReturned);
}

// ... inside a modal dialog's loop (the dialog stays until the completion has run) ...
TEST_F(QtToolkitTest, CompletionRunsInsideAModalDialog) {
    std::atomic<bool> ran{false};
    bool inDialog = false;
    DialogAnswerer answerer(
        [&](const SeenDialog& d) { return ran.load() ? d.buttons.front() : std::string(); });
    std::thread worker([&] {
        WindowThreadQueue::RunOnWindowThread([&] {
            inDialog = QApplication::activeModalWidget() != nullptr;
            ran = true;
        });
    });
    app_.MessageDlg("Please remove the disc.", ui::DialogKind::Warning, ui::DialogButtons::Ok);
    worker.join();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(inDialog);
}

// ... and when the window thread processes its pending events. A completion that throws is
// shown as an error, and its worker is released all the same.
TEST_F(QtToolkitTest, CompletionRunsInProcessMessagesAndAThrowIsShown) {
    DialogAnswerer answerer;
    bool ran = false;
    std::atomic<bool> released{false};
    std::thread worker([&] {
        WindowThreadQueue::RunOnWindowThread([&] { ran = true; });
        WindowThreadQueue::RunOnWindowThread([] { throw std::runtime_error("bad completion"); });
        released = true;
    });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!released && std::chrono::steady_clock::now() < limit) {
        WindowThreadQueue::WaitForPending(std::chrono::milliseconds(10));
        app_.ProcessMessages();
    }
    worker.join();
    EXPECT_TRUE(ran);
    ASSERT_EQ(answerer.Seen().size(), 1u);
    EXPECT_EQ(answerer.Seen()[0].caption, "Error");
    EXPECT_EQ(answerer.Seen()[0].text, "bad completion");
}

TEST_F(QtToolkitTest, TimerTicksInTheLoopUntilDisabled) {
    QtForm& form = MakeForm();
    ui::Timer& timer = form.AddTimer();
    int ticks = 0;
    timer.OnTimer = [&](void* sender) {
        EXPECT_EQ(sender, &timer);
        if (++ticks == 3) {
            timer.SetEnabled(false);
            app_.Terminate();
        }
    };
    timer.SetInterval(1);
    EXPECT_FALSE(timer.Enabled());
    timer.SetEnabled(true);
    app_.Run();
    EXPECT_EQ(ticks, 3);
}

}  // namespace
}  // namespace quiver::qttest
