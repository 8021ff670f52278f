#include "commands.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "nuvexctrl.h"
#include "doc_key.h"
#include "output.h"
#include "spool.h"
#include "result_codes.h"
#include "secret.h"
#include "text.h"
#include "tool_files.h"

namespace fs = std::filesystem;

namespace nuvexctl {

int& ExitStatus() {
    static int status = kExitOk;
    return status;
}

std::string Example(const std::string& lines) { return "\nExample:\n  " + lines + "\n"; }

int CallAndConfirm(const std::string& what, const char* exportName, uint32_t (*call)()) {
    uint32_t code = call();
    if (code != 0) return ReportFailure(what, exportName, code);
    Say(what + ": done");
    return PrintJson({{"ok", true}});
}

std::string VerbName(const CLI::App* command) {
    std::string name;
    for (const CLI::App* c = command; c != nullptr; c = c->get_parent())
        name = c->get_parent() == nullptr ? "nuvexctl" + name : " " + c->get_name() + name;
    return name;
}

int ReportEscaped(const CLI::App* command, const char* what) {
    try {
        return ReportError(VerbName(command) + " failed: " + (what != nullptr ? what : "unknown failure"));
    } catch (...) {
        return kExitFailed;  // not even the message could be made (out of memory)
    }
}

namespace {
std::string NumberRule(uint32_t max) {
    return "a whole number from 0 to " + std::to_string(max) + " (decimal, or hexadecimal after 0x)";
}
}  // namespace

CLI::Option* AddNumber(CLI::App* command, const std::string& name, uint32_t& target,
                       const std::string& description, uint32_t max) {
    auto* option = command->add_option_function<std::string>(
        name,
        [&target, max, name](const std::string& text) {
            uint64_t value = 0;
            if (!ParseNumber(text, max, value))
                throw CLI::ValidationError(name, "'" + Shown(text) + "' is not " + NumberRule(max));
            target = static_cast<uint32_t>(value);
        },
        description);
    return option->type_name("UINT");
}

CLI::Option* AddNumbers(CLI::App* command, const std::string& name, std::vector<uint32_t>& target,
                        const std::string& description) {
    auto* option = command->add_option_function<std::vector<std::string>>(
        name,
        [&target, name](const std::vector<std::string>& texts) {
            target.clear();
            for (const auto& text : texts) {
                uint64_t value = 0;
                if (!ParseNumber(text, UINT32_MAX, value))
                    throw CLI::ValidationError(name, "'" + Shown(text) + "' is not " + NumberRule(UINT32_MAX));
                target.push_back(static_cast<uint32_t>(value));
            }
        },
        description);
    return option->type_name("UINT");
}

namespace {

// Reads a key file into `bytes` in one allocation (so no copy of the key is left behind by
// growing); keys are at most 256 bytes, so a larger file is refused unread.

// Walks a UserStrList into strings and releases it.
std::vector<std::string> TakeStrings(UserStrNode* list) {
    std::vector<std::string> strings;
    for (UserStrNode* node = list; node != nullptr; node = node->next)
        strings.emplace_back(node->data != nullptr ? node->data : "");
    if (list != nullptr) NuvexCtrl_FreeUserStrList(list);
    return strings;
}

int PrintStrings(const std::vector<std::string>& strings, const char* column, const char* key) {
    if (CurrentSettings().json) {
        Json texts = Json::array();
        for (const auto& s : strings) texts.push_back(JsonText(s));
        return PrintJson(Json{{"ok", true}, {key, texts}});
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& s : strings) rows.push_back({s});
    PrintTable({column}, rows);
    return kExitOk;
}

// ---- the policy journal ------------------------------------------------------------------
constexpr const char* kJournalName = "policy-journal.dat";

}  // namespace

bool PolicyJournal::Begin(const std::string& operation, int& status) {
    fs::path folder;
    std::string why;
    if (!StateFolder(folder, why)) {
        status = ReportError("cannot keep the current policy table before " + operation + ": the state folder " +
                             TextFromPath(folder) + " " + why + "; nothing changed");
        return false;
    }
    const fs::path journal = folder / kJournalName;
    journal_ = journal;
    path_ = TextFromPath(journal);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(journal, ec))) {
        // It holds the table from before a change that never finished; the table now is the
        // half-changed one and must not replace it.
        leftover_ = true;
        Warn("an interrupted policy change left " + path_ +
             "; it is kept (`nuvexctl policy restore` puts that table back)");
        return true;
    }
    std::string name;
    if (!LibraryName(journal, name)) {
        status = ReportError("cannot keep the current policy table before " + operation + ": " + path_ + ": " +
                             kNotInCodePage + "; nothing changed");
        return false;
    }
    uint32_t code = NuvexCtrl_SaveCurrentPolicyToFile(name.c_str());
    if (code != 0) {
        status = ReportFailure("keeping the current policy table before " + operation + " (nothing changed)",
                               "NuvexCtrl_SaveCurrentPolicyToFile", code);
        return false;
    }
    // An empty table writes no file; an empty journal stands for it. Either way the journal is
    // on the disk, under its name, before the first change to the table: a power cut after it
    // must find it.
    const bool saved = fs::exists(fs::symlink_status(journal, ec));
    if (!(saved ? MakeDurable(journal, why) : ReplaceFileWith(journal, "", why))) {
        if (saved) RemoveDurably(journal);
        status = ReportError("cannot keep the current policy table before " + operation + ": " + path_ + " " +
                             why + "; nothing changed");
        return false;
    }
    return true;
}

void WarnOfLeftoverJournal() {
    fs::path folder;
    std::string why;
    std::error_code ec;
    if (StateFolder(folder, why, false) && fs::exists(fs::symlink_status(folder / kJournalName, ec)))
        Warn("an interrupted policy change left " + TextFromPath(folder / kJournalName) +
             "; `nuvexctl policy restore` puts the table from before it back");
}

