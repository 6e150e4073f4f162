#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/hi_timer.h"
#include "host/window_thread_queue.h"
#include "platform/sim/sim_platform.h"
#include "sim/machine.h"
#include "ui/headless/headless.h"
#include "worker/thread.h"

namespace quiver::ui::headless {
namespace {

// A worker that does nothing and hands its completion to the window thread.
class IdleWorker : public TThread {
  public:
    explicit IdleWorker(TerminateHandler done) : TThread(true) {
        OnTerminate = std::move(done);
        Start();
    }
    ~IdleWorker() override = default;

  protected:
    void Execute() override {}
};

class HeadlessTest : public ::testing::Test {
  protected:
    HeadlessTest() { app_.SetIdleTimeout(std::chrono::milliseconds(20)); }

    HeadlessForm& form() { return static_cast<HeadlessForm&>(*backend_); }
    std::int64_t EmulatedMillis() const { return machine_.clock.NowNanos() / 1'000'000; }

    std::vector<std::string> Kinds() const {
        std::vector<std::string> out;
        for (const UiEvent& e : app_.Log()) {
            out.push_back(KindName(e.kind));
        }
        return out;
    }

    sim::Machine machine_;
    SimPlatform os_{machine_};
    ScopedPlatform scope_{os_};
    HeadlessApplication app_;
    std::unique_ptr<FormBackend> backend_ = app_.CreateFormBackend();
};

// --- Timers on the emulated clock -------------------------------------------------------------

TEST_F(HeadlessTest, TimersFireOnTheEmulatedClockAndTheLoopEndsWhenIdle) {
    Timer& fast = form().AddTimer();
    Timer& slow = form().AddTimer();
    int fastFires = 0;
    int slowFires = 0;
    fast.SetInterval(100);
    fast.OnTimer = [&](void* sender) {
        EXPECT_EQ(sender, &fast);
        ++fastFires;
    };
    slow.SetInterval(250);
    slow.OnTimer = [&](void*) {
        if (++slowFires == 4) {
            fast.SetEnabled(false);
            slow.SetEnabled(false);
        }
    };
    fast.SetEnabled(true);
    slow.SetEnabled(true);

    app_.Run();

    EXPECT_EQ(fastFires, 10);
    EXPECT_EQ(slowFires, 4);
    EXPECT_GE(EmulatedMillis(), 1000);
    EXPECT_LT(EmulatedMillis(), 1010);
    ASSERT_TRUE(app_.Terminated());
    const std::vector<std::string> kinds = Kinds();
    ASSERT_GE(kinds.size(), 2u);
    EXPECT_EQ(kinds[kinds.size() - 2], "Idle");
    EXPECT_EQ(kinds.back(), "Terminate");
}

TEST_F(HeadlessTest, ProcessMessagesFiresDueTimersOnceAndNeverWaits) {
    Timer& timer = form().AddTimer();
    int fires = 0;
    timer.OnTimer = [&](void*) { ++fires; };
    timer.SetInterval(100);
    timer.SetEnabled(true);

    const std::int64_t before = EmulatedMillis();
    app_.ProcessMessages();
    EXPECT_EQ(fires, 0);
    EXPECT_LT(EmulatedMillis() - before, 1);  // a counter read or two, no wait

    machine_.clock.SleepMillis(99);
    app_.ProcessMessages();
    EXPECT_EQ(fires, 0);
    machine_.clock.SleepMillis(2);
    app_.ProcessMessages();
    EXPECT_EQ(fires, 1);

    // Ticks missed while the thread was busy come as one.
    machine_.clock.SleepMillis(550);
    app_.ProcessMessages();
    app_.ProcessMessages();
    EXPECT_EQ(fires, 2);

    // A disabled timer is silent; enabling it again starts a full interval.
    timer.SetEnabled(false);
    machine_.clock.SleepMillis(500);
    app_.ProcessMessages();
    EXPECT_EQ(fires, 2);
    timer.SetEnabled(true);
    machine_.clock.SleepMillis(60);
    app_.ProcessMessages();
    EXPECT_EQ(fires, 2);
    machine_.clock.SleepMillis(50);
    app_.ProcessMessages();
    EXPECT_EQ(fires, 3);
}

TEST_F(HeadlessTest, TimersRunWithoutAPerformanceCounter) {
    machine_.os.hasPerformanceCounter = false;
    HeadlessApplication app;
    app.SetIdleTimeout(std::chrono::milliseconds(5));
    auto backend = app.CreateFormBackend();
    Timer& timer = backend->AddTimer();
    int fires = 0;
    timer.OnTimer = [&](void*) {
        if (++fires == 5) {
            timer.SetEnabled(false);
        }
    };
    timer.SetInterval(100);
    timer.SetEnabled(true);
    app.Run();
    EXPECT_EQ(fires, 5);
    EXPECT_GE(EmulatedMillis(), 500);
}

// --- Dialogs ------------------------------------------------------------------------------------

TEST_F(HeadlessTest, DialogRunsHandedOverCompletionsBeforeItIsAnswered) {
    bool completed = false;
    IdleWorker worker([&](TThread*) { completed = true; });
    ASSERT_TRUE(WindowThreadQueue::WaitForPending(std::chrono::seconds(60)));

    bool completedWhileOpen = false;
    DialogRequest seen;
    app_.SetDialogAnswerer([&](const DialogRequest& request) {
        completedWhileOpen = completed;
        seen = request;
        return DialogResult::No;
    });
    EXPECT_EQ(app_.MessageDlg("Go on ?", DialogKind::Warning, DialogButtons::YesNo),
              DialogResult::No);

    EXPECT_TRUE(completedWhileOpen);
    EXPECT_EQ(seen.text, "Go on ?");
    EXPECT_EQ(seen.caption, "Warning");
    EXPECT_EQ(seen.buttons, DialogButtons::YesNo);
    const auto dialogs = app_.Events(EventKind::Dialog);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].detail, "Warning");
    ASSERT_EQ(app_.Events(EventKind::DialogAnswer).size(), 1u);
    EXPECT_EQ(app_.Events(EventKind::DialogAnswer)[0].text, "No");
}

