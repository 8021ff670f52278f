// Request handling of the access-control driver: running flag, policy table, log.
#include "acl_driver_core.h"

#include "core_util.h"

using namespace nuvex::simcore;

namespace {

using namespace nuvex::acl_driver;

constexpr uint32_t kRecordSize = NUVEX_ACL_POLICY_SIZE;
constexpr uint32_t kPrimaryTextOffset = NUVEX_ACL_POLICY_PRIMARY_TEXT;
constexpr uint32_t kPrimaryTextSize = NUVEX_ACL_POLICY_PRIMARY_TEXT_SIZE;
constexpr uint32_t kTextListOffsets[4] = {NUVEX_ACL_POLICY_TEXT_LIST1, NUVEX_ACL_POLICY_TEXT_LIST2,
                                          NUVEX_ACL_POLICY_TEXT_LIST3, NUVEX_ACL_POLICY_TEXT_LIST4};
constexpr uint32_t kTextListSize = NUVEX_ACL_POLICY_TEXT_LIST_SIZE;
constexpr uint32_t kLogRecordSize = NUVEX_ACL_LOG_SIZE;
constexpr uint32_t kLogDataSize = NUVEX_ACL_LOG_DATA_SIZE;
constexpr uint32_t kLogTextOffset = NUVEX_ACL_LOG_TEXT;  // within the data
constexpr uint32_t kLogTextSize = NUVEX_ACL_LOG_TEXT_SIZE;
static_assert(kLogTextOffset + kLogTextSize == kLogDataSize);

struct AclPolicy {
    uint32_t id;
    uint8_t record[kRecordSize];
};

struct AclLogRecord {
    uint8_t data[kLogDataSize];
};

}  // namespace

struct NuvexAclCore {
    const NuvexSimEnv* env;
    bool running;
    uint32_t sequence;
    Array<AclPolicy*> policies;  // ascending IDs
    Array<AclLogRecord*> log;    // oldest first
};