void PolicyJournal::End(bool whole, bool complete) {
    if (path_.empty()) return;
    if (complete || (whole && !leftover_)) {
        // Gone for good only once the table it kept is no longer needed: the removal is synced
        // so that a power cut cannot bring back a journal of an older table.
        if (!RemoveDurably(journal_))
            Warn("the policy journal " + path_ + " could not be removed; remove it before the next policy change");
        return;
    }
    Warn("the policy table is not the one from before; `nuvexctl policy restore` puts that back from " + path_);
}

namespace {


uint32_t LogOnCall() { return NuvexCtrl_StartLogging(); }
uint32_t LogOffCall() { return NuvexCtrl_StopLogging(); }
uint32_t LogClearCall() { return NuvexCtrl_ClearAllLog(); }
uint32_t AclStartCall() { return NuvexAccCtrl_Start(); }
uint32_t AclStopCall() { return NuvexAccCtrl_Stop(); }
uint32_t AclClearCall() { return NuvexAccCtrl_DeleteAllPolicy(); }

// ---- log ---------------------------------------------------------------------------------
int ShowLog() {
    // Records go to the spool before they are written: a record the output does not take is
    // written by the next run that reads the log. They are spooled and printed a batch at a
    // time, so a long log is never held whole beside the library's list.
    constexpr std::size_t kBatch = 1024;
    LogSpool spool("main");
    std::string why;
    if (!spool.Open(why)) return ReportError("the log was left in the driver: " + why);
    LogEntry* list = nullptr;
    uint32_t count = 0;
    const uint32_t code = NuvexCtrl_GetLog(&list, &count);
    if (code != 0 && list == nullptr && spool.Leftovers().empty()) return ReportFailure("reading the log", "NuvexCtrl_GetLog", code);
    std::vector<std::vector<std::string>> rows;
    {
        StreamedDocument document(Json{{"ok", code == 0}}, "records");
        auto write = [&](Json record) {
            if (!CurrentSettings().json) return rows.push_back(LogRow(record));
            record.erase("source");
            document.Add(record);
        };
        for (const Json& record : spool.Leftovers()) write(record);
        std::vector<Json> batch;
        batch.reserve(kBatch);
        for (LogEntry* entry = list; entry != nullptr;) {
            for (; entry != nullptr && batch.size() < kBatch; entry = entry->next) batch.push_back(MainLogRecord(*entry));
            // Records the driver has given up are written even when the spool cannot keep them.
            if (!spool.Append(batch, why)) Warn(why);
            for (Json& record : batch) write(std::move(record));
            batch.clear();
        }
    }
    NuvexCtrl_FreeLog(list);
    if (!CurrentSettings().json) PrintTable({"TIME", "EVENT", "PROCESS", "TEXT"}, rows);
    // Taken by the output as a whole (a pipe's reader has read it all), or kept for the next run.
    if (OutputTaken()) spool.Written();
    if (code != 0)
        Warn("the log was not read whole: " + DescribeResult("NuvexCtrl_GetLog", code) + " (" + std::to_string(code) + ")");
    return kExitOk;
}

int LogState() {
    uint32_t state = 0;
    uint32_t code = NuvexCtrl_IsLogging(&state);
    if (code != 0) return ReportFailure("reading the logging state", "NuvexCtrl_IsLogging", code);
    SayResult(state != 0 ? "logging is on" : "logging is off");
    return PrintJson({{"ok", true}, {"logging", state != 0}});
}

// ---- policies ------------------------------------------------------------------------------
// The policy ID of a policy text: the decimal digits from its fourth character up to the
// first "|"; 0 when there are none.
uint32_t PolicyTextId(const std::string& text) {
    uint64_t id = 0;
    const std::size_t bar = text.find('|');
    if (text.size() < 4 || bar == std::string::npos || bar <= 3) return 0;
    return ParseNumber(std::string_view(text).substr(3, bar - 3), 0xFFFFFFFFu, id) ? static_cast<uint32_t>(id) : 0;
}

Json PolicyRecordJson(const PolicyRecord& r) {
    Json entries = Json::array();
    for (uint32_t i = 0; i < std::min<uint32_t>(r.EntryCount, NUVEX_POLICY_ENTRIES); ++i) {
        const PolicyEntry& e = r.Entries[i];
        entries.push_back({{"signCode", JsonText(FieldText(e.SignCode))},
                           {"driverFields1", Hex(e.driverFields1, sizeof e.driverFields1)},
                           {"driverFields2", Hex(e.driverFields2, sizeof e.driverFields2)}});
    }
    Json lists = Json::array();
    for (const char* list : {r.TextList1, r.TextList2, r.TextList3, r.TextList4, r.TextList5})
        lists.push_back(JsonText(FieldText(list, NUVEX_TEXTLIST_BYTES)));
    return {{"id", r.PolicyId},
            {"driverFields", Hex(r.DriverFields, sizeof r.DriverFields)},
            {"entryCount", r.EntryCount},
            {"entries", entries},
            {"textLists", lists},
            {"values1", std::vector<uint32_t>(r.Values1, r.Values1 + std::min<uint32_t>(r.ValueCount1, NUVEX_POLICY_VALUES))},
            {"values2", std::vector<uint32_t>(r.Values2, r.Values2 + std::min<uint32_t>(r.ValueCount2, NUVEX_POLICY_VALUES))}};
}

// Every policy is an object with its "id": with its "text" as the driver renders it, or with
// --records the fields of its record.
int PolicyList(bool records) {
    WarnOfLeftoverJournal();
    if (!records) {
        UserStrNode* list = nullptr;
        uint32_t code = NuvexCtrl_GetPolicyStrList(&list);
        if (code != 0) return ReportFailure("listing policies", "NuvexCtrl_GetPolicyStrList", code);
        // The library lists the most recently delivered policy first.
        const std::vector<std::string> texts = TakeStrings(list);
        if (!CurrentSettings().json) return PrintStrings(texts, "POLICY", "policies");
        Json policies = Json::array();
        for (const auto& text : texts) policies.push_back({{"id", PolicyTextId(text)}, {"text", JsonText(text)}});
        return PrintJson({{"ok", true}, {"policies", policies}});
    }
    PolicyRecord* list = nullptr;
    uint32_t code = NuvexCtrl_GetPolicyList(&list);
    if (code != 0) return ReportFailure("listing policies", "NuvexCtrl_GetPolicyList", code);
    Json policies = Json::array();
    std::vector<std::vector<std::string>> rows;
    for (PolicyRecord* r = list; r != nullptr; r = r->next) {
        policies.push_back(PolicyRecordJson(*r));
        rows.push_back({std::to_string(r->PolicyId), std::to_string(r->EntryCount), FieldText(r->TextList1)});
    }
    if (list != nullptr) NuvexCtrl_FreePolicyList(list);
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"policies", policies}});
    PrintTable({"ID", "ENTRIES", "TEXTLIST1"}, rows);
    return kExitOk;
}