TEST_F(HeadlessTest, DialogsAndMessageBoxesHaveDefaultAnswers) {
    EXPECT_EQ(app_.MessageDlg("a", DialogKind::Warning, DialogButtons::YesNo), DialogResult::Yes);
    EXPECT_EQ(app_.MessageDlg("b", DialogKind::Error, DialogButtons::Ok), DialogResult::Ok);
    EXPECT_EQ(app_.MessageBox("c", "Error ...", kMbOk | kMbIconError), IDOK);
    EXPECT_EQ(app_.MessageBox("d", "Question", MB_YESNO), IDYES);

    const auto boxes = app_.Events(EventKind::MessageBox);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(ToString(boxes[0]), "MessageBox \"c\" \"Error ...\" 16");
    EXPECT_EQ(app_.Events(EventKind::Dialog)[1].detail, "Error");
    // Nothing goes to the emulated system's own message box.
    EXPECT_TRUE(os_.MessageBoxes().empty());
}

// --- The loop ---------------------------------------------------------------------------------

TEST_F(HeadlessTest, UserActionsRunOnlyWhenTheWindowIsIdle) {
    std::vector<std::string> order;
    Timer& timer = form().AddTimer();
    timer.SetInterval(100);
    int ticks = 0;
    timer.OnTimer = [&](void*) {
        order.push_back("tick");
        if (++ticks == 3) {
            timer.SetEnabled(false);
        }
    };
    IdleWorker worker([&](TThread*) { order.push_back("completion"); });
    ASSERT_TRUE(WindowThreadQueue::WaitForPending(std::chrono::seconds(60)));
    app_.QueueUserAction([&] { order.push_back("action 1"); });
    app_.QueueUserAction([&] {
        order.push_back("action 2");
        timer.SetEnabled(true);  // the next action waits for the timer to end
    });
    app_.QueueUserAction([&] { order.push_back("action 3"); });
    EXPECT_EQ(app_.PendingUserActions(), 3u);

    app_.Run();

    const std::vector<std::string> expected{"completion", "action 1", "action 2", "tick",
                                            "tick",       "tick",     "action 3"};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(app_.PendingUserActions(), 0u);
}

