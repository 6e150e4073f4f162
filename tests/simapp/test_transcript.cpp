#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "simapp/machine_file.h"
#include "simapp/transcript.h"

namespace quiver::simapp {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(Transcript, QuotesEscapeWhatWouldBreakALine) {
    EXPECT_EQ(Transcript::Quote("plain text"), "\"plain text\"");
    EXPECT_EQ(Transcript::Quote("a \"b\" \\c\n\nd"), R"("a \"b\" \\c\n\nd")");
    EXPECT_EQ(Transcript::Quote(std::string("\t\r\0\x7F\xE9", 5)), R"("\x09\x0D\x00\x7F\xE9")");
    EXPECT_EQ(Transcript::Quote(""), "\"\"");

    // Every byte comes back through Unquote, and a quoted text is one line.
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    const std::string quoted = Transcript::Quote(all);
    EXPECT_EQ(quoted.find('\n'), std::string::npos);
    EXPECT_EQ(Transcript::Unquote(quoted), all);
    EXPECT_EQ(Transcript::Unquote(R"("\x4a\x4B")"), "JK");

    for (const char* bad :
         {"", "\"", "abc", "\"abc", R"("a"b")", R"("a\")", R"("\q")", R"("\x4")", R"("\xZZ")"}) {
        EXPECT_EQ(Transcript::Unquote(bad), std::nullopt) << bad;
    }

    EXPECT_EQ(Transcript::Token("lblMsg"), "lblMsg");
    EXPECT_EQ(Transcript::Token("yes/no"), "yes/no");
    EXPECT_EQ(Transcript::Token("drive 1"), "\"drive 1\"");
    EXPECT_EQ(Transcript::Token("say \"x\""), R"("say \"x\"")");
    EXPECT_EQ(Transcript::Token(""), "\"\"");
}

TEST(Transcript, EveryLineKindHasItsFormat) {
    std::ostringstream out;
    Transcript t(out);
    t.Caption("Flash Program for Korvane DVDRW KMR-730T");
    t.ListClear();
    t.ListLine(0, " 1-0-0-0 E:Korvane DVDRW KMR-730T   QM01");
    t.ListSelect(0);
    t.ListSelect(-1);
    t.Dialog("warning", "Warning", "ok", "Please remove the disc.");
    t.Dialog("warning", "Warning", "yes/no", "Line 1\n\nDo you wish to continue ?");
    t.Answer("yes");
    t.MessageBox("Error ...", 0x10, "Device object initialize failed !");
    t.Exception("Access violation");
    t.Choose(1);
    t.Click("cmdUpdate");
    t.Label("lblMsg", "Programming ...");
    t.LabelColor("lblMsg", 0, 0, 128);
    t.LabelColor("lblUpdateMsg", 128, 0, 0);
    t.LabelColor("lblTo", 0, 0, 0);
    t.LabelColor("lblTo", 1, 0xAB, 255);
    t.Visible("lblOldFW", false);
    t.Visible("lblOldFW", true);
    t.Enabled("cmdUpdate", false);
    t.Enabled("cmdClose", true);
    t.ProgressRange("pbar", 0, 330);
    t.Progress("pbar", 165);
    t.Timer("tmr", true);
    t.Timer("tmr", false);
    sim::LoggedCommand write;
    write.cdb = {0x3B, 0x05, 0x01, 0, 0, 0, 0, 0x40, 0, 0, 0, 0};
    write.cdbLength = 12;
    write.dir = sim::DataDir::Out;
    write.length = 16384;
    t.Scsi("E", write);
    sim::LoggedCommand tur;
    tur.cdbLength = 6;
    tur.completion = sim::Completion::CheckCondition;
    tur.sense = {6, 0x29, 0};
    t.Scsi("E", tur);
    sim::LoggedCommand inquiry;
    inquiry.cdb = {0x12, 0, 0, 0, 0x60, 0};
    inquiry.cdbLength = 6;
    inquiry.dir = sim::DataDir::In;
    inquiry.length = 96;
    inquiry.completion = sim::Completion::TransportFailure;
    t.Scsi("drive 2", inquiry);
    t.Restart({6, 0, true});
    t.Restart({0x12, 0x80000000u, false});
    t.Note("machine \"demo\"");
    t.Line("custom", "1 2 3");
    t.Line("bare");
    t.End();

    const std::vector<std::string> expected = {
        R"(caption "Flash Program for Korvane DVDRW KMR-730T")",
        "list clear",
        R"(list 0 " 1-0-0-0 E:Korvane DVDRW KMR-730T   QM01")",
        "list select 0",
        "list select none",
        R"(dialog warning "Warning" ok "Please remove the disc.")",
        R"(dialog warning "Warning" yes/no "Line 1\n\nDo you wish to continue ?")",
        "answer yes",
        R"(msgbox "Error ..." 0x10 "Device object initialize failed !")",
        R"(exception "Access violation")",
        "choose 1",
        "click cmdUpdate",
        R"(label lblMsg "Programming ...")",
        "color lblMsg navy",
        "color lblUpdateMsg maroon",
        "color lblTo black",
        "color lblTo #01ABFF",
        "hide lblOldFW",
        "show lblOldFW",
        "disable cmdUpdate",
        "enable cmdClose",
        "progress pbar range 0 330",
        "progress pbar 165",
        "timer tmr on",
        "timer tmr off",
        "scsi E 3B 05 01 00 00 00 00 40 00 00 00 00 out 16384 good",
        "scsi E 00 00 00 00 00 00 none 0 check 6/29/00",
        R"(scsi "drive 2" 12 00 00 00 60 00 in 96 failed)",
        "restart flags=0x6 reason=0x0 accepted",
        "restart flags=0x12 reason=0x80000000 refused",
        R"(note "machine \"demo\"")",
        "custom 1 2 3",
        "bare",
        "end",
    };
    EXPECT_EQ(Lines(out.str()), expected);
}

