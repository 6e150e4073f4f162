#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "drive_rig.h"
#include "formats/firmware_image.h"
#include "host/window_thread_queue.h"
#include "package/match_drives.h"
#include "package_helpers.h"
#include "worker/parser.h"

namespace quiver {
namespace {

using rig::kMiB;

using rig::DriveRig;
using rig::MakeFault;
using Kind = sim::Fault::Kind;

// The window thread's side: what the completions saw.
struct Completions {
    std::vector<TThread*> senders;
    std::vector<std::thread::id> threads;
    std::atomic<int> inside{0};
    bool overlapped = false;

    TThread::TerminateHandler Handler() {
        return [this](TThread* sender) {
            if (inside.fetch_add(1) != 0) {
                overlapped = true;
            }
            senders.push_back(sender);
            threads.push_back(std::this_thread::get_id());
            std::this_thread::yield();
            inside.fetch_sub(1);
        };
    }
};

// Runs the window thread's share until `count` completions have run, at most 60 s of real time.
bool RunCompletions(const Completions& done, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (done.senders.size() < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        WindowThreadQueue::WaitForPending(std::chrono::milliseconds(50));
        WindowThreadQueue::ProcessPending();
    }
    return true;
}

// KMR-730Ts on E:, F:, G: and H:, a scanning drive object as the window makes it, matched
// against a package whose bank 1 admits them, and one target object per drive, copied from it
// and opened on its drive.
class WorkerTest : public DriveRig {
  protected:
    void Build(int drives) {
        for (int i = 0; i < drives; ++i) {
            AddOptical(static_cast<char>('E' + i), rig::Kmr730t(), 0, static_cast<std::uint8_t>(i));
        }
        std::copy(image_.begin(), image_.end(), package_.begin() + kImageAreaOffset);
        scanner_ = std::make_unique<AtapiDevice>(true);
        ASSERT_EQ(scanner_->RecordCount(), drives);
        MatchDrives(package_.data(), scanner_->Records(), drives);
        for (int i = 0; i < drives; ++i) {
            auto target = std::make_unique<AtapiDevice>(false);
            target->CopyFrom(*scanner_);
            ASSERT_TRUE(target->SelectDrive(i));
            targets_.push_back(std::move(target));
            drive(i).ClearLog();
        }
    }

    FlashJob Job(int i, std::int32_t size = static_cast<std::int32_t>(kMiB)) {
        FlashJob job;
        job.drive = targets_[static_cast<std::size_t>(i)].get();
        job.data = image_.data();
        job.size = size;
        job.withBootCode = false;
        job.admitted = *scanner_->RecordAt(i);
        job.package = package_.data();
        return job;
    }