TEST_F(HeadlessTest, ExceptionsEscapingHandlersAreShownAndTheLoopGoesOn) {
    Timer& timer = form().AddTimer();
    timer.SetInterval(10);
    timer.OnTimer = [&](void*) {
        timer.SetEnabled(false);
        throw std::runtime_error("timer failed");
    };
    IdleWorker worker([](TThread*) { throw std::runtime_error("completion failed"); });
    ASSERT_TRUE(WindowThreadQueue::WaitForPending(std::chrono::seconds(60)));
    app_.QueueUserAction([] { throw 42; });
    app_.QueueUserAction([&] { timer.SetEnabled(true); });
    bool last = false;
    app_.QueueUserAction([&] { last = true; });

    app_.Run();

    EXPECT_TRUE(last);
    std::vector<std::string> shown;
    for (const UiEvent& e : app_.Events(EventKind::Exception)) {
        shown.push_back(e.text);
    }
    const std::vector<std::string> expected{"completion failed", "Unknown exception",
                                            "timer failed"};
    EXPECT_EQ(shown, expected);
}

TEST_F(HeadlessTest, WithoutEndWhenIdleTheLoopWaitsForAWorker) {
    app_.SetEndWhenIdle(false);
    app_.SetIdleTimeout(std::chrono::milliseconds(1));
    std::unique_ptr<IdleWorker> worker;
    app_.QueueUserAction(
        [&] { worker = std::make_unique<IdleWorker>([&](TThread*) { app_.Terminate(); }); });
    app_.Run();
    EXPECT_TRUE(app_.Events(EventKind::Idle).empty());
    EXPECT_EQ(app_.Events(EventKind::Terminate).size(), 1u);
}

TEST_F(HeadlessTest, TerminateBeforeRunEndsTheLoopAtOnce) {
    app_.QueueUserAction([] { FAIL() << "no action after Terminate"; });
    app_.Terminate();
    app_.Terminate();
    app_.Run();
    EXPECT_EQ(app_.Events(EventKind::Terminate).size(), 1u);
    EXPECT_EQ(app_.PendingUserActions(), 1u);
}

// --- Delay on the window thread and elsewhere ---------------------------------------------------

TEST_F(HeadlessTest, DelayProcessesMessagesOnTheWindowThreadOnly) {
    Timer& timer = form().AddTimer();
    std::atomic<int> fires{0};
    timer.OnTimer = [&](void*) { ++fires; };
    timer.SetInterval(100);
    timer.SetEnabled(true);

    HiTimer().Delay(0.35);
    EXPECT_EQ(fires, 3);

    // A worker's Delay passes through the same hook: it must not touch the window.
    machine_.clock.SleepMillis(200);
    std::thread other([] {
        ProcessMessagesHook hook = GetProcessMessagesHook();
        ASSERT_NE(hook, nullptr);
        hook();
        HiTimer().Delay(0.01);
    });
    other.join();
    EXPECT_EQ(fires, 3);
    app_.ProcessMessages();
    EXPECT_EQ(fires, 4);
}

TEST_F(HeadlessTest, TheHookIsRestoredWithTheApplicationAndBoundToItsThread) {
    ProcessMessagesHook mine = GetProcessMessagesHook();
    ASSERT_NE(mine, nullptr);
    {
        HeadlessApplication inner;
        EXPECT_EQ(GetProcessMessagesHook(), mine);
    }
    EXPECT_EQ(GetProcessMessagesHook(), mine);

    Label& label = form().AddLabel();
    std::thread other([&] { EXPECT_THROW(label.SetText("x"), std::logic_error); });
    other.join();
    EXPECT_TRUE(app_.Log().empty());
}

// --- The form ---------------------------------------------------------------------------------

TEST_F(HeadlessTest, DeletingEntryFiveTwiceTakesCloseFromTheFrame) {
    const std::vector<std::string> standard{"Restore",  "Move", "Size", "Minimize",
                                            "Maximize", "-",    "Close"};
    EXPECT_EQ(form().SystemMenu(), standard);
    EXPECT_TRUE(form().FrameCanClose());

    EXPECT_TRUE(form().DeleteSystemMenuItem(5));
    EXPECT_TRUE(form().FrameCanClose());
    EXPECT_TRUE(form().DeleteSystemMenuItem(5));
    EXPECT_FALSE(form().FrameCanClose());
    EXPECT_FALSE(form().DeleteSystemMenuItem(5));
    EXPECT_FALSE(form().DeleteSystemMenuItem(-1));
    EXPECT_EQ(form().SystemMenu().size(), 5u);
    const auto deleted = app_.Events(EventKind::SystemMenu);
    ASSERT_EQ(deleted.size(), 2u);
    EXPECT_EQ(deleted[0].text, "-");
    EXPECT_EQ(deleted[1].text, "Close");

    form().Show();
    EXPECT_FALSE(form().UserCloseFrame());
    EXPECT_TRUE(form().Showing());
    EXPECT_FALSE(app_.Terminated());
}

