// `nuvexctl state export` and `nuvexctl state apply`: what an administrator configures on the
// drivers, as one JSON document that configuration tools keep in files and apply to machines.
//
// The document holds main-driver policies (as the driver renders them in text), pass paths,
// access-control policies, the logging switch, whether access control is started and whether
// the main driver is suspended. Never keys. Applying compares the file with what the drivers
// hold and makes only the changes that differ; a file that does not parse or names anything
// invalid is refused before the first change.
#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "commands.h"
#include "nuvexctrl.h"
#include "output.h"
#include "result_codes.h"
#include "text.h"
#include "tool_files.h"

namespace fs = std::filesystem;

namespace nuvexctl {
namespace {

constexpr int kFormat = 1;
constexpr const char* kFormatKey = "nuvexctlState";
// The longest policy text the library hands over (a full reply less its final "|", or less
// one byte for the terminator); the driver decides which texts it takes back.
constexpr std::size_t kPolicyTextMax = 2047;
constexpr std::size_t kPassPathMax = 259;       // characters of one path
constexpr std::size_t kPassPathTextMax = 10239; // the joined text "p|p|...|" without its zero
constexpr std::size_t kAclFieldsSize = sizeof(AccPolicyRecord::DriverFields);
// A state file far larger than any table the drivers can hold is refused before it is parsed.
constexpr std::size_t kStateFileMax = 64u << 20;
// The document is at most six levels deep; anything much deeper is refused before it is parsed,
// so that parsing needs no memory in proportion to the nesting.
constexpr std::size_t kNestingMax = 64;
// Far more values than the largest tables the drivers hold; past this many the parser keeps
// nothing more, so that a hostile file within the size limit cannot take memory many times
// its size.
constexpr std::size_t kValuesMax = 1000000;

struct AclPolicy {
    uint32_t id = 0;
    std::string primary;
    std::array<std::string, 4> lists;
    std::array<uint8_t, kAclFieldsSize> driverFields{};