int PolicyShow(uint32_t id) {
    char* text = nullptr;
    uint32_t code = NuvexCtrl_GetOnePolicyStr(id, &text);
    if (code != 0) return ReportFailure("reading policy " + std::to_string(id), "NuvexCtrl_GetOnePolicyStr", code);
    if (text == nullptr) return ReportError("reading policy " + std::to_string(id) + " failed: out of memory");
    // The block is 2048 bytes; the text is read within it even without a terminating zero.
    std::string value = FieldText(text, 2048);
    NuvexCtrl_FreeBuffer(text);
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"id", id}, {"text", JsonText(value)}});
    std::cout << Shown(value) << "\n";  // printable texts unchanged, so they can be added back
    return kExitOk;
}

int PolicyAddText(const std::string& text) {
    uint32_t code = NuvexCtrl_InsertPolicyStr(text.c_str());
    if (code != 0) return ReportFailure("adding the policy text", "NuvexCtrl_InsertPolicyStr", code);
    const uint32_t id = PolicyTextId(text);
    Say("policy " + std::to_string(id) + " added");
    return PrintJson({{"ok", true}, {"id", id}});
}

int PolicyAddRecord(uint32_t id, const std::vector<std::string>& lists, const std::vector<uint32_t>& values) {
    if (id == 0) {
        uint32_t code = NuvexCtrl_GetNewValidPolicyID(&id);
        if (code != 0) return ReportFailure("getting a new policy ID", "NuvexCtrl_GetNewValidPolicyID", code);
    }
    auto record = std::make_unique<PolicyRecord>();
    std::memset(record.get(), 0, sizeof(PolicyRecord));
    record->PolicyId = id;
    char* targets[5] = {record->TextList1, record->TextList2, record->TextList3, record->TextList4, record->TextList5};
    for (std::size_t i = 0; i < lists.size() && i < 5; ++i) {
        if (lists[i].size() >= NUVEX_TEXTLIST_BYTES || lists[i].find('\0') != std::string::npos)
            return ReportError("--list " + std::to_string(i + 1) + " is longer than " +
                                   std::to_string(NUVEX_TEXTLIST_BYTES - 1) + " characters", kExitUsage);
        std::memcpy(targets[i], lists[i].data(), lists[i].size());
    }
    for (std::size_t i = 0; i < values.size() && i < NUVEX_POLICY_VALUES; ++i) record->Values1[i] = values[i];
    record->ValueCount1 = static_cast<uint32_t>(std::min<std::size_t>(values.size(), NUVEX_POLICY_VALUES));
    uint32_t code = NuvexCtrl_InsertNewPolicy(record.get());
    if (code != 0) return ReportFailure("adding policy " + std::to_string(id), "NuvexCtrl_InsertNewPolicy", code);
    Say("policy " + std::to_string(id) + " added");
    return PrintJson({{"ok", true}, {"id", id}});
}

int PolicyDelete(uint32_t id) {
    uint32_t reply = 0;
    uint32_t code = NuvexCtrl_DeleteOnePolicy(id, &reply);
    if (code != 0) return ReportFailure("deleting policy " + std::to_string(id), "NuvexCtrl_DeleteOnePolicy", code);
    Say("policy " + std::to_string(id) + " deleted");
    return PrintJson({{"ok", true}, {"id", id}, {"reply", reply}});
}

int PolicyClear() {
    // Finished once begun: an interruption takes effect after the table is empty.
    DeferredInterrupts hold;
    WarnOfLeftoverJournal();
    uint32_t reply = 0;
    uint32_t code = NuvexCtrl_DeleteAllPolicy(&reply);
    if (code != 0) return ReportFailure("deleting all policies", "NuvexCtrl_DeleteAllPolicy", code);
    Say("all policies deleted");
    return PrintJson({{"ok", true}, {"reply", reply}});
}

int PolicyNewId() {
    uint32_t id = 0;
    uint32_t code = NuvexCtrl_GetNewValidPolicyID(&id);
    if (code != 0) return ReportFailure("getting a new policy ID", "NuvexCtrl_GetNewValidPolicyID", code);
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"id", id}});
    std::cout << id << "\n";
    return kExitOk;
}