TEST_F(HeadlessTest, CloseKindButtonClosesTheMainFormAfterItsClick) {
    Button& close = form().AddButton();
    close.SetKind(ButtonKind::Close);
    std::vector<std::string> order;
    close.OnClick = [&](void* sender) {
        EXPECT_EQ(sender, &close);
        order.push_back(app_.Terminated() ? "click after close" : "click");
    };
    form().Show();

    close.SetEnabled(false);
    close.UserClick();
    EXPECT_TRUE(order.empty());
    EXPECT_TRUE(app_.Events(EventKind::UserClick).empty());

    close.SetEnabled(true);
    close.UserClick();
    EXPECT_EQ(order, std::vector<std::string>{"click"});
    EXPECT_FALSE(form().Showing());
    EXPECT_TRUE(app_.Terminated());
    const std::vector<std::string> tail{"UserClick", "FormClosed", "Terminate"};
    const std::vector<std::string> kinds = Kinds();
    EXPECT_EQ(std::vector<std::string>(kinds.end() - 3, kinds.end()), tail);
}

// The kind a press began with decides, whatever the click handler does to the button meanwhile.
TEST_F(HeadlessTest, PressKeepsTheKindItBeganWith) {
    Button& button = form().AddButton();
    int clicks = 0;
    button.OnClick = [&](void*) {
        ++clicks;
        button.SetKind(ButtonKind::Close);
        // Replacing the handler while it runs leaves this call whole.
        button.OnClick = [&](void*) {
            ++clicks;
            button.SetKind(ButtonKind::Normal);
        };
    };
    form().Show();

    button.UserClick();
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(form().Showing());
    EXPECT_FALSE(app_.Terminated());

    button.UserClick();
    EXPECT_EQ(clicks, 2);
    EXPECT_FALSE(form().Showing());
    EXPECT_TRUE(app_.Terminated());
}

// --- Controls -----------------------------------------------------------------------------------

TEST_F(HeadlessTest, OnlyRealChangesAreReported) {
    std::vector<std::string> heard;
    app_.SetListener([&](const UiEvent& e) { heard.push_back(ToString(e)); });
    Label& label = form().AddLabel();
    ComboBox& list = form().AddComboBox();
    ProgressBar& bar = form().AddProgressBar();
    Timer& timer = form().AddTimer();

    label.SetText("Programming ...");
    label.SetText("Programming ...");
    label.SetName("lblMsg");
    label.SetFontColor(kBlack);  // the default colour
    label.SetFontColor(kMaroon);
    label.SetFontColor(kMaroon);
    label.SetVisible(true);
    label.SetBounds({16, 92, 56, 13});
    label.SetBounds({16, 92, 56, 13});
    list.SetItemIndex(-1);
    list.AddItem("E: drive");
    list.SetItemIndex(0);
    list.SetItemIndex(0);
    bar.SetPosition(0);
    bar.SetRange(0, 100);
    timer.SetEnabled(false);
    timer.SetInterval(1000);

    const std::vector<std::string> expected{
        "LabelText Label1 \"Programming ...\"",   "LabelColor lblMsg 128 0 0",
        "LabelBounds lblMsg 16 92 56 13",         "ListItems ComboBox1 \"E: drive\\n\" 1",
        "ListSelection ComboBox1 \"E: drive\" 0",
    };
    EXPECT_EQ(heard, expected);
    ASSERT_EQ(app_.Log().size(), expected.size());
    EXPECT_EQ(ToString(app_.Log()[1]), expected[1]);

    // A change of face is a font change; the form's font reaches only controls without their own.
    Label& plain = form().AddLabel();
    label.SetFont({"Verdana", 8, true, kNavy});
    EXPECT_EQ(heard.back(), "LabelFont lblMsg \"Verdana\" 8 1 0 0 128");
    form().SetFont({"Tahoma", 9, false, kBlack});
    EXPECT_EQ(plain.GetFont().face, "Tahoma");
    EXPECT_EQ(label.GetFont().face, "Verdana");
}

