#include "app/update_record.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "app/frm_quiver_detail.h"

namespace quiver {

namespace {

using Field = ui::RunEvent::Field;
using detail::Bounded;
using nlohmann::json;

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

Field Number(const std::string& name, long long value) {
    return Field{name, std::to_string(value), true};
}

std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

const char* StageName(DownloadStage stage) {
    switch (stage) {
        case DownloadStage::Profile:
            return "profile";
        case DownloadStage::Transfer:
            return "transfer";
        case DownloadStage::Program:
            return "program";
    }
    return "?";
}

}  // namespace

std::string DriveAddressText(const DriveRecord& r) {
    char text[32];
    std::snprintf(text, sizeof text, "%d-%d-%d-%d", r.adapter, r.path_id, r.target_id, r.lun);
    return text;
}

std::string DriveName(const DriveRecord& r) {
    if (r.device_name[0] != '\0') {
        return Bounded(r.device_name, sizeof r.device_name);
    }
    return Bounded(r.root_path, 2);
}

bool DriveNamed(const DriveRecord& r, const std::string& wanted) {
    if (wanted == DriveAddressText(r)) {
        return true;
    }
    if (r.device_name[0] != '\0') {
        // A drive the system names itself: its name, or its node under /dev.
        const std::string name = Bounded(r.device_name, sizeof r.device_name);
        return wanted == name || wanted == "/dev/" + name;
    }
    const std::string name = Lower(DriveName(r));
    if (name.empty()) {
        return false;
    }
    std::string w = Lower(wanted);
    if (!w.empty() && w.back() == '\\') {
        w.pop_back();
    }
    if (w.size() == 1) {
        w += ':';
    }
    return w == name;
}

// --- One target ---------------------------------------------------------------------------------

TargetRecord::TargetRecord(ui::Application& application, HistoryStore* history,
                           std::string updateId, std::string packageVersion,
                           const DriveRecord& record, std::string oldRevision,
                           std::string newRevision)
    : application_(application),
      history_(history),
      updateId_(std::move(updateId)),
      packageVersion_(std::move(packageVersion)),
      address_(DriveAddressText(record)),
      name_(DriveName(record)),
      vendor_(Trimmed(Bounded(record.vendor, sizeof record.vendor))),
      product_(Trimmed(Bounded(record.product, sizeof record.product))),
      serial_(record.serial_length <= kSerialNumberBytes
                  ? Trimmed(std::string(record.serial_number, record.serial_length))
                  : std::string()),
      oldRevision_(std::move(oldRevision)),
      newRevision_(std::move(newRevision)),
      startedAt_(history != nullptr ? history->UtcNow() : std::string()) {}

void TargetRecord::Event(const std::string& kind, std::vector<Field> fields) {
    fields.insert(fields.begin(), {Field{"drive", name_}, Field{"address", address_}});
    application_.Report(ui::RunEvent{kind, std::move(fields)});
}

void TargetRecord::StageReached(DownloadStage stage, int attempt) {
    if (stage == DownloadStage::Transfer) {
        failedBlocks_.emplace_back();
        lastTenth_ = -1;
    }
    Event("stage", {Field{"stage", StageName(stage)}, Number("attempt", attempt)});
    if (stage == DownloadStage::Program) {
        // Before the drive is told to program its flash: should the machine not come back,
        // the history still says that this drive was being programmed.
        Append(HistoryLine("programming", -1, false, {}));
    }
}

void TargetRecord::BlockVerified(int attempt, std::uint32_t block, std::uint32_t blocks) {
    const int tenth = blocks == 0 ? 10 : static_cast<int>((block + 1) * 10ULL / blocks);
    if (tenth > lastTenth_ && tenth > 0) {
        lastTenth_ = tenth;
        Event("progress", {Field{"stage", "transfer"}, Number("attempt", attempt),
                           Number("percent", tenth * 10)});
    }
}

void TargetRecord::BlockFailed(int attempt, std::uint32_t block) {
    if (failedBlocks_.empty()) {
        failedBlocks_.emplace_back();
    }
    failedBlocks_.back().push_back(block);
    Event("verify-failed", {Number("attempt", attempt), Number("block", block)});
}

void TargetRecord::Ended(std::uint8_t resultCode, bool updated, const std::string& revisionAfter) {
    Event("result", {Field{"result", updated ? "updated" : "failed"}, Number("code", resultCode),
                     Field{"revisionBefore", oldRevision_}, Field{"revisionAfter", revisionAfter},
                     Number("attempts", static_cast<long long>(failedBlocks_.size()))});
    Append(HistoryLine("ended", resultCode, updated, revisionAfter));
}

std::string TargetRecord::HistoryLine(const std::string& state, int resultCode, bool updated,
                                      const std::string& revisionAfter) const {
    json line = json::object();
    line["time"] = history_ != nullptr ? history_->UtcNow() : std::string();
    line["update"] = updateId_;
    line["state"] = state;
    line["program"] = "quiver";
    line["programVersion"] = QUIVER_VERSION;
    line["packageVersion"] = packageVersion_;
    line["address"] = address_;
    line["drive"] = name_;
    line["vendor"] = vendor_;
    line["product"] = product_;
    line["serial"] = serial_;
    line["revisionBefore"] = oldRevision_;
    line["revisionNew"] = newRevision_;
    if (state == "ended") {
        line["revisionAfter"] = revisionAfter;
        line["result"] = resultCode;
        line["updated"] = updated;
    }
    line["attempts"] = failedBlocks_.size();
    line["failedBlocks"] = failedBlocks_;
    return Dump(line);
}

void TargetRecord::Append(const std::string& line) {
    if (history_ != nullptr && !history_->Append(line)) {
        Event("history-not-written", {Field{"file", history_->Location()}});
    }
}

// --- The update ---------------------------------------------------------------------------------

UpdateRecorder::UpdateRecorder(ui::Application& application, std::shared_ptr<HistoryStore> history,
                               std::string packageVersion, std::vector<std::string> drives)
    : application_(application),
      history_(std::move(history)),
      packageVersion_(std::move(packageVersion)),
      drives_(std::move(drives)) {}

void UpdateRecorder::DrivesFound(const DriveRecord* records, int count) {
    for (int i = 0; i < count; ++i) {
        const DriveRecord& r = records[i];
        if (r.in_use == 0) {
            continue;
        }
        std::vector<Field> fields{
            {"drive", DriveName(r)},
            {"address", DriveAddressText(r)},
            {"vendor", Trimmed(Bounded(r.vendor, sizeof r.vendor))},
            {"product", Trimmed(Bounded(r.product, sizeof r.product))},
            {"revision", Bounded(r.revision, sizeof r.revision)},
            {"admitted", r.allowed == 1 ? "yes" : "no"},
        };
        if (r.allowed != 1) {
            fields.push_back({"why", "the package admits no drive of this model and revision"});
        } else if (!Wanted(r)) {
            fields.push_back({"why", "not named with --drive"});
        }
        application_.Report(ui::RunEvent{"drive", std::move(fields)});
    }
}

bool UpdateRecorder::Wanted(const DriveRecord& record) const {
    if (drives_.empty()) {
        return true;
    }
    for (const std::string& wanted : drives_) {
        if (DriveNamed(record, wanted)) {
            return true;
        }
    }
    return false;
}

void UpdateRecorder::UpToDate(const DriveRecord& record) {
    ++upToDate_;
    application_.Report(
        ui::RunEvent{"skipped",
                     {{"drive", DriveName(record)},
                      {"address", DriveAddressText(record)},
                      {"revision", Bounded(record.revision, sizeof record.revision)},
                      {"why", "already up to date"}}});
}

TargetRecord& UpdateRecorder::Begin(int slot, const DriveRecord& record,
                                    const std::string& oldRevision,
                                    const std::string& newRevision) {
    // One update's records carry the time it started and the drive's address: the record made
    // before the programming and the one made after it share it.
    const std::string id =
        (history_ ? history_->UtcNow() : std::string()) + "/" + DriveAddressText(record);
    auto& target = targets_[static_cast<std::size_t>(slot)];
    target = std::make_unique<TargetRecord>(application_, history_.get(), id, packageVersion_,
                                            record, oldRevision, newRevision);
    return *target;
}

void UpdateRecorder::Restart(bool made) {
    application_.Report(
        ui::RunEvent{"restart", {{"requested", "yes"}, {"made", made ? "yes" : "no"}}});
}

void UpdateRecorder::NothingToDo() {
    exitCode_ = upToDate_ > 0 ? kExitUpToDate : kExitNoDrive;
    application_.Report(ui::RunEvent{
        "nothing-to-do",
        {{"why", upToDate_ > 0 ? "every drive is up to date" : "no admitted drive is named"}}});
}

// --- Reading the history ------------------------------------------------------------------------

namespace {

std::string TextOf(const nlohmann::json& r, const char* key) {
    return r.contains(key) && r[key].is_string() ? r[key].get<std::string>() : std::string();
}

// One update as a line: its last record, which is the one after the result when there is one.
void PrintUpdate(const nlohmann::json& r, bool ended, std::ostream& out) {
    std::string outcome = "interrupted while programming";
    if (ended) {
        outcome = r.value("updated", false) ? "updated" : "failed";
        outcome += " (code " + std::to_string(r.value("result", -1)) + ")";
    }
    std::ostringstream line;
    line << TextOf(r, "time") << "  " << TextOf(r, "address") << " " << TextOf(r, "drive") << "  "
         << TextOf(r, "vendor") << " " << TextOf(r, "product") << "  "
         << TextOf(r, "revisionBefore") << " -> "
         << (ended ? TextOf(r, "revisionAfter") : TextOf(r, "revisionNew")) << "  " << outcome
         << ", attempts " << r.value("attempts", 0);
    if (r.contains("failedBlocks") && r["failedBlocks"].is_array()) {
        bool any = false;
        for (const auto& pass : r["failedBlocks"]) {
            any = any || (pass.is_array() && !pass.empty());
        }
        if (any) {
            line << ", blocks failed " << Dump(r["failedBlocks"]);
        }
    }
    out << line.str() << "\n";
}

}  // namespace

int PrintHistory(const HistoryStore& history, bool json, std::ostream& out, std::ostream& err) {
    const std::optional<std::string> text = history.ReadAll();
    if (!text) {
        err << "quiver: no history at " << history.Location() << "\n";
        return 1;
    }
    struct Update {
        nlohmann::json last;
        bool ended = false;
    };
    std::vector<std::string> order;
    std::map<std::string, Update> updates;
    std::istringstream lines(*text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object() || !record.contains("update") ||
            !record["update"].is_string()) {
            err << "quiver: " << history.Location() << ":" << number
                << ": not a history record, passed over\n";
            continue;
        }
        if (json) {
            out << line << "\n";
            continue;
        }
        const std::string id = record["update"].get<std::string>();
        if (updates.find(id) == updates.end()) {
            order.push_back(id);
        }
        Update& u = updates[id];
        if (!u.ended) {
            u.ended = TextOf(record, "state") == "ended";
            u.last = std::move(record);
        }
    }
    for (const std::string& id : order) {
        try {
            PrintUpdate(updates[id].last, updates[id].ended, out);
        } catch (const nlohmann::json::exception&) {
            err << "quiver: " << history.Location() << ": the record of update " << id
                << " is not whole, passed over\n";
        }
    }
    return 0;
}

}  // namespace quiver