namespace {

size_t LowerBound(const NuvexAclCore* core, uint32_t id) {
    size_t low = 0, high = core->policies.Size();
    while (low < high) {
        size_t mid = (low + high) / 2;
        if (core->policies[mid]->id < id)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

void AppendText(char* text, size_t capacity, size_t* length, const char* piece) {
    while (*piece && *length + 1 < capacity) text[(*length)++] = *piece++;
    text[*length] = 0;
}

void AppendNumber(char* text, size_t capacity, size_t* length, uint32_t v) {
    char digits[11];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    char reversed[11];
    for (int i = 0; i < n; ++i) reversed[i] = digits[n - 1 - i];
    reversed[n] = 0;
    AppendText(text, capacity, length, reversed);
}

// Queues a log record whose text is `what`, followed by `number` when `withNumber`.
void Log(NuvexAclCore* core, uint32_t code, uint32_t pid, uint32_t policyId, const char* what,
         bool withNumber, uint32_t number) {
    auto* record = static_cast<AclLogRecord*>(Allocate(*core->env, sizeof(AclLogRecord)));
    if (!record) return;
    memset(record, 0, sizeof *record);
    uint64_t stamp = core->env->now ? core->env->now(core->env->context) : 0;
    Store32(record->data + NUVEX_ACL_LOG_EVENT, code);
    Store32(record->data + NUVEX_ACL_LOG_SEQUENCE, ++core->sequence);
    NuvexWire_Store64(record->data + NUVEX_ACL_LOG_TIME, stamp);
    Store32(record->data + NUVEX_ACL_LOG_POLICY, policyId);
    Store32(record->data + NUVEX_ACL_LOG_PROCESS, pid);
    char* text = reinterpret_cast<char*>(record->data + kLogTextOffset);
    size_t length = 0;
    AppendText(text, kLogTextSize, &length, what);
    if (withNumber) AppendNumber(text, kLogTextSize, &length, number);
    if (core->log.Size() >= NUVEX_ACL_MAX_LOG_RECORDS) {
        Release(*core->env, core->log[0]);
        core->log.Erase(0);
    }
    if (!core->log.Push(record)) Release(*core->env, record);
}

// A record is accepted when its texts end inside their fields and PrimaryText is not empty.
bool WellFormed(const uint8_t* record) {
    size_t primary = BoundedLength(record + kPrimaryTextOffset, kPrimaryTextSize);
    if (primary == 0 || primary == kPrimaryTextSize) return false;
    for (uint32_t offset : kTextListOffsets)
        if (BoundedLength(record + offset, kTextListSize) == kTextListSize) return false;
    return true;
}

uint32_t FreshId(const NuvexAclCore* core) {
    uint32_t size = static_cast<uint32_t>(core->policies.Size());
    uint32_t last = size ? core->policies[size - 1]->id : 0;
    if (last != 0xFFFFFFFFu) return last + 1;
    // The top ID is taken: the first gap from 1 on (there is one, the table is bounded).
    uint32_t candidate = 1;
    for (uint32_t i = 0; i < size && core->policies[i]->id == candidate; ++i) ++candidate;
    return candidate;
}

int AddPolicy(NuvexAclCore* core, uint32_t pid, const uint8_t* in) {
    if (!WellFormed(in)) return 0;
    uint32_t id = Load32(in + NUVEX_ACL_POLICY_ID);
    size_t at = LowerBound(core, id);
    AclPolicy* policy = nullptr;
    if (id != 0 && at < core->policies.Size() && core->policies[at]->id == id) {
        policy = core->policies[at];
    } else {
        if (core->policies.Size() >= NUVEX_ACL_MAX_POLICIES) return 0;
        if (id == 0) {  // the caller left the choice of ID to the driver
            id = FreshId(core);
            at = LowerBound(core, id);
        }
        policy = static_cast<AclPolicy*>(Allocate(*core->env, sizeof(AclPolicy)));
        if (!policy) return 0;
        policy->id = id;
        if (!core->policies.Insert(at, policy)) {
            Release(*core->env, policy);
            return 0;
        }
    }
    memcpy(policy->record, in, kRecordSize);
    Store32(policy->record + NUVEX_ACL_POLICY_NEXT, 0);
    Store32(policy->record + NUVEX_ACL_POLICY_ID, id);
    Log(core, kAddPolicy, pid, id, "policy stored: ", true, id);
    return 1;
}

void ClearPolicies(NuvexAclCore* core) {
    for (size_t i = 0; i < core->policies.Size(); ++i) Release(*core->env, core->policies[i]);
    core->policies.Clear();
}

int Serve(NuvexAclCore* core, uint32_t pid, uint32_t code, const uint8_t* in, uint8_t* out,
          uint32_t* returned) {
    switch (code) {
    case kAddPolicy:
        return AddPolicy(core, pid, in);
    case kDeleteAllPolicies: {
        uint32_t count = static_cast<uint32_t>(core->policies.Size());
        ClearPolicies(core);
        Log(core, code, pid, 0, "all policies deleted: ", true, count);
        return 1;
    }
    case kDeleteOnePolicy: {
        uint32_t id = Load32(in);
        size_t at = LowerBound(core, id);
        if (at >= core->policies.Size() || core->policies[at]->id != id) return 0;
        Release(*core->env, core->policies[at]);
        core->policies.Erase(at);
        Log(core, code, pid, id, "policy deleted: ", true, id);
        return 1;
    }
    case kGetPolicy: {
        uint32_t id = Load32(in + NUVEX_ACL_QUERY_ID);
        uint32_t selector = Load32(in + NUVEX_ACL_QUERY_SELECTOR);
        size_t at;
        if (selector == kSelectById) {
            at = LowerBound(core, id);
            if (at >= core->policies.Size() || core->policies[at]->id != id) return 0;
        } else if (selector == kSelectNext) {
            if (id == 0xFFFFFFFFu) return 0;
            at = LowerBound(core, id + 1);
            if (at >= core->policies.Size()) return 0;
        } else {
            return 0;
        }
        memcpy(out, core->policies[at]->record, kRecordSize);
        *returned = kRecordSize;
        return 1;
    }
    case kStart:
    case kStop:
        core->running = code == kStart;
        Log(core, code, pid, 0,
            code == kStart ? "access control started" : "access control stopped", false, 0);
        return 1;
    case kGetStatus:
        Store32(out + NUVEX_ACL_STATUS_RUNNING, core->running ? 1u : 0u);
        Store32(out + NUVEX_ACL_STATUS_POLICIES, static_cast<uint32_t>(core->policies.Size()));
        *returned = NUVEX_ACL_STATUS_SIZE;
        return 1;
    case kGetLog:
        if (core->log.Size() == 0) return 1;  // dry: success with no bytes
        memset(out, 0, NUVEX_ACL_LOG_DATA);
        memcpy(out + NUVEX_ACL_LOG_DATA, core->log[0]->data, kLogDataSize);
        Release(*core->env, core->log[0]);
        core->log.Erase(0);
        *returned = kLogRecordSize;
        return 1;
    default:
        return 0;
    }
}

struct Shape {
    uint32_t code;
    uint32_t input;
    uint32_t minOutput;
};

constexpr Shape kShapes[] = {
#define NUVEX_SHAPE(name, code, input, minOutput) {code, input, minOutput},
    NUVEX_ACL_REQUESTS(NUVEX_SHAPE)
#undef NUVEX_SHAPE
};

}  // namespace

extern "C" {

NuvexAclCore* NuvexAclCore_Create(const NuvexSimEnv* env) {
    if (!env || !env->allocate || !env->release) return nullptr;
    auto* core = static_cast<NuvexAclCore*>(env->allocate(env->context, sizeof(NuvexAclCore)));
    if (!core) return nullptr;
    memset(static_cast<void*>(core), 0, sizeof *core);
    core->env = env;
    core->policies.Init(env);
    core->log.Init(env);
    return core;
}

void NuvexAclCore_Destroy(NuvexAclCore* core) {
    if (!core) return;
    ClearPolicies(core);
    for (size_t i = 0; i < core->log.Size(); ++i) Release(*core->env, core->log[i]);
    core->policies.Free();
    core->log.Free();
    core->env->release(core->env->context, core);
}

int NuvexAclCore_Request(NuvexAclCore* core, uint32_t processId, uint32_t code,
                         const uint8_t* input, uint32_t inputLength, uint8_t* output,
                         uint32_t outputCapacity, uint32_t* returned) {
    if (returned) *returned = 0;
    if (!core || !returned) return 0;
    if ((inputLength && !input) || (outputCapacity && !output)) return 0;
    for (const Shape& shape : kShapes) {
        if (shape.code != code) continue;
        if (inputLength != shape.input || outputCapacity < shape.minOutput) return 0;
        int ok = Serve(core, processId, code, input, output, returned);
        if (!ok) *returned = 0;
        return ok;
    }
    return 0;
}

}  // extern "C"