TEST_F(HeadlessTest, ComboBoxChoiceRaisesChangeAndCodeDoesNot) {
    auto& list = static_cast<HeadlessComboBox&>(form().AddComboBox());
    list.SetName("cboDrives");
    std::vector<void*> changes;
    list.OnChange = [&](void* sender) { changes.push_back(sender); };
    list.AddItem("first");
    list.AddItem("second");
    list.SetItemIndex(1);
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(list.Text(), "second");

    list.UserChoose(0);
    list.UserChoose(0);  // the native list reports a choice of the same item too
    ComboBox* asSeam = &list;
    EXPECT_EQ(changes, (std::vector<void*>{asSeam, asSeam}));
    EXPECT_EQ(list.ItemIndex(), 0);
    EXPECT_EQ(app_.Events(EventKind::ListSelection).size(), 2u);

    EXPECT_THROW(list.UserChoose(2), std::out_of_range);
    EXPECT_THROW(list.Item(-1), std::out_of_range);
    list.SetItemIndex(7);
    EXPECT_EQ(list.ItemIndex(), -1);

    list.SetEnabled(false);
    list.UserChoose(1);
    EXPECT_EQ(list.ItemIndex(), -1);
    EXPECT_EQ(changes.size(), 2u);

    list.SetItemIndex(1);
    list.Clear();
    EXPECT_EQ(list.ItemCount(), 0);
    EXPECT_EQ(list.ItemIndex(), -1);
    EXPECT_EQ(app_.Find<HeadlessComboBox>("cboDrives"), &list);
    EXPECT_EQ(app_.Find<HeadlessLabel>("cboDrives"), nullptr);
}

TEST_F(HeadlessTest, ProgressBarStaysWithinItsRange) {
    ProgressBar& bar = form().AddProgressBar();
    bar.SetRange(0, 330);
    bar.SetStep(1);
    bar.SetPosition(329);
    bar.StepIt();
    EXPECT_EQ(bar.Position(), 330);
    const std::size_t events = app_.Log().size();
    bar.StepIt();
    EXPECT_EQ(bar.Position(), 330);
    EXPECT_EQ(app_.Log().size(), events);

    bar.SetPosition(1000);
    EXPECT_EQ(bar.Position(), 330);
    bar.SetRange(0, 100);
    EXPECT_EQ(bar.Position(), 100);
    bar.SetPosition(-5);
    EXPECT_EQ(bar.Position(), 0);
    bar.SetStep(10);
    bar.SetPosition(95);
    bar.StepIt();
    EXPECT_EQ(bar.Position(), 100);
}

TEST_F(HeadlessTest, AutoSizeLabelGrowsWithItsText) {
    Label& label = form().AddLabel();
    label.SetFont({"Arial", 8, false, kBlack});
    label.SetBounds({11, 56, 104, 14});
    label.SetText("It will be updated from");
    EXPECT_EQ(label.GetBounds(), (Bounds{11, 56, 104, 14}));  // no AutoSize: the bounds stay

    label.SetAutoSize(true);
    const Bounds short_ = label.GetBounds();
    EXPECT_EQ(short_.left, 11);
    EXPECT_EQ(short_.top, 56);
    EXPECT_EQ(short_.height, 14);
    EXPECT_GT(short_.width, 90);
    EXPECT_LT(short_.width, 120);

    label.SetText("This drive is not allowed to be updated.");
    EXPECT_GT(label.GetBounds().width, short_.width);
    label.SetText("two\nlines");
    EXPECT_EQ(label.GetBounds().height, 28);
    EXPECT_LT(label.GetBounds().width, short_.width);

    label.SetText("It will be updated from");
    label.SetFont({"Arial", 8, true, kBlack});
    EXPECT_GT(label.GetBounds().width, short_.width);
}

}  // namespace
}  // namespace quiver::ui::headless