    const std::vector<std::uint8_t> image_ = sim::MakeFirmwareImage("QM02", kMiB, 11);
    std::vector<std::uint8_t> package_ = testing::CopyOfEmbeddedPackage();
    std::unique_ptr<AtapiDevice> scanner_;
    std::vector<std::unique_ptr<AtapiDevice>> targets_;
    Completions done_;
};

TEST_F(WorkerTest, SuccessfulDownloadLeavesZeroAndCompletesOnceOnTheWindowThread) {
    Build(1);
    targets_[0]->SetFlashResult(99);
    const auto worker = std::make_unique<Parser>(Job(0), done_.Handler());
    ASSERT_TRUE(RunCompletions(done_, 1));
    EXPECT_EQ(done_.senders, std::vector<TThread*>{worker.get()});
    EXPECT_EQ(done_.threads[0], std::this_thread::get_id());
    EXPECT_EQ(targets_[0]->FlashResult(), kFlashSucceeded);
    EXPECT_EQ(drive().ProgramCount(), 1u);
    EXPECT_EQ(drive().FlashContents(), image_);

    // Exactly once: nothing more arrives.
    EXPECT_FALSE(WindowThreadQueue::WaitForPending(std::chrono::milliseconds(20)));
    EXPECT_EQ(WindowThreadQueue::ProcessPending(), 0);
    EXPECT_EQ(done_.senders.size(), 1u);
}

TEST_F(WorkerTest, FailureDuringTheTransferLeaves42) {
    Build(1);
    drive().AddFault(MakeFault(Kind::TransportFailure, 0x3B, 1, 0));
    const auto worker = std::make_unique<Parser>(Job(0), done_.Handler());
    ASSERT_TRUE(RunCompletions(done_, 1));
    EXPECT_EQ(targets_[0]->FlashResult(), kFlashFailed);
    EXPECT_TRUE(targets_[0]->TransferMark());
    EXPECT_EQ(drive().ProgramCount(), 0u);
}

// An exception other than the worker's own out of the download is a failed flash too.
TEST_F(WorkerTest, OtherExceptionOutOfTheDownloadLeaves42) {
    Build(1);
    os_.throwOnOpcode = 0x3B;
    const auto worker = std::make_unique<Parser>(Job(0), done_.Handler());
    ASSERT_TRUE(RunCompletions(done_, 1));
    EXPECT_EQ(targets_[0]->FlashResult(), kFlashFailed);
    EXPECT_EQ(drive().ProgramCount(), 0u);
    EXPECT_FALSE(WindowThreadQueue::WaitForPending(std::chrono::milliseconds(20)));
}

TEST_F(WorkerTest, FailureBeforeTheMarkLeaves42) {
    Build(1);
    const auto worker = std::make_unique<Parser>(Job(0, 16'383), done_.Handler());
    ASSERT_TRUE(RunCompletions(done_, 1));
    EXPECT_EQ(targets_[0]->FlashResult(), kFlashFailed);
    EXPECT_FALSE(targets_[0]->TransferMark());  // the failure came back as a plain false
    EXPECT_EQ(CountSent(0x3B), 0u);
}

// The worker first makes sure that the drive it is about to write is the one the scan admitted
// and that the package still admits it; otherwise nothing is written and the result says so.
TEST_F(WorkerTest, DriveThatIsNotTheAdmittedOneIsNeverWritten) {
    Build(1);
    auto other = std::make_shared<sim::Replacement>();
    other->config.revision = "QM10";
    const struct {
        const char* what;
        std::function<void(FlashJob&)> change;
    } cases[] = {
        // in this order: the last two change the package and the drive for good
        {"another bank's image", [](FlashJob& job) { job.admitted.image_index = 1; }},
        {"not admitted by the package", [](FlashJob& job) { job.admitted.allowed = 0; }},
        {"no record", [](FlashJob& job) { job.admitted = DriveRecord{}; }},
        {"no package", [](FlashJob& job) { job.package = nullptr; }},
        {"a package that admits other revisions",
         [&](FlashJob&) { testing::PutEntry(package_, 1, 1, "QM02", "QM0F", "", ""); }},
        {"replaced since the scan",
         [&](FlashJob&) {
             sim::Fault swap = MakeFault(Kind::Replaced, 0x12);
             swap.by = other;
             drive().AddFault(swap);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FlashJob job = Job(0);
        c.change(job);
        done_.senders.clear();
        const auto worker = std::make_unique<Parser>(job, done_.Handler());
        ASSERT_TRUE(RunCompletions(done_, 1));
        EXPECT_EQ(targets_[0]->FlashResult(), kFlashNotAdmitted);
        EXPECT_EQ(CountSent(0x3B), 0u);
        const sim::Drive* replacement = drive().ReplacedBy();
        EXPECT_TRUE(replacement == nullptr || replacement->Log().size() == 1u);  // its INQUIRY
    }
    EXPECT_EQ(drive().ProgramCount(), 0u);
}

TEST_F(WorkerTest, SeveralWorkersFlashSeveralDrivesAtOnce) {
    constexpr int kDrives = 4;
    Build(kDrives);
    std::set<TThread*> workers;
    std::vector<std::unique_ptr<Parser>> owned;
    for (int i = 0; i < kDrives; ++i) {
        owned.push_back(std::make_unique<Parser>(Job(i), done_.Handler()));
        workers.insert(owned.back().get());
    }
    ASSERT_TRUE(RunCompletions(done_, kDrives));
    EXPECT_FALSE(done_.overlapped);
    EXPECT_EQ(std::set<TThread*>(done_.senders.begin(), done_.senders.end()), workers);
    for (const std::thread::id& id : done_.threads) {
        EXPECT_EQ(id, std::this_thread::get_id());
    }
    for (int i = 0; i < kDrives; ++i) {
        EXPECT_EQ(targets_[static_cast<std::size_t>(i)]->FlashResult(), kFlashSucceeded) << i;
        EXPECT_EQ(drive(i).ProgramCount(), 1u) << i;
        EXPECT_EQ(drive(i).FlashContents(), image_) << i;
    }
    EXPECT_EQ(done_.senders.size(), static_cast<std::size_t>(kDrives));
}

}  // namespace
}  // namespace quiver