int PolicySave(const std::string& path) {
    WarnOfLeftoverJournal();
    // The library writes the file; a name that belongs to another user (a file of theirs, or a
    // link they planted) is refused before it is reached.
    std::string refused;
    if (!TargetAllowed(PathFromText(path), refused, true))
        return ReportError("cannot save the policy table to " + path + ": the file " + refused);
    // The library writes no file for an empty table (and leaves any file at the path as it
    // was), so an empty table is told apart before saving.
    UserStrNode* list = nullptr;
    uint32_t code = NuvexCtrl_GetPolicyStrList(&list);
    if (code != 0) return ReportFailure("listing policies", "NuvexCtrl_GetPolicyStrList", code);
    std::size_t count = TakeStrings(list).size();
    if (count == 0) {
        Say("the policy table is empty; no file written");
        return PrintJson({{"ok", true}, {"file", JsonText(path)}, {"written", false}, {"policies", 0}});
    }
    code = NuvexCtrl_SaveCurrentPolicyToFile(path.c_str());
    if (code != 0) return ReportFailure("saving the policy table to " + path, "NuvexCtrl_SaveCurrentPolicyToFile", code);
    Say("policy table (" + std::to_string(count) + " policies) saved to " + path);
    return PrintJson({{"ok", true}, {"file", JsonText(path)}, {"written", true}, {"policies", count}});
}

int PolicyLoad(const std::string& path) {
    // Ctrl-C, a termination request or a hang-up waits until the table is whole again.
    DeferredInterrupts hold;
    // What the library is given to read is looked at first, as any input the caller names: a
    // file that is not there, is no regular file or is reached through another user's link is
    // found out before the table is journaled or touched (a failure, exit status 1).
    std::string why;
    InputFile input;
    if (!input.Open(PathFromText(path), InputKind::Plain, why))
        return ReportError("cannot load the policy table from " + path + ": the file " + why + "; nothing changed");
    PolicyJournal journal;
    int status = kExitOk;
    if (!journal.Begin("the load", status)) return status;
    uint32_t code = NuvexCtrl_LoadPolicyFromFile(path.c_str());
    // Any failure but NOT_RESTORED leaves the table as it was before the call.
    journal.End(code != NUVEX_E_POLICY_LOAD_NOT_RESTORED, code == 0);
    if (code != 0) return ReportFailure("loading the policy table from " + path, "NuvexCtrl_LoadPolicyFromFile", code);
    Say("policy table loaded from " + path);
    return PrintJson({{"ok", true}, {"file", JsonText(path)}});
}

int PolicyRestore() {
    DeferredInterrupts hold;
    fs::path folder;
    std::string why;
    if (!StateFolder(folder, why))
        return ReportError("the state folder " + TextFromPath(folder) + " " + why);
    const fs::path kept = folder / kJournalName;
    const std::string journal = TextFromPath(kept);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(kept, ec))) {
        Say("no interrupted policy change; nothing to restore");
        return PrintJson({{"ok", true}, {"restored", false}});
    }
    std::string name;
    if (!LibraryName(kept, name))
        return ReportError("cannot restore the policy table from " + journal + ": " + kNotInCodePage);
    uint32_t code = NuvexCtrl_LoadPolicyFromFile(name.c_str());
    if (code != 0)
        return ReportFailure("restoring the policy table from " + journal + " (kept)", "NuvexCtrl_LoadPolicyFromFile", code);
    if (!RemoveDurably(kept)) Warn("the policy journal " + journal + " could not be removed; remove it by hand");
    Say("the policy table from before the interrupted change is back");
    return PrintJson({{"ok", true}, {"restored", true}, {"journal", JsonText(journal)}});
}

// ---- access control ------------------------------------------------------------------------
// The texts of an access-control record, each read within its field.
struct AclTexts {
    std::string primary;
    std::string lists[4];
};

AclTexts ReadAclTexts(const AccPolicyRecord& r) {
    return {FieldText(r.PrimaryText),
            {FieldText(r.TextList1), FieldText(r.TextList2), FieldText(r.TextList3), FieldText(r.TextList4)}};
}

// The shape the state file gives an access-control policy.
Json AclPolicyJson(const AccPolicyRecord& r, const AclTexts& t) {
    Json lists = Json::array();
    for (const auto& list : t.lists) lists.push_back(JsonText(list));
    return {{"id", r.PolicyId}, {"primaryText", JsonText(t.primary)}, {"textLists", lists},
            {"driverFields", Hex(r.DriverFields, sizeof r.DriverFields)}};
}

int AclPolicyList() {
    AccPolicyRecord* list = nullptr;
    uint32_t code = NuvexAccCtrl_GetPolicyList(&list);
    if (code != 0) return ReportFailure("listing access-control policies", "NuvexAccCtrl_GetPolicyList", code);
    Json policies = Json::array();
    std::vector<std::vector<std::string>> rows;
    for (AccPolicyRecord* r = list; r != nullptr; r = r->next) {
        AclTexts t = ReadAclTexts(*r);
        policies.push_back(AclPolicyJson(*r, t));
        rows.push_back({std::to_string(r->PolicyId), t.primary, t.lists[0]});
    }
    if (list != nullptr) NuvexAccCtrl_FreePolicyList(list);
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"policies", policies}});
    PrintTable({"ID", "PRIMARY", "TEXTLIST1"}, rows);
    return kExitOk;
}

int AclPolicyShow(uint32_t id) {
    auto record = std::make_unique<AccPolicyRecord>();
    std::memset(record.get(), 0, sizeof(AccPolicyRecord));
    uint32_t code = NuvexAccCtrl_GetOnePolicy(id, record.get());
    if (code != 0) return ReportFailure("reading access-control policy " + std::to_string(id), "NuvexAccCtrl_GetOnePolicy", code);
    AclTexts t = ReadAclTexts(*record);
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"policy", AclPolicyJson(*record, t)}});
    PrintTable({"FIELD", "VALUE"}, {{"id", std::to_string(record->PolicyId)}, {"primary", t.primary},
                                    {"list1", t.lists[0]}, {"list2", t.lists[1]},
                                    {"list3", t.lists[2]}, {"list4", t.lists[3]}});
    return kExitOk;
}

