// The Linux guards' inhibitor and the Linux restart against a login manager of the test's own: a
// private session bus (dbus-daemon --session) on which the test answers Inhibit as the login
// manager does, with the write end of a pipe, so that the test sees when the updater lets go of
// the lock, and answers CanReboot and records Reboot and PowerOff, so that nothing restarts.
// Exits with 77 (skipped) where no bus can be started.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/linux_flash_guards.h"
#include "platform/linux/linux_system.h"

namespace quiver {
namespace {

std::string g_busAddress;

// The login manager's Inhibit method, on a connection of its own served by a thread.
class FakeLoginManager {
  public:
    struct Call {
        std::string what, who, why, mode;
        int readEnd = -1;  // the other end of the descriptor handed out
    };

    FakeLoginManager() {
        static const sd_bus_vtable kVtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Inhibit", "ssss", "h", Inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("CanReboot", "", "s", CanReboot, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Reboot", "b", "", Power, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("PowerOff", "b", "", Power, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, g_busAddress.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0 ||
            sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", kVtable, this) < 0 ||
            sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0) {
            return;
        }
        thread_ = std::thread([this] {
            while (!stop_) {
                if (sd_bus_process(bus_, nullptr) <= 0) {
                    sd_bus_wait(bus_, 50'000);
                }
            }
        });
    }
    ~FakeLoginManager() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        sd_bus_flush_close_unref(bus_);
        for (const Call& call : calls_) {
            close(call.readEnd);
        }
    }
    bool Ready() const { return thread_.joinable(); }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    void AnswerCanReboot(std::string answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        canReboot_ = std::move(answer);
    }
    // "Reboot false", "PowerOff false" ...
    std::vector<std::string> PowerCalls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return powerCalls_;
    }

  private:
    static int CanReboot(sd_bus_message* message, void* self, sd_bus_error*) {
        auto* manager = static_cast<FakeLoginManager*>(self);
        std::lock_guard<std::mutex> lock(manager->mutex_);
        return sd_bus_reply_method_return(message, "s", manager->canReboot_.c_str());
    }
    static int Power(sd_bus_message* message, void* self, sd_bus_error*) {
        int interactive = 1;
        const int r = sd_bus_message_read(message, "b", &interactive);
        if (r < 0) {
            return r;
        }
        auto* manager = static_cast<FakeLoginManager*>(self);
        {
            std::lock_guard<std::mutex> lock(manager->mutex_);
            manager->powerCalls_.push_back(std::string(sd_bus_message_get_member(message)) +
                                           (interactive != 0 ? " true" : " false"));
        }
        return sd_bus_reply_method_return(message, "");
    }

    static int Inhibit(sd_bus_message* message, void* self, sd_bus_error*) {
        const char* texts[4] = {};
        int ends[2] = {-1, -1};
        int r = sd_bus_message_read(message, "ssss", &texts[0], &texts[1], &texts[2], &texts[3]);
        if (r < 0 || pipe2(ends, O_CLOEXEC) != 0) {
            return r < 0 ? r : -errno;
        }
        auto* manager = static_cast<FakeLoginManager*>(self);
        {
            std::lock_guard<std::mutex> lock(manager->mutex_);
            manager->calls_.push_back({texts[0], texts[1], texts[2], texts[3], ends[0]});
        }
        r = sd_bus_reply_method_return(message, "h", ends[1]);
        close(ends[1]);  // the reply carries its own copy
        return r;
    }

    sd_bus* bus_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Call> calls_;
    std::string canReboot_ = "yes";
    std::vector<std::string> powerCalls_;
};

// Whether the last write end of the pipe has been closed, waiting at most `seconds`.
bool Released(int readEnd, int seconds) {
    pollfd p{readEnd, POLLIN, 0};
    return poll(&p, 1, seconds * 1000) == 1 && (p.revents & POLLHUP) != 0;
}

LinuxFlashGuards::Settings OnBus(const std::string& address) {
    LinuxFlashGuards::Settings settings;
    settings.busAddress = address;
    return settings;
}

TEST(LoginInhibitor, BlocksShutdownAndSleepUntilTheGuardGoes) {
    FakeLoginManager manager;
    ASSERT_TRUE(manager.Ready());
    LinuxFlashGuards guards(OnBus(g_busAddress));
    Guarded held = guards.HoldSystem(nullptr, "Flash Program for Korvane DVDRW KMR-730T");
    ASSERT_EQ(held.result, GuardResult::Taken);
    const std::vector<FakeLoginManager::Call> calls = manager.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "shutdown:sleep");
    EXPECT_EQ(calls[0].who, "Flash Program for Korvane DVDRW KMR-730T");
    EXPECT_EQ(calls[0].why, kFlashingReason);
    EXPECT_EQ(calls[0].mode, "block");
    EXPECT_FALSE(Released(calls[0].readEnd, 0));
    held.guard.reset();
    EXPECT_TRUE(Released(calls[0].readEnd, 5));
}