    bool operator==(const AclPolicy& o) const {
        return id == o.id && primary == o.primary && lists == o.lists && driverFields == o.driverFields;
    }
};

// What the file declares (a missing key leaves that part of the drivers as it is), or what the
// drivers hold (every key present).
struct MainState {
    std::optional<bool> suspended, logging;
    std::optional<std::vector<std::string>> passPaths;
    std::optional<std::map<uint32_t, std::string>> policies;  // by policy ID
};
struct AclState {
    std::optional<bool> started;
    std::optional<std::map<uint32_t, AclPolicy>> policies;
};
struct State {
    std::optional<MainState> main;
    std::optional<AclState> acl;
};

// A failed export while reading or changing the drivers.
struct Failure {
    std::string operation;
    const char* exportName = nullptr;
    uint32_t code = 0;
};

// The policy ID of a policy text: the decimal digits from character 3 up to the first "|".
bool PolicyTextId(const std::string& text, uint32_t& id) {
    std::size_t bar = text.find('|', 3);
    if (text.size() < 4 || bar == std::string::npos || bar == 3) return false;
    uint64_t value = 0;
    for (std::size_t i = 3; i < bar; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    if (!ParseNumber(std::string_view(text).substr(3, bar - 3), UINT32_MAX, value) || value == 0) return false;
    id = static_cast<uint32_t>(value);
    return true;
}

// A policy text as a file may declare it: the text the driver renders (the library's form) or
// that text with the driver's final "|". A final "|" is the driver's only when what is left is
// still a policy text; in "NVP51|" the "|" ends the ID of a policy with no content.
std::string WithoutDriverBar(const std::string& text) {
    uint32_t id = 0;
    if (text.size() > 4 && text.back() == '|' && PolicyTextId(text.substr(0, text.size() - 1), id))
        return text.substr(0, text.size() - 1);
    return text;
}

// True when the declared text is the held policy: exactly what export wrote, or the held text
// with the driver's final "|".
bool SamePolicyText(const std::string& declared, const std::string& held) {
    return declared == held || WithoutDriverBar(declared) == held;
}

// ---- reading the drivers ----------------------------------------------------------------
bool ReadMain(MainState& state, Failure& failure) {
    DriverStatus status{};
    uint32_t code = NuvexCtrl_GetDriverStatus(&status);
    if (code != 0) return failure = {"reading the main driver's status", "NuvexCtrl_GetDriverStatus", code}, false;
    state.suspended = status.bytes[0] != 0;  // the driver's first status byte: suspended flag
    uint32_t logging = 0;
    code = NuvexCtrl_IsLogging(&logging);
    if (code != 0) return failure = {"reading the logging state", "NuvexCtrl_IsLogging", code}, false;
    state.logging = logging != 0;

    UserStrNode* list = nullptr;
    uint32_t count = 0;
    code = NuvexCtrl_GetPassPath(&list, &count);
    // 167: the driver's text held only its final "|", so no path.
    if (code != 0 && code != 167) return failure = {"listing pass paths", "NuvexCtrl_GetPassPath", code}, false;
    state.passPaths.emplace();
    for (UserStrNode* node = list; node != nullptr; node = node->next)
        if (node->data != nullptr) state.passPaths->emplace_back(node->data);
    if (list != nullptr) NuvexCtrl_FreeUserStrList(list);

    list = nullptr;
    code = NuvexCtrl_GetPolicyStrList(&list);
    if (code != 0) return failure = {"listing policies", "NuvexCtrl_GetPolicyStrList", code}, false;
    state.policies.emplace();
    bool readable = true;
    for (UserStrNode* node = list; node != nullptr; node = node->next) {
        std::string text = node->data != nullptr ? node->data : "";
        uint32_t id = 0;
        if (!PolicyTextId(text, id)) readable = false;
        else (*state.policies)[id] = text;
    }
    if (list != nullptr) NuvexCtrl_FreeUserStrList(list);
    if (!readable) return failure = {"listing policies (a text without a policy ID)", "NuvexCtrl_GetPolicyStrList", 0}, false;
    return true;
}

bool ReadAcl(AclState& state, Failure& failure) {
    uint32_t words[2] = {0, 0};
    uint32_t code = NuvexAccCtrl_GetDriverStatus(words);
    if (code != 0) return failure = {"reading the access-control status", "NuvexAccCtrl_GetDriverStatus", code}, false;
    state.started = words[0] != 0;
    AccPolicyRecord* list = nullptr;
    code = NuvexAccCtrl_GetPolicyList(&list);
    if (code != 0) return failure = {"listing access-control policies", "NuvexAccCtrl_GetPolicyList", code}, false;
    std::vector<uint32_t> ids;
    for (AccPolicyRecord* r = list; r != nullptr; r = r->next) ids.push_back(r->PolicyId);
    if (list != nullptr) NuvexAccCtrl_FreePolicyList(list);
    state.policies.emplace();
    // The list form drops a final "|" of each text list; each record is read again by its ID
    // for its exact texts, so that applying an exported file changes nothing.
    for (uint32_t id : ids) {
        AccPolicyRecord record{};
        code = NuvexAccCtrl_GetOnePolicy(id, &record);
        if (code != 0)
            return failure = {"reading access-control policy " + std::to_string(id), "NuvexAccCtrl_GetOnePolicy", code}, false;
        AclPolicy p;
        p.id = id;
        p.primary = FieldText(record.PrimaryText);
        p.lists = {FieldText(record.TextList1), FieldText(record.TextList2), FieldText(record.TextList3),
                   FieldText(record.TextList4)};
        std::copy(std::begin(record.DriverFields), std::end(record.DriverFields), p.driverFields.begin());
        (*state.policies)[id] = p;
    }
    return true;
}

// ---- the document ---------------------------------------------------------------------------
Json AclPolicyState(const AclPolicy& p) {
    Json policy{{"id", p.id}, {"primaryText", JsonText(p.primary)}, {"textLists", Json::array()}};
    for (const auto& l : p.lists) policy["textLists"].push_back(JsonText(l));
    if (std::any_of(p.driverFields.begin(), p.driverFields.end(), [](uint8_t b) { return b != 0; }))
        policy["driverFields"] = Hex(p.driverFields.data(), p.driverFields.size());
    return policy;
}

Json ToJson(const State& state) {
    Json document{{kFormatKey, kFormat}};
    if (state.main) {
        const MainState& m = *state.main;
        Json main;
        main["suspended"] = *m.suspended;
        main["logging"] = *m.logging;
        main["passPaths"] = Json::array();
        for (const auto& p : *m.passPaths) main["passPaths"].push_back(JsonText(p));
        main["policies"] = Json::array();
        for (const auto& [id, text] : *m.policies) main["policies"].push_back(JsonText(text));
        document["main"] = main;
    }
    if (state.acl) {
        Json acl;
        acl["started"] = *state.acl->started;
        acl["policies"] = Json::array();
        for (const auto& [id, p] : *state.acl->policies) acl["policies"].push_back(AclPolicyState(p));
        document["acl"] = acl;
    }
    return document;
}

// Reads a declared state, refusing anything unknown or invalid; `why` says what and where.
class Reader {
public:
    bool Read(const Json& document, State& state) {
        if (!document.is_object()) return Bad("the state file must hold a JSON object");
        if (!document.contains(kFormatKey) || document[kFormatKey] != kFormat)
            return Bad(std::string("\"") + kFormatKey + "\" must be " + std::to_string(kFormat));
        if (!Keys(document, "", {kFormatKey, "main", "acl"})) return false;
        if (document.contains("main")) {
            state.main.emplace();
            if (!Main(document["main"], *state.main)) return false;
        }
        if (document.contains("acl")) {
            state.acl.emplace();
            if (!Acl(document["acl"], *state.acl)) return false;
        }
        return true;
    }
    const std::string& Why() const { return why_; }

private:
    bool Bad(const std::string& why) {
        why_ = why;
        return false;
    }

    bool Keys(const Json& object, const std::string& where, std::set<std::string> allowed) {
        if (!object.is_object()) return Bad(where + " must be an object");
        for (const auto& [key, value] : object.items())
            if (allowed.count(key) == 0) return Bad("unknown key \"" + Shown(key) + "\"" + (where.empty() ? "" : " in " + where));
        return true;
    }

    bool Flag(const Json& object, const char* key, const std::string& where, std::optional<bool>& out) {
        if (!object.contains(key)) return true;
        if (!object[key].is_boolean()) return Bad(where + "." + key + " must be true or false");
        out = object[key].get<bool>();
        return true;
    }

    bool Text(const Json& value, const std::string& where, std::size_t max, std::string& out) {
        std::string why;
        if (!TextFromJson(value, out, why)) return Bad(where + ": " + why);
        if (out.find('\0') != std::string::npos) return Bad(where + " holds a zero byte");
        if (out.size() > max) return Bad(where + " is longer than " + std::to_string(max) + " characters");
        return true;
    }

    bool Main(const Json& main, MainState& m) {
        if (!Keys(main, "main", {"suspended", "logging", "passPaths", "policies"})) return false;
        if (!Flag(main, "suspended", "main", m.suspended) || !Flag(main, "logging", "main", m.logging)) return false;
        if (main.contains("passPaths")) {
            const Json& paths = main["passPaths"];
            if (!paths.is_array()) return Bad("main.passPaths must be an array");
            m.passPaths.emplace();
            std::set<std::string> seen;
            std::size_t joined = 0;
            for (std::size_t i = 0; i < paths.size(); ++i) {
                std::string where = "main.passPaths[" + std::to_string(i) + "]", path;
                if (!Text(paths[i], where, kPassPathMax, path)) return false;
                if (path.empty()) return Bad(where + " is empty");
                if (path.find('|') != std::string::npos) return Bad(where + " holds \"|\", the separator of pass paths");
                if (!seen.insert(path).second) return Bad(where + " repeats a path");
                joined += path.size() + 1;
                m.passPaths->push_back(path);
            }
            if (joined > kPassPathTextMax) return Bad("main.passPaths are together too long for one request");
        }
        if (main.contains("policies")) {
            const Json& policies = main["policies"];
            if (!policies.is_array()) return Bad("main.policies must be an array");
            m.policies.emplace();
            for (std::size_t i = 0; i < policies.size(); ++i) {
                std::string where = "main.policies[" + std::to_string(i) + "]", text;
                if (!Text(policies[i], where, kPolicyTextMax + 1, text)) return false;
                // The text is kept as written and inserted unaltered, so that a text read from
                // the driver and exported rebuilds the same policy; only the comparison with
                // the held text allows for the driver's final "|".
                if (WithoutDriverBar(text).size() > kPolicyTextMax)
                    return Bad(where + " is longer than " + std::to_string(kPolicyTextMax) + " characters");
                if (text.find_first_of("\r\n") != std::string::npos) return Bad(where + " holds a line break");
                uint32_t id = 0;
                if (!PolicyTextId(text, id))
                    return Bad(where + " is no policy text (three characters, a policy ID from 1, \"|\", the content)");
                if (!m.policies->emplace(id, text).second) return Bad(where + " repeats policy ID " + std::to_string(id));
            }
        }
        return true;
    }

    bool Acl(const Json& acl, AclState& a) {
        if (!Keys(acl, "acl", {"started", "policies"})) return false;
        if (!Flag(acl, "started", "acl", a.started)) return false;
        if (!acl.contains("policies")) return true;
        const Json& policies = acl["policies"];
        if (!policies.is_array()) return Bad("acl.policies must be an array");
        a.policies.emplace();
        for (std::size_t i = 0; i < policies.size(); ++i) {
            std::string where = "acl.policies[" + std::to_string(i) + "]";
            const Json& p = policies[i];
            if (!Keys(p, where, {"id", "primaryText", "textLists", "driverFields"})) return false;
            AclPolicy policy;
            if (!p.contains("id") || !p["id"].is_number_unsigned() || p["id"].get<uint64_t>() == 0 ||
                p["id"].get<uint64_t>() > UINT32_MAX)
                return Bad(where + ".id must be a policy ID from 1 to 4294967295");
            policy.id = static_cast<uint32_t>(p["id"].get<uint64_t>());
            if (!p.contains("primaryText")) return Bad(where + ".primaryText is missing");
            if (!Text(p["primaryText"], where + ".primaryText", sizeof(AccPolicyRecord::PrimaryText) - 1, policy.primary))
                return false;
            if (policy.primary.empty()) return Bad(where + ".primaryText is empty");
            if (p.contains("textLists")) {
                const Json& lists = p["textLists"];
                if (!lists.is_array() || lists.size() > 4) return Bad(where + ".textLists must be an array of up to 4 texts");
                for (std::size_t l = 0; l < lists.size(); ++l)
                    if (!Text(lists[l], where + ".textLists[" + std::to_string(l) + "]", NUVEX_TEXTLIST_BYTES - 1, policy.lists[l]))
                        return false;
            }
            if (p.contains("driverFields")) {
                std::vector<uint8_t> bytes;
                if (!p["driverFields"].is_string() || !ParseHex(p["driverFields"].get<std::string>(), bytes) ||
                    bytes.size() != kAclFieldsSize)
                    return Bad(where + ".driverFields must be " + std::to_string(kAclFieldsSize) + " bytes in hexadecimal");
                std::copy(bytes.begin(), bytes.end(), policy.driverFields.begin());
            }
            if (!a.policies->emplace(policy.id, policy).second)
                return Bad(where + " repeats policy ID " + std::to_string(policy.id));
        }
        return true;
    }

    std::string why_;
};

// ---- the plan ---------------------------------------------------------------------------------
// One change: what is printed for people ("add policy 7"), how it is made, and for scripts
// what it is: {"action", "object", "id" (of a policy), "before", "after"}, where "before" and
// "after" are the values in the state file's shapes (null where there was or will be nothing).
struct Change {
    std::string what;
    std::function<bool(Failure&)> make;
    bool policy = false;  // changes the main driver's policy table
    Json detail = Json::object();
};

Json Detail(const char* action, const char* object, Json before, Json after) {
    return {{"action", action}, {"object", object}, {"before", std::move(before)}, {"after", std::move(after)}};
}

Json Detail(const char* action, const char* object, uint32_t id, Json before, Json after) {
    return {{"action", action}, {"object", object}, {"id", id}, {"before", std::move(before)}, {"after", std::move(after)}};
}

Json Texts(const std::vector<std::string>& texts) {
    Json list = Json::array();
    for (const auto& t : texts) list.push_back(JsonText(t));
    return list;
}

bool Call(Failure& failure, const std::string& what, const char* exportName, uint32_t code) {
    if (code == 0) return true;
    failure = {what, exportName, code};
    return false;
}

std::string Quoted(const std::vector<std::string>& paths) {
    std::string text;
    for (const auto& p : paths) text += (text.empty() ? "" : ", ") + p;
    return text;
}

Change AddPassPaths(std::vector<std::string> paths, bool persist) {
    std::string what = "add pass path" + std::string(paths.size() > 1 ? "s " : " ") + Quoted(paths);
    return {what,
            [paths, persist, what](Failure& f) {
                std::string text;
                for (const auto& p : paths) text += p + "|";
                return Call(f, what, "NuvexCtrl_AddStringPassPath", NuvexCtrl_AddStringPassPath(text.c_str(), persist ? 1 : 0));
            },
            false, Detail("add", "main.passPaths", nullptr, Texts(paths))};
}

void PlanMain(const MainState& want, const MainState& have, bool persist, std::vector<Change>& plan) {
    if (want.suspended && !*want.suspended && *have.suspended)
        plan.push_back({"resume the main driver",
                        [](Failure& f) {
                            return Call(f, "resume the main driver", "NuvexCtrl_ResumeDriver", NuvexCtrl_ResumeDriver());
                        },
                        false, Detail("set", "main.suspended", true, false)});
    if (want.logging && *want.logging != *have.logging) {
        if (*want.logging)
            plan.push_back({"start logging",
                            [](Failure& f) {
                                return Call(f, "start logging", "NuvexCtrl_StartLogging", NuvexCtrl_StartLogging());
                            },
                            false, Detail("set", "main.logging", false, true)});
        else
            plan.push_back({"stop logging",
                            [](Failure& f) {
                                return Call(f, "stop logging", "NuvexCtrl_StopLogging", NuvexCtrl_StopLogging());
                            },
                            false, Detail("set", "main.logging", true, false)});
    }
    if (want.passPaths) {
        // The driver adds paths and clears them all; it removes none singly. Paths that are
        // only missing are added; any path too many means clearing and adding the set anew.
        std::set<std::string> wanted(want.passPaths->begin(), want.passPaths->end());
        std::set<std::string> held(have.passPaths->begin(), have.passPaths->end());
        std::vector<std::string> missing;
        for (const auto& p : *want.passPaths)
            if (held.count(p) == 0) missing.push_back(p);
        bool extra = std::any_of(held.begin(), held.end(), [&](const std::string& p) { return wanted.count(p) == 0; });
        if (extra) {
            std::string what = std::string("clear the pass paths") + (persist ? " (and the pass-path file)" : "");
            plan.push_back({what,
                            [persist, what](Failure& f) {
                                return Call(f, what, "NuvexCtrl_DeleteAllPassPath", NuvexCtrl_DeleteAllPassPath(persist ? 1 : 0));
                            },
                            false, Detail("clear", "main.passPaths", Texts(*have.passPaths), Json::array())});
            if (!want.passPaths->empty()) plan.push_back(AddPassPaths(*want.passPaths, persist));
        } else if (!missing.empty()) {
            plan.push_back(AddPassPaths(missing, persist));
        }
    }
    if (want.policies) {
        for (const auto& [id, text] : *have.policies) {
            if (want.policies->count(id) != 0) continue;
            std::string what = "delete policy " + std::to_string(id);
            uint32_t policyId = id;
            plan.push_back({what,
                            [policyId, what](Failure& f) {
                                uint32_t reply = 0;
                                return Call(f, what, "NuvexCtrl_DeleteOnePolicy", NuvexCtrl_DeleteOnePolicy(policyId, &reply));
                            },
                            true, Detail("delete", "main.policy", id, JsonText(text), nullptr)});
        }
        for (const auto& [id, text] : *want.policies) {
            auto held = have.policies->find(id);
            if (held != have.policies->end() && SamePolicyText(text, held->second)) continue;
            // A policy text with the ID of a held policy replaces it in the driver.
            std::string what = (held == have.policies->end() ? "add policy " : "replace policy ") + std::to_string(id);
            std::string policyText = text;
            plan.push_back({what,
                            [policyText, what](Failure& f) {
                                return Call(f, what, "NuvexCtrl_InsertPolicyStr", NuvexCtrl_InsertPolicyStr(policyText.c_str()));
                            },
                            true,
                            Detail(held == have.policies->end() ? "add" : "replace", "main.policy", id,
                                   held == have.policies->end() ? Json(nullptr) : JsonText(held->second), JsonText(text))});
        }
    }
    if (want.suspended && *want.suspended && !*have.suspended)
        plan.push_back({"suspend the main driver",
                        [](Failure& f) {
                            return Call(f, "suspend the main driver", "NuvexCtrl_SuspendDriver", NuvexCtrl_SuspendDriver());
                        },
                        false, Detail("set", "main.suspended", false, true)});
}

void PlanAcl(const AclState& want, const AclState& have, std::vector<Change>& plan) {
    if (want.policies) {
        for (const auto& [id, p] : *have.policies) {
            if (want.policies->count(id) != 0) continue;
            std::string what = "delete access-control policy " + std::to_string(id);
            uint32_t policyId = id;
            plan.push_back({what,
                            [policyId, what](Failure& f) {
                                return Call(f, what, "NuvexAccCtrl_DeleteOnePolicy", NuvexAccCtrl_DeleteOnePolicy(policyId));
                            },
                            false, Detail("delete", "acl.policy", id, AclPolicyState(p), nullptr)});
        }
        for (const auto& [id, p] : *want.policies) {
            auto held = have.policies->find(id);
            if (held != have.policies->end() && held->second == p) continue;
            // A record with the ID of a held policy replaces it in the driver.
            std::string what = (held == have.policies->end() ? "add access-control policy " : "replace access-control policy ") +
                               std::to_string(id);
            AclPolicy policy = p;
            plan.push_back({what, [policy, what](Failure& f) {
                                AccPolicyRecord record{};
                                record.PolicyId = policy.id;
                                std::copy(policy.driverFields.begin(), policy.driverFields.end(), record.DriverFields);
                                std::copy(policy.primary.begin(), policy.primary.end(), record.PrimaryText);
                                char* lists[4] = {record.TextList1, record.TextList2, record.TextList3, record.TextList4};
                                for (int i = 0; i < 4; ++i) std::copy(policy.lists[i].begin(), policy.lists[i].end(), lists[i]);
                                return Call(f, what, "NuvexAccCtrl_AddNewPolicy", NuvexAccCtrl_AddNewPolicy(&record));
                            },
                            false,
                            Detail(held == have.policies->end() ? "add" : "replace", "acl.policy", id,
                                   held == have.policies->end() ? Json(nullptr) : AclPolicyState(held->second),
                                   AclPolicyState(p))});
        }
    }
    if (want.started && *want.started != *have.started) {
        if (*want.started)
            plan.push_back({"start access control",
                            [](Failure& f) {
                                return Call(f, "start access control", "NuvexAccCtrl_Start", NuvexAccCtrl_Start());
                            },
                            false, Detail("set", "acl.started", false, true)});
        else
            plan.push_back({"stop access control",
                            [](Failure& f) {
                                return Call(f, "stop access control", "NuvexAccCtrl_Stop", NuvexAccCtrl_Stop());
                            },
                            false, Detail("set", "acl.started", true, false)});
    }
}

// ---- the verbs --------------------------------------------------------------------------------
int Report(const Failure& f, bool nothingChanged = false) {
    int status = f.code == 0 ? ReportError(f.operation + " failed") : ReportFailure(f.operation, f.exportName, f.code);
    if (nothingChanged) std::cerr << "nuvexctl: nothing was changed\n";
    return status;
}

int Export(const std::string& path) {
    // A file that cannot be written is found out before the drivers are read.
    std::string refused;
    if (!path.empty() && path != "-" && !TargetAllowed(PathFromText(path), refused))
        return ReportError("the state file " + path + " " + refused);
    State state;
    Failure mainFailure, aclFailure;
    MainState main;
    AclState acl;
    bool haveMain = ReadMain(main, mainFailure), haveAcl = ReadAcl(acl, aclFailure);
    // A driver that is not running leaves its section out; one that answers but fails a read
    // fails the export (a partial section would be applied as if it were complete).
    auto unreachable = [](const Failure& f) {
        return f.code == 74 || f.code == 181;  // the control device cannot be opened
    };
    if (!haveMain && !unreachable(mainFailure))
        return Report(mainFailure);
    if (!haveAcl && !unreachable(aclFailure)) return Report(aclFailure);
    if (!haveMain && !haveAcl) return Report(mainFailure);
    if (!haveMain) Warn("the main driver is not reachable; its section is left out");
    if (!haveAcl) Warn("the access-control driver is not reachable; its section is left out");
    if (haveMain) state.main = main;
    if (haveAcl) state.acl = acl;
    std::string text = DumpJson(ToJson(state)) + "\n";
    if (path.empty() || path == "-") {
        std::cout << text << std::flush;
        return kExitOk;
    }
    // Written beside the target and renamed over it, so that the file is whole or unchanged.
    std::string why;
    if (!ReplaceFileWith(PathFromText(path), text, why)) return ReportError("the state file " + path + " " + why);
    std::size_t policies = (haveMain ? main.policies->size() : 0) + (haveAcl ? acl.policies->size() : 0);
    Say("state written to " + path + " (" + std::to_string(policies) + " policies)");
    return PrintJson({{"ok", true}, {"file", JsonText(path)}, {"main", haveMain}, {"acl", haveAcl}});
}

bool ReadStateFile(const std::string& path, std::string& text, std::string& why) {
    if (path == "-") return ReadStandardInput(kStateFileMax, text, why);
    return ReadRegularFile(PathFromText(path), kStateFileMax, text, why);
}

// The deepest nesting of arrays and objects in a JSON text (brackets inside strings aside).
std::size_t Nesting(const std::string& text) {
    std::size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

// A JSON pointer to a value: "/" for the document, "/main/policies/0" inside it.
std::string Pointer(const std::vector<std::string>& steps) {
    if (steps.empty()) return "/";
    std::string pointer;
    for (const auto& step : steps) {
        pointer += '/';
        for (char c : step) {
            if (c == '~') pointer += "~0";
            else if (c == '/') pointer += "~1";
            else pointer += c;
        }
    }
    return pointer;
}

// Parses a state file, refusing a key that appears twice in one object: the parser would keep
// the last one silently, and a repeated "main" or "policies" can plan deleting a whole table.
// `why` names the key and the object that holds it.
bool ParseStateText(const std::string& text, Json& document, std::string& why) {
    if (Nesting(text) > kNestingMax) {
        why = "is nested more than " + std::to_string(kNestingMax) + " levels deep";
        return false;
    }
    // One frame per open array or object: the keys met so far (objects), the key or the
    // element index of the value being read.
    struct Frame {
        bool array = false;
        std::size_t index = 0;
        std::set<std::string> keys;
        std::string key;
    };
    std::vector<Frame> frames;
    std::string duplicate;
    std::size_t values = 0;
    auto where = [&frames] {
        std::vector<std::string> steps;
        for (std::size_t i = 0; i + 1 < frames.size(); ++i)
            steps.push_back(frames[i].array ? std::to_string(frames[i].index) : frames[i].key);
        return Pointer(steps);
    };
    auto finished = [&frames] {  // a value of the innermost open array or object is complete
        if (!frames.empty() && frames.back().array) ++frames.back().index;
    };
    Json::parser_callback_t callback = [&](int, Json::parse_event_t event, Json& parsed) {
        if (values > kValuesMax) return false;
        switch (event) {
        case Json::parse_event_t::object_start: frames.push_back(Frame{}); break;
        case Json::parse_event_t::array_start: frames.push_back(Frame{true}); break;
        case Json::parse_event_t::key:
            if (!frames.empty() && parsed.is_string()) {
                Frame& object = frames.back();
                object.key = parsed.get<std::string>();
                if (!object.keys.insert(object.key).second && duplicate.empty())
                    duplicate = "has duplicate key \"" + Shown(object.key) + "\" at " + Shown(where());
            }
            break;
        case Json::parse_event_t::object_end:
        case Json::parse_event_t::array_end:
            if (!frames.empty()) frames.pop_back();
            finished();
            break;
        case Json::parse_event_t::value: finished(); break;
        }
        // Each value counts once: a number, text, true, false or null, or an array or object.
        if (event == Json::parse_event_t::value || event == Json::parse_event_t::object_start ||
            event == Json::parse_event_t::array_start)
            ++values;
        return values <= kValuesMax;
    };
    document = Json::parse(text, callback, false);
    if (values > kValuesMax) {
        document = Json();
        why = "holds more than " + std::to_string(kValuesMax) + " values";
        return false;
    }
    if (document.is_discarded()) {
        why = "is not valid JSON";
        return false;
    }
    if (!duplicate.empty()) {
        why = duplicate;
        return false;
    }
    return true;
}

int Apply(const std::string& path, bool dryRun, bool detailedExitCode, bool persist) {
    std::string text, why;
    if (!ReadStateFile(path, text, why)) return ReportError("the state file " + path + " " + why + "; nothing changed");
    Json document;
    if (!ParseStateText(text, document, why)) return ReportError("the state file " + path + " " + why + "; nothing changed");
    State want;
    Reader reader;
    if (!reader.Read(document, want)) return ReportError("the state file " + path + " is invalid: " + reader.Why() + "; nothing changed");

    // Everything is read and planned before the first change.
    State have;
    Failure failure;
    if (want.main) {
        have.main.emplace();
        if (!ReadMain(*have.main, failure)) return Report(failure, true);
    }
    if (want.acl) {
        have.acl.emplace();
        if (!ReadAcl(*have.acl, failure)) return Report(failure, true);
    }
    std::vector<Change> plan;
    if (want.main) PlanMain(*want.main, *have.main, persist, plan);
    if (want.acl) PlanAcl(*want.acl, *have.acl, plan);

    // The changes are made to the end once begun; the main driver's policy table is kept in
    // the journal first when they replace any of its policies.
    DeferredInterrupts hold;
    PolicyJournal journal;
    const bool changesPolicies = std::any_of(plan.begin(), plan.end(), [](const Change& c) { return c.policy; });
    if (!dryRun && changesPolicies) {
        int status = kExitOk;
        if (!journal.Begin("applying " + path, status)) return status;
    }
    Json changes = Json::array();
    std::size_t made = 0;
    for (const Change& change : plan) {
        if (!dryRun && !change.make(failure)) {
            if (CurrentSettings().json) {
                PrintJson({{"ok", false}, {"dryRun", false}, {"changes", changes},
                           {"error", {{"operation", Shown(failure.operation)}, {"export", failure.exportName},
                                      {"code", failure.code}, {"meaning", DescribeResult(failure.exportName, failure.code)}}}});
            }
            std::cerr << "nuvexctl: " << failure.exportName << ": " << Shown(failure.operation) << " failed: "
                      << DescribeResult(failure.exportName, failure.code) << " (" << failure.code << "); "
                      << made << " of " << plan.size() << " changes were made\n";
            journal.End(made == 0, false);
            return kExitFailed;
        }
        ++made;
        Json entry = change.detail;
        entry["description"] = Shown(change.what);
        changes.push_back(std::move(entry));
        Say((dryRun ? "would " : "") + change.what);
    }
    journal.End(true, true);
    if (plan.empty()) Say("nothing to change");
    else if (dryRun) Say(std::to_string(plan.size()) + " change(s) would be made (dry run; nothing changed)");
    else Say(std::to_string(plan.size()) + " change(s) made");
    PrintJson({{"ok", true}, {"dryRun", dryRun}, {"changes", changes}});
    if (detailedExitCode && !plan.empty()) return kExitChanged;  // changes made (or due)
    return kExitOk;
}

}  // namespace

void AddStateCommands(CLI::App& app) {
    auto* state = app.add_subcommand("state", "Export the drivers' configuration to a file and apply such a file");
    state->require_subcommand(1);
    state->footer(Example("nuvexctl state export machine.json\n  nuvexctl state apply --dry-run machine.json"));

    static std::string exportPath;
    auto* exp = state->add_subcommand("export", "Write what the drivers hold (never keys) as one JSON document");
    exp->add_option("file", exportPath, "State file (default: standard output)");
    exp->footer(Example("nuvexctl state export machine.json"));
    Bind(exp, [] { return Export(exportPath); });

    static std::string applyPath;
    static bool dryRun = false, detailed = false, persist = false;
    auto* apply = state->add_subcommand("apply", "Make the running drivers match a state file, with the fewest changes");
    apply->add_option("file", applyPath, "State file (- for standard input)")->required();
    apply->add_flag("--dry-run", dryRun, "Print the changes that would be made and make none");
    apply->add_flag("--detailed-exitcode", detailed,
                    "Exit 0 when nothing had to change, 2 when changes were made (or would be), 1 on failure");
    apply->add_flag("--persist", persist, "Also record pass-path changes in the pass-path file");
    apply->footer(Example("nuvexctl state apply --dry-run machine.json\n  nuvexctl state apply --detailed-exitcode machine.json"));
    Bind(apply, [] { return Apply(applyPath, dryRun, detailed, persist); });
}

}  // namespace nuvexctl