int AclPolicyAdd(uint32_t id, const std::string& primary, const std::vector<std::string>& lists) {
    auto record = std::make_unique<AccPolicyRecord>();
    std::memset(record.get(), 0, sizeof(AccPolicyRecord));
    record->PolicyId = id;
    if (primary.empty() || primary.size() >= sizeof record->PrimaryText)
        return ReportError("--primary takes 1 to " + std::to_string(sizeof record->PrimaryText - 1) + " characters", kExitUsage);
    std::memcpy(record->PrimaryText, primary.data(), primary.size());
    char* targets[4] = {record->TextList1, record->TextList2, record->TextList3, record->TextList4};
    for (std::size_t i = 0; i < lists.size() && i < 4; ++i) {
        if (lists[i].size() >= NUVEX_TEXTLIST_BYTES)
            return ReportError("--list " + std::to_string(i + 1) + " is longer than " +
                                   std::to_string(NUVEX_TEXTLIST_BYTES - 1) + " characters", kExitUsage);
        std::memcpy(targets[i], lists[i].data(), lists[i].size());
    }
    uint32_t code = NuvexAccCtrl_AddNewPolicy(record.get());
    if (code != 0) return ReportFailure("adding access-control policy " + std::to_string(id), "NuvexAccCtrl_AddNewPolicy", code);
    Say("access-control policy " + std::to_string(id) + " added");
    return PrintJson({{"ok", true}, {"id", id}});
}

int AclPolicyDelete(uint32_t id) {
    uint32_t code = NuvexAccCtrl_DeleteOnePolicy(id);
    if (code != 0) return ReportFailure("deleting access-control policy " + std::to_string(id), "NuvexAccCtrl_DeleteOnePolicy", code);
    Say("access-control policy " + std::to_string(id) + " deleted");
    return PrintJson({{"ok", true}, {"id", id}});
}

int AclLog() {
    LogSpool spool("acl");
    std::string why;
    if (!spool.Open(why)) return ReportError("the access-control log was left in the driver: " + why);
    std::vector<Json> records = spool.Leftovers();
    AccLogRecord* list = nullptr;
    uint32_t code = NuvexAccCtrl_GetLog(&list);
    std::vector<Json> drained;
    for (AccLogRecord* r = list; r != nullptr; r = r->next) drained.push_back(AclLogRecord(*r));
    NuvexAccCtrl_FreeLog(list);
    if (!spool.Append(drained, why)) Warn(why);
    records.insert(records.end(), drained.begin(), drained.end());
    // A walk stopped at its bound still hands over the records it fetched.
    if (code != 0 && records.empty())
        return ReportFailure("reading the access-control log", "NuvexAccCtrl_GetLog", code);
    if (CurrentSettings().json) {
        Json all = Json::array();
        for (Json& record : records) {
            record.erase("source");
            all.push_back(std::move(record));
        }
        PrintJson({{"ok", code == 0}, {"records", all}});
    } else {
        std::vector<std::vector<std::string>> rows;
        for (const Json& record : records) rows.push_back(LogRow(record));
        if (records.empty()) std::cout << "the access-control log is empty\n";
        else PrintTable({"TIME", "EVENT", "PROCESS", "TEXT"}, rows);
    }
    if (OutputTaken()) spool.Written();
    if (code != 0)
        Warn("the log was not read whole: " + DescribeResult("NuvexAccCtrl_GetLog", code) + " (" + std::to_string(code) + ")");
    return kExitOk;
}

// ---- pass paths --------------------------------------------------------------------------
int PassPathList() {
    UserStrNode* list = nullptr;
    uint32_t count = 0;
    uint32_t code = NuvexCtrl_GetPassPath(&list, &count);
    if (code != 0) return ReportFailure("listing pass paths", "NuvexCtrl_GetPassPath", code);
    return PrintStrings(TakeStrings(list), "PASS PATH", "passPaths");
}

// The pass paths the main driver holds now; false when they cannot be read.
bool CurrentPassPaths(std::set<std::string>& paths) {
    UserStrNode* list = nullptr;
    uint32_t count = 0;
    if (NuvexCtrl_GetPassPath(&list, &count) != 0) return false;
    for (std::string& path : TakeStrings(list)) paths.insert(std::move(path));
    return true;
}

