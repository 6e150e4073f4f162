// The progress display of a running update: the bar, the percentage and the status line.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app_rig.h"

namespace quiver::apptest {
namespace {

class ProgressTest : public AppRig {
  protected:
    void SetUp() override {
        AddKmr(0);
        Open();
        ASSERT_FALSE(app_->Terminated());
    }

    // One tick from `position` of 0..330.
    void TickFrom(int position) {
        window_->pbar.SetRange(0, 330);
        window_->pbar.SetStep(1);
        window_->pbar.SetPosition(position);
        window_->tmrTimer(nullptr);
    }
};

TEST_F(ProgressTest, LastStepShowsOneHundredWithoutDots) {
    TickFrom(329);
    EXPECT_EQ(window_->pbar.Position(), 330);
    EXPECT_EQ(Label("lblPercent").Text(), "100 %");
    EXPECT_EQ(Label("lblMsg").Text(), "Programming ");

    // Full: the status line gets its ten dots and the bar stays where it is.
    app_->ClearLog();
    window_->tmrTimer(nullptr);
    EXPECT_EQ(window_->pbar.Position(), 330);
    EXPECT_EQ(Label("lblPercent").Text(), "100 %");
    EXPECT_EQ(Label("lblMsg").Text(), "Programming ..........");
    EXPECT_TRUE(app_->Events(EventKind::ProgressPosition).empty());
    window_->tmrTimer(nullptr);
    EXPECT_EQ(Label("lblMsg").Text(), "Programming ..........");
}

// The bar ticked through from empty, as the timer does it: the percentage stays 0 for three
// steps, passes 50 at the middle and reaches 100 only at the last step, never rounding up on
// the way; the dots run from one to nine and start again at none every tenth step.
TEST_F(ProgressTest, ATickedThroughBarShowsItsPercentAndDots) {
    window_->pbar.SetRange(0, 330);
    window_->pbar.SetStep(1);
    window_->pbar.SetPosition(0);
    std::vector<std::string> percent;  // after tick 1, 2, ...
    std::vector<std::string> status;
    for (int tick = 0; tick < 330; ++tick) {
        window_->tmrTimer(nullptr);
        percent.push_back(Label("lblPercent").Text());
        status.push_back(Label("lblMsg").Text());
    }
    EXPECT_EQ(window_->pbar.Position(), 330);
    EXPECT_EQ(std::vector<std::string>(percent.begin(), percent.begin() + 4),
              (std::vector<std::string>{"0 %", "0 %", "0 %", "1 %"}));
    EXPECT_EQ(percent[163], "49 %");
    EXPECT_EQ(percent[164], "50 %");
    EXPECT_EQ(percent[328], "99 %");
    EXPECT_EQ(std::find(percent.begin(), percent.end(), "100 %") - percent.begin(), 329);
    EXPECT_TRUE(std::is_sorted(
        percent.begin(), percent.end(),
        [](const std::string& a, const std::string& b) { return std::stoi(a) < std::stoi(b); }));
    EXPECT_EQ(status[0], "Programming .");
    EXPECT_EQ(status[8], "Programming .........");
    EXPECT_EQ(status[9], "Programming ");
    EXPECT_EQ(status[10], "Programming .");
    EXPECT_EQ(std::count(status.begin(), status.end(), "Programming "), 33);
}

// While workers run: range 0..330 by one, the timer at 100 ms, both buttons off, the status
// line maroon; the bar moves from 0 by single steps (as many as the host lets the window see
// while the worker runs) and is full when the update ends.
TEST_F(ProgressTest, RunningUpdateShowsItsProgress) {
    std::vector<std::string> during;
    Then([this, &during] {
        window_->cmdUpdate.UserClick();
        EXPECT_TRUE(window_->UpdateRunning());
        EXPECT_EQ(window_->pbar.Min(), 0);
        EXPECT_EQ(window_->pbar.Max(), 330);
        EXPECT_EQ(window_->pbar.Position(), 0);
        EXPECT_EQ(window_->tmr.Interval(), 100);
        EXPECT_FALSE(window_->cmdUpdate.Enabled());
        EXPECT_FALSE(window_->cmdClose.Enabled());
        EXPECT_EQ(Label("lblMsg").GetFont().color, ui::kMaroon);
        EXPECT_EQ(window_->RunningWorkers(), 1);
        EXPECT_EQ(window_->TargetCount(), 1);
    });
    app_->Run();
    EXPECT_FALSE(window_->UpdateRunning());
    const std::vector<int> positions = Values(EventKind::ProgressPosition, "pbar");
    ASSERT_GE(positions.size(), 2u);
    EXPECT_EQ(positions[positions.size() - 2], 330);  // the completion fills the bar
    EXPECT_EQ(positions.back(), 0);
    for (std::size_t i = 0; i + 2 < positions.size(); ++i) {
        EXPECT_EQ(positions[i], static_cast<int>(i) + 1) << "tick " << i;
    }
}

}  // namespace
}  // namespace quiver::apptest