TEST(Transcript, TimesPrefixTheEmulatedTimeWhenSwitchedOn) {
    sim::Clock clock;
    std::ostringstream out;
    Transcript t(out, &clock);
    t.End();
    t.SetTimes(true);
    clock.SleepNanos(12'345'600'000);
    t.End();
    clock.SleepSeconds(100000);
    t.End();
    EXPECT_EQ(out.str(), "end\n[  12.346] end\n[100012.346] end\n");

    // Without a clock there is no time to show.
    std::ostringstream bare;
    Transcript noClock(bare);
    noClock.SetTimes(true);
    noClock.End();
    EXPECT_EQ(bare.str(), "end\n");
}

TEST(Transcript, WatchedDrivesReportEveryCommandUntilTheTranscriptGoes) {
    sim::Machine machine;
    const MachineSpec desc = LoadMachine(nlohmann::json::parse(DemoMachineJson()), machine);
    std::ostringstream out;
    const std::uint8_t tur[6] = {};
    const std::uint8_t flashId[12] = {0xDF, 0x11};
    std::uint8_t data[128] = {};
    {
        Transcript t(out, &machine.clock);
        t.Watch(machine, desc);
        machine.drive(0).Execute(tur, 6, sim::DataDir::None, nullptr, 0);
        machine.drive(1).Execute(flashId, 12, sim::DataDir::In, data, sizeof data);
        machine.drive(0).Execute(flashId, 12, sim::DataDir::In, data, sizeof data);
    }
    // Gone with the transcript: these must not reach it.
    machine.drive(0).Execute(tur, 6, sim::DataDir::None, nullptr, 0);
    machine.drive(1).Execute(tur, 6, sim::DataDir::None, nullptr, 0);

    const std::vector<std::string> expected = {
        "scsi E 00 00 00 00 00 00 none 0 check 6/29/00",
        "scsi F DF 11 00 00 00 00 00 00 00 00 00 00 in 128 check 6/29/00",
        "scsi E DF 11 00 00 00 00 00 00 00 00 00 00 in 128 good",
    };
    EXPECT_EQ(Lines(out.str()), expected);
    EXPECT_EQ(machine.drive(0).Log().size(), 3u);  // the drive's own log is unchanged
}

// Lines written at once from the window thread and from drive commands on worker threads stay
// whole.
TEST(Transcript, LinesFromManyThreadsNeverMix) {
    sim::Machine machine;
    const MachineSpec desc = LoadMachine(
        nlohmann::json::parse(R"({"drives": [{"name": "D"}, {"name": "E"}, {"name": "F"}]})"),
        machine);
    std::ostringstream out;
    Transcript t(out, &machine.clock);
    t.SetTimes(true);
    t.Watch(machine, desc);

    constexpr int kPerThread = 200;
    std::vector<std::thread> threads;
    for (std::size_t d = 0; d < machine.DriveCount(); ++d) {
        threads.emplace_back([&machine, d] {
            const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
            std::uint8_t data[36];
            for (int i = 0; i < kPerThread; ++i) {
                machine.drive(d).Execute(inquiry, 6, sim::DataDir::In, data, sizeof data);
            }
        });
    }
    threads.emplace_back([&t] {
        for (int i = 0; i < kPerThread; ++i) {
            t.Label("lblMsg", "Programming " + std::string(static_cast<std::size_t>(i % 10), '.'));
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }

    const std::regex line(
        R"(\[ *\d+\.\d{3}\] (scsi [DEF] 12 00 00 00 24 00 in 36 good|label lblMsg "Programming \.{0,9}"))");
    const std::vector<std::string> lines = Lines(out.str());
    EXPECT_EQ(lines.size(), 4u * kPerThread);
    int scsi = 0;
    for (const std::string& l : lines) {
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        scsi += l.find("] scsi ") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(scsi, 3 * kPerThread);
}

}  // namespace
}  // namespace quiver::simapp