int PassPathAdd(const std::vector<std::string>& paths, bool persist) {
    // The driver takes "|" as the separator of paths and skips empty items and paths it holds
    // already: what the summary counts is read back from the driver, not taken from the
    // command line.
    std::vector<std::string> items, empty;
    for (const std::string& argument : paths) {
        std::size_t start = 0;
        bool any = false;
        for (std::size_t bar = argument.find('|'); ; bar = argument.find('|', start)) {
            std::string item = argument.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
            if (!item.empty()) {
                items.push_back(item);
                any = true;
            }
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        if (!any) empty.push_back(argument);
    }
    std::set<std::string> before;
    const bool known = CurrentPassPaths(before);
    uint32_t code;
    const char* exportName;
    if (paths.size() == 1) {
        code = NuvexCtrl_AddStringPassPath(paths[0].c_str(), persist ? 1 : 0);
        exportName = "NuvexCtrl_AddStringPassPath";
    } else {
        std::vector<PassPathNode> nodes(paths.size());
        for (std::size_t i = 0; i < paths.size(); ++i) {
            nodes[i].data = const_cast<char*>(paths[i].c_str());
            nodes[i].next = i + 1 < paths.size() ? &nodes[i + 1] : nullptr;
        }
        code = NuvexCtrl_AddStructPassPath(nodes.data(), persist ? 1 : 0);
        exportName = "NuvexCtrl_AddStructPassPath";
    }
    if (code != 0) return ReportFailure("adding pass paths", exportName, code);
    std::set<std::string> after;
    if (!known || !CurrentPassPaths(after))
        return ReportError("the pass paths were sent, but the driver's list could not be read back to count them");
    Json added = Json::array(), present = Json::array(), ignored = Json::array();
    std::set<std::string> counted;
    for (const std::string& item : items) {
        if (!counted.insert(item).second) continue;
        if (before.count(item) != 0) present.push_back(JsonText(item));
        else if (after.count(item) != 0) added.push_back(JsonText(item));
    }
    for (const std::string& argument : empty) ignored.push_back(JsonText(argument));
    std::string summary = "added " + std::to_string(added.size()) + " pass path(s)";
    if (!present.empty()) summary += ", " + std::to_string(present.size()) + " already present";
    if (!ignored.empty()) summary += ", " + std::to_string(ignored.size()) + " empty argument(s) ignored";
    if (persist) summary += ", recorded in the pass-path file";
    Say(summary);
    return PrintJson({{"ok", true}, {"added", added}, {"alreadyPresent", present}, {"ignored", ignored},
                      {"persisted", persist}});
}

int PassPathClear(bool persist) {
    uint32_t code = NuvexCtrl_DeleteAllPassPath(persist ? 1 : 0);
    if (code != 0) return ReportFailure("clearing pass paths", "NuvexCtrl_DeleteAllPassPath", code);
    Say(std::string("pass paths cleared") + (persist ? " (and the pass-path file emptied)" : ""));
    return PrintJson({{"ok", true}, {"persisted", persist}});
}

// ---- keys ----------------------------------------------------------------------------------
// Hands the main driver a document key (or the system key). The library keeps a document key
// only in the process that set it, and every nuvexctl run is a process of its own: this tells
// the driver the key and says that later runs do not encipher with it.
int SetKey(const std::string& file, uint32_t param, bool system) {
    std::vector<uint8_t> key;
    WipeOnExit<std::vector<uint8_t>> wipeKey(key);
    KeyChoice choice;
    choice.file = file;
    std::string why;
    if (const int status = ReadDocumentKey(choice, key, why); status != kExitOk) return ReportError(why, status);
    uint32_t code = system ? NuvexCtrl_SetSysKey(key.data(), static_cast<uint32_t>(key.size()))
                           : NuvexCtrl_SetKey(param, key.data(), static_cast<uint32_t>(key.size()));
    if (code != 0)
        return ReportFailure(system ? "setting the system key" : "setting the document key",
                             system ? "NuvexCtrl_SetSysKey" : "NuvexCtrl_SetKey", code);
    Say(std::string("handed the main driver a new ") + (system ? "system" : "document") + " key (" +
        std::to_string(key.size()) + " bytes)" +
        (system ? "" : "; the library keeps it only in this run's process, so later runs do not encipher with it"));
    return PrintJson({{"ok", true}, {"bytes", key.size()}});
}

int SignCode(const std::string& file) {
    char code32[33] = {};
    uint32_t code = NuvexCtrl_GetProcSignCode(file.c_str(), code32);
    if (code != 0) return ReportFailure("computing the signature code of " + file, "NuvexCtrl_GetProcSignCode", code);
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"file", JsonText(file)}, {"signCode", FieldText(code32, 32)}});
    std::cout << FieldText(code32, 32) << "  " << Shown(file) << "\n";
    return kExitOk;
}

// ---- monitoring lists ------------------------------------------------------------------------
int Procs() {
    SecRunProcEntry* list = nullptr;
    uint32_t code = NuvexCtrl_GetSecRunProcList(&list);
    if (code != 0) return ReportFailure("listing secure-run processes", "NuvexCtrl_GetSecRunProcList", code);
    Json entries = Json::array();
    std::vector<std::vector<std::string>> rows;
    for (SecRunProcEntry* e = list; e != nullptr; e = e->next) {
        Json subs = Json::array();
        int n = 0;
        for (SecRunSubEntry* s = e->subEntries; s != nullptr; s = s->next, ++n)
            subs.push_back({{"id", s->id}, {"data", Hex(s->data, 16)}});
        std::string text(reinterpret_cast<const char*>(e->data), strnlen(reinterpret_cast<const char*>(e->data), sizeof e->data));
        entries.push_back({{"id", e->id}, {"driverData", e->driverData}, {"text", JsonText(text)}, {"subEntries", subs}});
        rows.push_back({std::to_string(e->id), std::to_string(n), text});
    }
    if (list != nullptr) NuvexCtrl_FreeSecRunProcList(list);
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"processes", entries}});
    PrintTable({"ID", "SUB-ENTRIES", "DATA"}, rows);
    return kExitOk;
}

int Docs(uint32_t selector) {
    UserStrNode* list = nullptr;
    uint32_t count = 0;
    uint32_t code = NuvexCtrl_GetEnFileList(selector, &list, &count);
    if (code != 0) return ReportFailure("listing encrypted documents", "NuvexCtrl_GetEnFileList", code);
    return PrintStrings(TakeStrings(list), "DOCUMENT", "documents");
}

}  // namespace

void AddLogCommands(CLI::App& app) {
    auto* log = app.add_subcommand("log", "Switch the main driver's log and read it");
    log->require_subcommand(1);
    log->footer(Example("nuvexctl log on\n  nuvexctl log show"));
    auto* on = log->add_subcommand("on", "Start logging");
    on->footer(Example("nuvexctl log on"));
    Bind(on, [] { return CallAndConfirm("starting the log", "NuvexCtrl_StartLogging", LogOnCall); });
    auto* off = log->add_subcommand("off", "Stop logging");
    off->footer(Example("nuvexctl log off"));
    Bind(off, [] { return CallAndConfirm("stopping the log", "NuvexCtrl_StopLogging", LogOffCall); });
    auto* clear = log->add_subcommand("clear", "Discard the log");
    clear->footer(Example("nuvexctl log clear"));
    Bind(clear, [] { return CallAndConfirm("clearing the log", "NuvexCtrl_ClearAllLog", LogClearCall); });
    auto* show = log->add_subcommand("show", "Drain the log and print its records");
    show->footer(Example("nuvexctl log show"));
    Bind(show, [] { return ShowLog(); });
    auto* state = log->add_subcommand("state", "Tell whether the driver is logging");
    state->footer(Example("nuvexctl log state"));
    Bind(state, [] { return LogState(); });
    AddLogFollowCommand(log);
}