TEST(LoginInhibitor, WithoutALoginManagerTheUpdateGoesOnUnguarded) {
    LinuxFlashGuards noManager(OnBus(g_busAddress));
    EXPECT_EQ(noManager.HoldSystem(nullptr, "").result, GuardResult::Unavailable);
    LinuxFlashGuards noBus(OnBus("unix:path=/nonexistent/bus"));
    EXPECT_EQ(noBus.HoldSystem(nullptr, "").result, GuardResult::Unavailable);
}

// The restart asks the login manager, and calls reboot(2) (recorded here) only where the login
// manager is missing and the process holds CAP_SYS_BOOT.
struct RestartRig {
    explicit RestartRig(const std::string& address, bool sysBoot) {
        LinuxSystem::Hooks hooks;
        hooks.hasSysBoot = [sysBoot] { return sysBoot; };
        hooks.rebootCall = [this](bool reboot) {
            rebootCalls.push_back(reboot);
            return true;
        };
        system = std::make_unique<LinuxSystem>(hooks, LinuxSystem::Settings{address, 5000});
    }
    std::vector<bool> rebootCalls;
    std::unique_ptr<LinuxSystem> system;
};

TEST(LoginRestart, TheLoginManagerDecidesAndRestarts) {
    FakeLoginManager manager;
    ASSERT_TRUE(manager.Ready());
    RestartRig rig(g_busAddress, false);
    for (const char* answer : {"yes", "challenge"}) {
        manager.AnswerCanReboot(answer);
        EXPECT_TRUE(rig.system->MayRestart()) << answer;
    }
    for (const char* answer : {"no", "na", ""}) {
        manager.AnswerCanReboot(answer);
        EXPECT_FALSE(rig.system->MayRestart()) << answer;
    }
    EXPECT_TRUE(rig.system->Restart(PowerControl::Action::Reboot));
    EXPECT_TRUE(rig.system->Restart(PowerControl::Action::PowerOff));
    EXPECT_EQ(manager.PowerCalls(), (std::vector<std::string>{"Reboot false", "PowerOff false"}));
    EXPECT_TRUE(rig.rebootCalls.empty());
}

TEST(LoginRestart, WithoutALoginManagerOnlyCapSysBootRestarts) {
    RestartRig plain("unix:path=/nonexistent/bus", false);
    EXPECT_FALSE(plain.system->MayRestart());
    EXPECT_FALSE(plain.system->Restart(PowerControl::Action::Reboot));
    EXPECT_TRUE(plain.rebootCalls.empty());

    RestartRig privileged(g_busAddress, true);  // a bus without a login manager on it
    EXPECT_TRUE(privileged.system->MayRestart());
    EXPECT_TRUE(privileged.system->Restart(PowerControl::Action::PowerOff));
    EXPECT_EQ(privileged.rebootCalls, std::vector<bool>{false});
}

// A session bus of the test's own, started in the background: its address and process, or
// an empty address.
std::string StartBus(pid_t* daemon) {
    FILE* out =
        popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r");
    if (out == nullptr) {
        return {};
    }
    char address[512] = {};
    char pid[32] = {};
    const bool started = std::fgets(address, sizeof address, out) != nullptr &&
                         std::fgets(pid, sizeof pid, out) != nullptr &&
                         std::strncmp(address, "unix:", 5) == 0;
    pclose(out);
    if (!started) {
        return {};
    }
    *daemon = static_cast<pid_t>(std::atoi(pid));
    return std::string(address, std::strcspn(address, "\n"));
}

}  // namespace
}  // namespace quiver

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    pid_t daemon = -1;
    quiver::g_busAddress = quiver::StartBus(&daemon);
    if (quiver::g_busAddress.empty()) {
        std::printf("skipped: no D-Bus daemon could be started\n");
        return 77;
    }
    const int result = RUN_ALL_TESTS();
    kill(daemon, SIGTERM);
    return result;
}
