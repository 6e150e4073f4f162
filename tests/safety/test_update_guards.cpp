// The guards of an update on the emulated PC, which records every lock the program takes: one
// updater per machine, the system held up and each drive locked from before the first write
// until the last worker has ended, and a drive that another program holds left alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "app_rig.h"

namespace quiver::apptest {
namespace {

constexpr char kAnotherUpdater[] =
    "Another flash utility is already running on this computer, and it may be updating a drive "
    "now.\n\nLet it finish and close it, then run this utility again.";
constexpr char kFailure[] = "Unable to flash firmware. Please contact with your vendor !";

class UpdateGuardsTest : public AppRig {
  protected:
    UpdateGuardsTest() {
        package_.Put(QUIVER_SLOT(reboot), "REBOOT=0").Put(QUIVER_SLOT(close_ap), "CLOSEAP=0");
    }
    ~UpdateGuardsTest() override { machine_.locks().SetObserver({}); }

    // From now on: the locks' changes and every drive's commands ("E 3B", "E program"), in the
    // order they happened.
    void RecordOrder() {
        machine_.locks().SetObserver([this](const sim::LockEvent& e) {
            using Kind = sim::LockEvent::Kind;
            const std::string drive(1, static_cast<char>('E' + e.value));
            switch (e.kind) {
                case Kind::ExecutionState:
                    return Add(e.value == sim::kEsContinuous ? "awake off" : "awake on");
                case Kind::ShutdownBlocked:
                    return Add("block on");
                case Kind::ShutdownUnblocked:
                    return Add("block off");
                case Kind::VolumeLocked:
                    return Add(drive + (e.granted ? " lock" : " lock refused"));
                case Kind::VolumeUnlocked:
                    return Add(drive + " unlock");
                default:
                    return;
            }
        });
        for (std::size_t i = 0; i < machine_.DriveCount(); ++i) {
            const std::string drive(1, static_cast<char>('E' + i));
            machine_.drive(i).SetCommandObserver([this, drive](const sim::LoggedCommand& c) {
                if (c.cdb[0] == 0x3B) {
                    Add(drive + (IsProgramCommand(c) ? " program" : " 3B"));
                }
            });
        }
    }
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> lock(orderMutex_);
        order_.push_back(what);
    }
    // Where `what` first (or last) happened; -1 when it never did.
    int At(const std::string& what, bool last = false) {
        std::lock_guard<std::mutex> lock(orderMutex_);
        int found = -1;
        for (std::size_t i = 0; i < order_.size() && (last || found < 0); ++i) {
            found = order_[i] == what ? static_cast<int>(i) : found;
        }
        return found;
    }
    bool NothingHeld() {
        const sim::Locks& locks = machine_.locks();
        return !locks.SystemRequired() && !locks.ShutdownBlocked() && locks.VolumeHolder(0) == 0 &&
               locks.VolumeHolder(1) == 0;
    }

    std::mutex orderMutex_;
    std::vector<std::string> order_;
};

TEST_F(UpdateGuardsTest, HeldFromBeforeTheFirstWriteUntilTheLastWorkerHasEnded) {
    AddKmr(0);
    AddKmr(1);
    package_.Put(QUIVER_SLOT(auto_mode), "AUTOMODE=1");
    RecordOrder();
    OpenAndRun();

    ASSERT_EQ(drive(0).ProgramCount(), 1u);
    ASSERT_EQ(drive(1).ProgramCount(), 1u);
    const int firstWrite = std::min(At("E 3B"), At("F 3B"));
    const int lastProgram = std::max(At("E program", true), At("F program", true));
    for (const char* taken : {"awake on", "block on", "E lock", "F lock"}) {
        EXPECT_GE(At(taken), 0) << taken;
        EXPECT_LT(At(taken), firstWrite) << taken;
    }
    for (const char* given : {"E unlock", "F unlock", "block off", "awake off"}) {
        EXPECT_GT(At(given), lastProgram) << given;
    }
    // Given back on the thread that took them: nothing is held any more.
    EXPECT_TRUE(NothingHeld());
}

// The system asks to end the session (log off, shut down) while the drives are flashed: the
// window says no; before and after the update it lets the session end.
TEST_F(UpdateGuardsTest, TheSessionMayNotEndWhileDrivesAreFlashed) {
    AddKmr(0);
    Open();
    auto& form = static_cast<ui::headless::HeadlessForm&>(window_->form());
    std::vector<bool> answers{form.SystemEndsSession()};
    app_->SetListener([&](const UiEvent& e) {
        if (e.kind == EventKind::ProgressPosition && answers.size() == 1) {
            answers.push_back(form.SystemEndsSession());
        }
    });
    ClickUpdate();
    app_->Run();
    answers.push_back(form.SystemEndsSession());
    EXPECT_EQ(answers, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
}

// Another updater holds the machine's mutex: the program says so and ends before it opens a
// drive. On the Windows 95 line, which has no global namespace, the mutex is the plain name.
class SecondUpdaterTest : public UpdateGuardsTest,
                          public ::testing::WithParamInterface<std::pair<bool, const char*>> {};

TEST_P(SecondUpdaterTest, SaysSoAndEndsBeforeTouchingADrive) {
    const auto [nt, held] = GetParam();
    machine_.os.ntFamily = nt;
    machine_.os.heldMutexes = {held};
    AddKmr(0);
    OpenAndRun();
    const std::vector<UiEvent> dialogs = app_->Events(EventKind::Dialog);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, kAnotherUpdater);
    EXPECT_EQ(dialogs[0].detail, "Error");
    EXPECT_TRUE(app_->Terminated());
    EXPECT_FALSE(window_->form().Showing());
    EXPECT_TRUE(drive(0).Log().empty());
    EXPECT_EQ(os_.OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Systems, SecondUpdaterTest,
                         ::testing::Values(std::make_pair(true, WindowsFlashGuards::kMutexName),
                                           std::make_pair(false,
                                                          WindowsFlashGuards::kLocalMutexName)));

TEST_F(UpdateGuardsTest, TheWindowHoldsTheMachineForItsWholeLife) {
    AddKmr(0);
    Open();
    EXPECT_EQ(WindowsFlashGuards().ClaimMachine().result, GuardResult::Busy);
    window_.reset();
    EXPECT_EQ(WindowsFlashGuards().ClaimMachine().result, GuardResult::Taken);
}

// Another program has drive E to itself: E is not written to and the user is told which drive
// it is; F is flashed; the update fails, and everything taken is given back.
class BusyFirstDrive : public WindowsFlashGuards {
  public:
    Guarded ClaimDrive(HANDLE device) override {
        if (++claims == 1) {
            return {GuardResult::Busy, nullptr};
        }
        return WindowsFlashGuards::ClaimDrive(device);
    }
    int claims = 0;
};

TEST_F(UpdateGuardsTest, ADriveThatAnotherProgramHoldsIsNotFlashed) {
    AddKmr(0);
    AddKmr(1);
    package_.Put(QUIVER_SLOT(auto_mode), "AUTOMODE=1");
    guards_ = std::make_shared<BusyFirstDrive>();
    OpenAndRun();

    const std::vector<std::string> dialogs = DialogTexts();
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(dialogs[0].rfind("The drive\n 0-0-0-0 E:Korvane DVDRW KMR-730T   QM01\nis in use", 0),
              0u)
        << dialogs[0];
    EXPECT_EQ(dialogs[1], kFailure);
    EXPECT_EQ(Writes(0), 0u);
    EXPECT_EQ(drive(1).ProgramCount(), 1u);
    EXPECT_TRUE(NothingHeld());
}

}  // namespace
}  // namespace quiver::apptest