void AddPolicyCommands(CLI::App& app) {
    auto* policy = app.add_subcommand("policy", "The main driver's policy table");
    policy->require_subcommand(1);
    policy->footer(Example("nuvexctl policy list\n  nuvexctl policy save policies.dat"));

    static bool records = false;
    auto* list = policy->add_subcommand("list", "List the policies (as texts, or --records)");
    list->add_flag("--records", records, "List records instead of texts");
    list->footer(Example("nuvexctl policy list --records"));
    Bind(list, [] { return PolicyList(records); });

    static uint32_t showId = 0;
    auto* show = policy->add_subcommand("show", "Print one policy's text");
    AddNumber(show, "id", showId, "Policy ID")->required();
    show->footer(Example("nuvexctl policy show 7"));
    Bind(show, [] { return PolicyShow(showId); });

    static std::string text;
    static uint32_t addId = 0;
    static std::vector<std::string> lists;
    static std::vector<uint32_t> values;
    auto* add = policy->add_subcommand("add", "Add a policy as text, or as a record with --record");
    add->add_option("text", text, "Policy text (as the driver renders policies)");
    static bool asRecord = false;
    add->add_flag("--record", asRecord, "Build a record instead of sending a text");
    AddNumber(add, "--id", addId, "Policy ID of the record (default: a new one from the driver)");
    add->add_option("--list", lists, "Text lists 1 to 5 of the record, in order")->expected(0, 5);
    AddNumbers(add, "--value", values, "Values of the record's first value array (up to 11)")->expected(0, 11);
    add->footer(Example("nuvexctl policy add --record --list 'C:\\\\docs|D:\\\\work' --value 7\n  nuvexctl policy add \"$(nuvexctl policy show 7)\""));
    Bind(add, [] {
        if (asRecord) return PolicyAddRecord(addId, lists, values);
        if (text.empty()) return ReportError("give a policy text or --record", kExitUsage);
        return PolicyAddText(text);
    });

    static uint32_t deleteId = 0;
    auto* del = policy->add_subcommand("delete", "Delete one policy");
    AddNumber(del, "id", deleteId, "Policy ID")->required();
    del->footer(Example("nuvexctl policy delete 7"));
    Bind(del, [] { return PolicyDelete(deleteId); });

    auto* clear = policy->add_subcommand("clear", "Delete every policy");
    clear->footer(Example("nuvexctl policy clear"));
    Bind(clear, [] { return PolicyClear(); });

    auto* newId = policy->add_subcommand("new-id", "Ask the driver for an unused policy ID");
    newId->footer(Example("nuvexctl policy new-id"));
    Bind(newId, [] { return PolicyNewId(); });

    static std::string savePath, loadPath;
    auto* save = policy->add_subcommand("save", "Save the policy table to an enciphered file");
    save->add_option("file", savePath, "Policy file")->required();
    save->footer(Example("nuvexctl policy save policies.dat"));
    Bind(save, [] { return PolicySave(savePath); });
    auto* load = policy->add_subcommand("load", "Replace the policy table by a saved file");
    load->add_option("file", loadPath, "Policy file")->required();
    load->footer(Example("nuvexctl policy load policies.dat"));
    Bind(load, [] { return PolicyLoad(loadPath); });
    auto* restore = policy->add_subcommand(
        "restore", "Put back the table from before a load or state apply that was killed in the middle");
    restore->footer(Example("nuvexctl policy restore"));
    Bind(restore, [] { return PolicyRestore(); });
}

void AddAclCommands(CLI::App& app) {
    auto* acl = app.add_subcommand("acl", "The access-control driver");
    acl->require_subcommand(1);
    acl->footer(Example("nuvexctl acl start\n  nuvexctl acl policy list"));
    auto* start = acl->add_subcommand("start", "Switch the access-control driver on");
    start->footer(Example("nuvexctl acl start"));
    Bind(start, [] { return CallAndConfirm("starting access control", "NuvexAccCtrl_Start", AclStartCall); });
    auto* stop = acl->add_subcommand("stop", "Switch the access-control driver off");
    stop->footer(Example("nuvexctl acl stop"));
    Bind(stop, [] { return CallAndConfirm("stopping access control", "NuvexAccCtrl_Stop", AclStopCall); });
    auto* log = acl->add_subcommand("log", "Drain the access-control log");
    log->footer(Example("nuvexctl acl log"));
    Bind(log, [] { return AclLog(); });

    auto* policy = acl->add_subcommand("policy", "Access-control policies");
    policy->require_subcommand(1);
    policy->footer(Example("nuvexctl acl policy add 4 --primary 'C:\\\\secret' --list notepad.exe"));
    auto* list = policy->add_subcommand("list", "List the policies");
    list->footer(Example("nuvexctl acl policy list"));
    Bind(list, [] { return AclPolicyList(); });
    static uint32_t showId = 0;
    auto* show = policy->add_subcommand("show", "Show one policy");
    AddNumber(show, "id", showId, "Policy ID")->required();
    show->footer(Example("nuvexctl acl policy show 4"));
    Bind(show, [] { return AclPolicyShow(showId); });
    static uint32_t addId = 0;
    static std::string primary;
    static std::vector<std::string> lists;
    auto* add = policy->add_subcommand("add", "Add a policy");
    AddNumber(add, "id", addId, "Policy ID")->required();
    add->add_option("--primary", primary, "Primary text (required, up to 127 characters)")->required();
    add->add_option("--list", lists, "Text lists 1 to 4, in order")->expected(0, 4);
    add->footer(Example("nuvexctl acl policy add 4 --primary 'C:\\\\secret' --list notepad.exe"));
    Bind(add, [] { return AclPolicyAdd(addId, primary, lists); });
    static uint32_t deleteId = 0;
    auto* del = policy->add_subcommand("delete", "Delete one policy");
    AddNumber(del, "id", deleteId, "Policy ID")->required();
    del->footer(Example("nuvexctl acl policy delete 4"));
    Bind(del, [] { return AclPolicyDelete(deleteId); });
    auto* clear = policy->add_subcommand("clear", "Delete every policy");
    clear->footer(Example("nuvexctl acl policy clear"));
    Bind(clear, [] { return CallAndConfirm("deleting all access-control policies", "NuvexAccCtrl_DeleteAllPolicy", AclClearCall); });
}

void AddPassPathCommands(CLI::App& app) {
    auto* passpath = app.add_subcommand("passpath", "Paths that the main driver lets pass");
    passpath->require_subcommand(1);
    passpath->footer(Example("nuvexctl passpath add 'C:\\\\build' --persist"));
    auto* list = passpath->add_subcommand("list", "List the pass paths");
    list->footer(Example("nuvexctl passpath list"));
    Bind(list, [] { return PassPathList(); });
    static std::vector<std::string> paths;
    static bool persistAdd = false, persistClear = false;
    auto* add = passpath->add_subcommand("add", "Add pass paths");
    add->add_option("path", paths, "Paths to add")->required();
    add->add_flag("--persist", persistAdd, "Also record them in the pass-path file");
    add->footer(Example("nuvexctl passpath add 'C:\\\\build' 'D:\\\\tmp' --persist"));
    Bind(add, [] { return PassPathAdd(paths, persistAdd); });
    auto* clear = passpath->add_subcommand("clear", "Remove every pass path");
    clear->add_flag("--persist", persistClear, "Also empty the pass-path file");
    clear->footer(Example("nuvexctl passpath clear --persist"));
    Bind(clear, [] { return PassPathClear(persistClear); });
}

void AddKeyCommands(CLI::App& app) {
    static std::string file, sysFile;
    static uint32_t param = 0;
    auto* key = app.add_subcommand("key", "The document key");
    key->require_subcommand(1);
    key->footer(Example("nuvexctl key set --key-file ~/.config/nuvex/document.key"));
    auto* set = key->add_subcommand(
        "set", "Hand the main driver a new document key (kept by the library only for this run's process)");
    set->add_option("--key-file", file,
                    "A file of hexadecimal digits or of the key's raw bytes (1 to 256), yours (or root's) "
                    "and readable by nobody else; - reads standard input. Without it a terminal is asked");
    AddNumber(set, "--param", param, "32-bit value passed to the driver with the key");
    set->footer(Example("nuvexctl key set --key-file ~/.config/nuvex/document.key"));
    Bind(set, [] { return SetKey(file, param, false); });

    auto* syskey = app.add_subcommand("syskey", "The system key");
    syskey->require_subcommand(1);
    syskey->footer(Example("nuvexctl syskey set --key-file system.key"));
    auto* sysSet = syskey->add_subcommand("set", "Hand the main driver a new system key");
    sysSet->add_option("--key-file", sysFile,
                       "A file of hexadecimal digits or of the key's raw bytes, yours (or root's) and readable by "
                       "nobody else; "
                       "- reads standard input. Without it a terminal is asked");
    sysSet->footer(Example("nuvexctl syskey set --key-file system.key"));
    Bind(sysSet, [] { return SetKey(sysFile, 0, true); });

    static std::string signFile;
    auto* sign = app.add_subcommand("signcode", "Print the signature code of a program file");
    sign->add_option("file", signFile, "Program file")->required();
    sign->footer(Example("nuvexctl signcode /usr/bin/env"));
    Bind(sign, [] { return SignCode(signFile); });
}

void AddListCommands(CLI::App& app) {
    auto* procs = app.add_subcommand("procs", "List the secure-run processes the main driver watches");
    procs->footer(Example("nuvexctl procs"));
    Bind(procs, [] { return Procs(); });
    static uint32_t selector = 0;
    auto* docs = app.add_subcommand("docs", "List the encrypted documents the main driver has seen");
    AddNumber(docs, "--selector", selector, "Which list the driver gives (default 0)");
    docs->footer(Example("nuvexctl docs"));
    Bind(docs, [] { return Docs(selector); });
}

void AddCodesCommand(CLI::App& app) {
    static bool markdown = false;
    auto* codes = app.add_subcommand("codes", "Print the meaning of every result code");
    codes->add_flag("--markdown", markdown, "Print the Markdown page docs/result-codes.md");
    codes->footer(Example("nuvexctl codes --markdown > docs/result-codes.md"));
    Bind(codes, [] {
        if (markdown) {
            std::cout << ResultCodesMarkdown();
            return kExitOk;
        }
        Json all = Json::array();
        std::vector<std::vector<std::string>> rows;
        for (const auto& e : ResultCodeTable()) {
            all.push_back({{"export", e.exportName}, {"code", e.code}, {"meaning", e.meaning}});
            rows.push_back({e.exportName, std::to_string(e.code), e.meaning});
        }
        if (CurrentSettings().json) return PrintJson({{"ok", true}, {"codes", all}});
        PrintTable({"EXPORT", "CODE", "MEANING"}, rows);
        return kExitOk;
    });
}

}  // namespace nuvexctl
