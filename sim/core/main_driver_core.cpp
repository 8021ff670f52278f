// Request handling of the main filter driver: handshake, switches, log, secure-run and
// document lists, pass paths, the policy table in record and text form, keys, the document
// header request and the file-type query. No system calls: see sim_env.h.
#include "main_driver_core.h"

#include "core_util.h"
#include "policy_codec.h"

using namespace nuvex::simcore;

namespace {

using namespace nuvex::main_driver;

constexpr uint32_t kAnyLength = NUVEX_WIRE_ANY_LENGTH;

// What every request must bring: input length (exact, or any), the smallest output
// capacity, and whether it belongs inside the control handshake.
struct RequestShape {
    uint32_t code;
    uint32_t input;
    uint32_t minOutput;
    bool handshake;
};

constexpr RequestShape kShapes[] = {
#define NUVEX_SHAPE(name, code, input, minOutput, handshake) {code, input, minOutput, handshake != 0},
    NUVEX_MAIN_REQUESTS(NUVEX_SHAPE)
#undef NUVEX_SHAPE
};

constexpr uint32_t kHeaderSize = NUVEX_HEADER_SIZE;
constexpr uint32_t kHeaderRequestSize = NUVEX_HEADER_REQUEST_SIZE;
constexpr uint32_t kHeaderRequestFixed = NUVEX_HEADER_REQUEST_READ_SIZE;
constexpr uint32_t kSignatureOffset = 64;
constexpr uint8_t kSignature[16] = {0x3A, 0x7F, 0x0C, 0x91, 0xE4, 0xB2, 0x5D, 0x68,
                                    0xA1, 0xC3, 0xF0, 0x97, 0x2B, 0x4E, 0x8D, 0x15};

constexpr uint32_t kLogBatch = NUVEX_LOG_BATCH_SIZE;
constexpr uint32_t kLogBatchHeader = NUVEX_LOG_BATCH_HEADER_SIZE;
constexpr uint32_t kLogFixed = NUVEX_LOG_RECORD_TEXT;  // record bytes before the text
constexpr uint32_t kLogTextMax = 255;
constexpr uint32_t kMaxControllers = 64;
constexpr uint32_t kEntrySize = NUVEX_SECRUN_BLOCK_SIZE;
constexpr uint32_t kPathField = NUVEX_SECRUN_PATH_SIZE;

struct Policy {
    uint32_t id;
    uint8_t record[kPolicyRecordSize];  // host byte order, `next` zero
};

struct PassPath {
    char* text;
    uint32_t length;
};

struct LogRecord {
    uint8_t* bytes;
    uint32_t size;
};

struct Document {
    char path[kPathField];
};

struct SecRunDoc {
    uint32_t id;
    uint32_t reads;
    uint32_t writes;
    char path[kPathField];
};

struct SecRunProc {
    uint32_t id;
    uint32_t pid;
    uint32_t nextDocId;
    char image[kPathField];
    Array<SecRunDoc> docs;
};

// A short text for a log record, built without formatted output.
struct LogText {
    char text[kLogTextMax + 1];
    uint32_t length = 0;

    LogText& Add(const char* s) {
        while (*s && length < kLogTextMax) text[length++] = *s++;
        text[length] = 0;
        return *this;
    }
    LogText& Num(uint32_t v) {
        char digits[10];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        while (n && length < kLogTextMax) text[length++] = digits[--n];
        text[length] = 0;
        return *this;
    }
    LogText& Hex(uint32_t v) {
        static const char kDigits[] = "0123456789abcdef";
        Add("0x");
        for (int shift = 28; shift >= 0 && length < kLogTextMax; shift -= 4)
            text[length++] = kDigits[(v >> shift) & 0xF];
        text[length] = 0;
        return *this;
    }
    LogText() { text[0] = 0; }
};

}  // namespace

struct NuvexMainSession {
    uint32_t pid;
    uint32_t token;
    int state;  // 0 none, 1 token handed out, 2 handshake completed
};

struct NuvexMainCore {
    const NuvexSimEnv* env;
    bool suspended;
    bool logging;
    bool unload;
    uint32_t violations;
    uint32_t nextPolicyId;
    uint32_t nextSecRunId;
    uint32_t tokenCounter;
    Array<Policy*> policies;  // ascending IDs
    Array<PassPath> passPaths;
    Array<uint32_t> passPathSlots;  // hash index of passPaths: 0 empty, else index + 1
    Array<LogRecord> log;     // oldest first
    Array<Document*> documents;
    Array<SecRunProc*> secRun;  // ascending IDs
    Array<uint32_t> controllers;
    uint32_t keyParam;
    uint8_t documentKey[NUVEX_KEY_FIELD_SIZE];
    uint8_t systemKey[NUVEX_KEY_FIELD_SIZE];
    uint8_t scratchRecord[kPolicyRecordSize];
    char scratchText[kPolicyTextBuffer];
    uint8_t scratchHeader[kHeaderSize];
};

namespace {

// ---- logging ---------------------------------------------------------------------------

void WriteLog(NuvexMainCore* core, uint32_t code, uint32_t pid, const uint32_t (&data)[4],
              bool ok, const LogText& text) {
    if (!core->logging) return;
    uint32_t size = kLogFixed + text.length + 1;
    auto* bytes = static_cast<uint8_t*>(Allocate(*core->env, size));
    if (!bytes) return;  // a record that cannot be kept is lost, the request is not
    uint64_t stamp = core->env->now ? core->env->now(core->env->context) : 0;
    Store32(bytes + NUVEX_LOG_RECORD_VALUE1, code);
    Store32(bytes + NUVEX_LOG_RECORD_TIME_LOW, static_cast<uint32_t>(stamp));
    Store32(bytes + NUVEX_LOG_RECORD_TIME_HIGH, static_cast<uint32_t>(stamp >> 32));
    Store32(bytes + NUVEX_LOG_RECORD_VALUE2, pid);
    for (int i = 0; i < 4; ++i) Store32(bytes + NUVEX_LOG_RECORD_DATA + 4 * i, data[i]);
    bytes[NUVEX_LOG_RECORD_OUTCOME] = ok ? 1 : 0;
    memcpy(bytes + kLogFixed, text.text, text.length + 1);
    if (core->log.Size() >= NUVEX_MAIN_MAX_LOG_RECORDS) {
        Release(*core->env, core->log[0].bytes);
        core->log.Erase(0);
    }
    if (!core->log.Push(LogRecord{bytes, size})) Release(*core->env, bytes);
}

void Log(NuvexMainCore* core, uint32_t code, uint32_t pid, const LogText& text,
         uint32_t a = 0, uint32_t b = 0, bool ok = true) {
    const uint32_t data[4] = {a, b, 0, 0};
    WriteLog(core, code, pid, data, ok, text);
}

void ClearLog(NuvexMainCore* core) {
    for (size_t i = 0; i < core->log.Size(); ++i) Release(*core->env, core->log[i].bytes);
    core->log.Clear();
}

// ---- reply helpers -----------------------------------------------------------------------

int Reply32(uint8_t* out, uint32_t* returned, uint32_t value) {
    Store32(out, value);
    *returned = 4;
    return 1;
}

// Writes "item|item|..." into `out`, whole items only, leaving the last four bytes of the
// caller's buffer free so that the text always ends in zero bytes there.
template <typename Source>
uint32_t WriteSeparatedText(uint8_t* out, uint32_t capacity, size_t count, Source item) {
    uint32_t limit = capacity >= 4 ? capacity - 4 : 0;
    uint32_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        const char* text;
        uint32_t length;
        item(i, &text, &length);
        if (length + 1 > limit - used) break;
        memcpy(out + used, text, length);
        used += length;
        out[used++] = NUVEX_TEXT_SEPARATOR;
    }
    return used;
}

// ---- handshake and authorised processes ---------------------------------------------------

uint32_t NewToken(NuvexMainCore* core) {
    uint32_t token = 0;
    const NuvexSimEnv* env = core->env;
    if (env->random32) token = env->random32(env->context);
    if (!token) {
        uint64_t t = env->now ? env->now(env->context) : 0;
        token = static_cast<uint32_t>(t ^ (t >> 32)) ^ (++core->tokenCounter * 0x9E3779B9u);
    }
    return token ? token : 0x5A17C0DEu;
}

bool IsController(const NuvexMainCore* core, uint32_t pid) {
    for (size_t i = 0; i < core->controllers.Size(); ++i)
        if (core->controllers[i] == pid) return true;
    return false;
}

void RememberController(NuvexMainCore* core, uint32_t pid) {
    if (IsController(core, pid)) return;
    if (core->controllers.Size() >= kMaxControllers) core->controllers.Erase(0);
    core->controllers.Push(pid);
}

// ---- documents and secure-run processes ----------------------------------------------------

SecRunProc* FindSecRunByPid(NuvexMainCore* core, uint32_t pid) {
    for (size_t i = 0; i < core->secRun.Size(); ++i)
        if (core->secRun[i]->pid == pid) return core->secRun[i];
    return nullptr;
}

void FreeSecRun(NuvexMainCore* core, SecRunProc* proc) {
    proc->docs.Free();
    Release(*core->env, proc);
}

// Notes that process `pid` reached document `path` through a header request.
void NoteDocument(NuvexMainCore* core, uint32_t pid, const char* path, bool write) {
    size_t pathLength = BoundedLength(path, kPathField);
    bool known = false;
    for (size_t i = 0; i < core->documents.Size() && !known; ++i)
        known = strcmp(core->documents[i]->path, path) == 0;
    if (!known) {
        auto* doc = static_cast<Document*>(Allocate(*core->env, sizeof(Document)));
        if (doc) {
            CopyText(doc->path, kPathField, path, pathLength);
            if (core->documents.Size() >= NUVEX_MAIN_MAX_DOCUMENTS) {
                Release(*core->env, core->documents[0]);
                core->documents.Erase(0);
            }
            if (!core->documents.Push(doc)) Release(*core->env, doc);
        }
    }

    SecRunProc* proc = FindSecRunByPid(core, pid);
    if (!proc) {
        proc = static_cast<SecRunProc*>(Allocate(*core->env, sizeof(SecRunProc)));
        if (!proc) return;
        memset(static_cast<void*>(proc), 0, sizeof *proc);
        proc->docs.Init(core->env);
        proc->pid = pid;
        proc->id = ++core->nextSecRunId;
        proc->nextDocId = 0;
        const NuvexSimEnv* env = core->env;
        if (!env->describe_process ||
            !env->describe_process(env->context, pid, proc->image, kPathField)) {
            LogText name;
            name.Add("process ").Num(pid);
            CopyText(proc->image, kPathField, name.text, name.length);
        }
        proc->image[kPathField - 1] = 0;
        if (core->secRun.Size() >= NUVEX_MAIN_MAX_SECRUN) {
            FreeSecRun(core, core->secRun[0]);
            core->secRun.Erase(0);
        }
        if (!core->secRun.Push(proc)) {
            FreeSecRun(core, proc);
            return;
        }
    }
    for (size_t i = 0; i < proc->docs.Size(); ++i) {
        SecRunDoc& doc = proc->docs[i];
        if (strcmp(doc.path, path) == 0) {
            ++(write ? doc.writes : doc.reads);
            return;
        }
    }
    SecRunDoc doc;
    memset(&doc, 0, sizeof doc);
    doc.id = ++proc->nextDocId;
    CopyText(doc.path, kPathField, path, pathLength);
    ++(write ? doc.writes : doc.reads);
    if (proc->docs.Size() >= NUVEX_MAIN_MAX_SECRUN_DOCS) proc->docs.Erase(0);
    proc->docs.Push(doc);
}

bool HasSignature(const uint8_t* header) {
    return memcmp(header + kSignatureOffset, kSignature, sizeof kSignature) == 0;
}

// ---- policies --------------------------------------------------------------------------------

// Index of the first policy whose ID is >= id.
size_t LowerBound(const NuvexMainCore* core, uint32_t id) {
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

Policy* FindPolicy(NuvexMainCore* core, uint32_t id) {
    size_t at = LowerBound(core, id);
    return at < core->policies.Size() && core->policies[at]->id == id ? core->policies[at]
                                                                      : nullptr;
}

Policy* NextPolicy(NuvexMainCore* core, uint32_t after) {
    if (after == 0xFFFFFFFFu) return nullptr;
    size_t at = LowerBound(core, after + 1);
    return at < core->policies.Size() ? core->policies[at] : nullptr;
}

// Stores a checked host-order record (its PolicyId non-zero), replacing a policy with the
// same ID. A record whose text form would not fit is refused, so both forms always exist.
bool StorePolicy(NuvexMainCore* core, const uint8_t* record) {
    uint32_t id = Load32(record + kPolicyIdOffset);
    if (EncodePolicyText(record, core->scratchText, kPolicyTextBuffer) == 0) return false;
    Policy* existing = FindPolicy(core, id);
    if (existing) {
        memcpy(existing->record, record, kPolicyRecordSize);
        return true;
    }
    if (core->policies.Size() >= NUVEX_MAIN_MAX_POLICIES) return false;
    auto* policy = static_cast<Policy*>(Allocate(*core->env, sizeof(Policy)));
    if (!policy) return false;
    policy->id = id;
    memcpy(policy->record, record, kPolicyRecordSize);
    if (!core->policies.Insert(LowerBound(core, id), policy)) {
        Release(*core->env, policy);
        return false;
    }
    if (id >= core->nextPolicyId) core->nextPolicyId = id + 1;
    return true;
}

void ClearPolicies(NuvexMainCore* core) {
    for (size_t i = 0; i < core->policies.Size(); ++i) Release(*core->env, core->policies[i]);
    core->policies.Clear();
}

uint32_t FreshPolicyId(NuvexMainCore* core) {
    if (core->policies.Size() >= NUVEX_MAIN_MAX_POLICIES) return 0;
    uint32_t candidate = core->nextPolicyId;
    for (size_t tries = 0; tries <= core->policies.Size() + 1; ++tries, ++candidate) {
        if (candidate == 0) candidate = 1;
        if (!FindPolicy(core, candidate)) {
            core->nextPolicyId = candidate + 1;
            return candidate;
        }
    }
    return 0;
}

int DeliverPolicyRecord(const Policy* policy, uint8_t* out, uint32_t* returned) {
    PolicyToWire(policy->record, out);
    *returned = kPolicyRecordSize;
    return 1;
}

int DeliverPolicyText(NuvexMainCore* core, const Policy* policy, uint8_t* out,
                      uint32_t capacity, uint32_t* returned) {
    uint32_t length = EncodePolicyText(policy->record, core->scratchText, kPolicyTextBuffer);
    if (length == 0 || length > capacity) return 0;
    memcpy(out, core->scratchText, length);
    *returned = length;
    return 1;
}

// ---- pass paths ------------------------------------------------------------------------------

// The pass paths are found through an open-addressing hash index beside the array, so that
// adding a text of n paths to a table of m costs O(n + m), not O(n * m): one text of tens of
// thousands of paths is checked in milliseconds, and other clients never wait long for the
// driver's lock.
uint32_t HashPath(const char* text, uint32_t length) {
    uint32_t hash = 2166136261u;
    for (uint32_t i = 0; i < length; ++i) hash = (hash ^ static_cast<uint8_t>(text[i])) * 16777619u;
    return hash;
}

bool SamePath(const PassPath& p, const char* text, uint32_t length) {
    return p.length == length && memcmp(p.text, text, length) == 0;
}

void IndexPassPath(NuvexMainCore* core, size_t index) {
    Array<uint32_t>& slots = core->passPathSlots;
    const size_t mask = slots.Size() - 1;
    const PassPath& p = core->passPaths[index];
    size_t slot = HashPath(p.text, p.length) & mask;
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = static_cast<uint32_t>(index + 1);
}

// Makes the index `count` slots (a power of two) holding every path of the array; false when
// memory is short (the index is then left empty and is rebuilt before its next use).
bool RebuildPassPathIndex(NuvexMainCore* core, size_t count) {
    Array<uint32_t>& slots = core->passPathSlots;
    slots.Clear();
    if (!slots.Reserve(count)) return false;
    for (size_t i = 0; i < count; ++i) slots.Push(0);
    for (size_t i = 0; i < core->passPaths.Size(); ++i) IndexPassPath(core, i);
    return true;
}

// Keeps the index at most half full for `paths` paths.
bool ReservePassPathIndex(NuvexMainCore* core, size_t paths) {
    size_t count = core->passPathSlots.Size();
    if (count != 0 && paths * 2 <= count) return true;
    if (count == 0) count = 64;
    while (paths * 2 > count) count *= 2;
    return RebuildPassPathIndex(core, count);
}

bool HasPassPath(const NuvexMainCore* core, const char* text, uint32_t length) {
    const Array<uint32_t>& slots = core->passPathSlots;
    if (slots.Size() == 0) return false;
    const size_t mask = slots.Size() - 1;
    for (size_t slot = HashPath(text, length) & mask; slots[slot] != 0; slot = (slot + 1) & mask)
        if (SamePath(core->passPaths[slots[slot] - 1], text, length)) return true;
    return false;
}

void ClearPassPaths(NuvexMainCore* core) {
    for (size_t i = 0; i < core->passPaths.Size(); ++i)
        Release(*core->env, core->passPaths[i].text);
    core->passPaths.Clear();
    core->passPathSlots.Clear();
}

// Calls `visit(item, length)` for each non-empty item of a "|"-separated text.
template <typename Visit>
bool ForEachItem(const uint8_t* input, uint32_t length, Visit visit) {
    for (uint32_t start = 0; start < length;) {
        const void* bar = memchr(input + start, NUVEX_TEXT_SEPARATOR, length - start);
        uint32_t end = bar ? static_cast<uint32_t>(static_cast<const uint8_t*>(bar) - input)
                           : length;
        if (end > start && !visit(reinterpret_cast<const char*>(input + start), end - start))
            return false;
        start = end + 1;
    }
    return true;
}

// Adds the paths of a "|"-separated text. Empty items and known paths (also a path given twice
// in the text) are skipped; a text with a NUL, an over-long path, or more new paths than the
// table has room for is refused whole, and so is one that cannot be stored for lack of memory.
bool AddPassPaths(NuvexMainCore* core, const uint8_t* input, uint32_t length,
                  uint32_t* added) {
    *added = 0;
    if (length == 0) return true;
    if (memchr(input, 0, length)) return false;
    bool wellFormed = ForEachItem(input, length, [&](const char*, uint32_t itemLength) {
        return itemLength <= NUVEX_MAIN_MAX_PATH;
    });
    if (!wellFormed || !ReservePassPathIndex(core, core->passPaths.Size() + 1)) return false;
    const size_t before = core->passPaths.Size();
    // Each new path goes into the array and the index at once, so that a repeat later in the
    // same text is found; past the table's room, or short of memory, everything added is
    // taken back.
    bool stored = ForEachItem(input, length, [&](const char* item, uint32_t itemLength) {
        if (HasPassPath(core, item, itemLength)) return true;
        if (core->passPaths.Size() >= NUVEX_MAIN_MAX_PASS_PATHS) return false;
        if (!ReservePassPathIndex(core, core->passPaths.Size() + 1)) return false;
        auto* copy = static_cast<char*>(Allocate(*core->env, itemLength + 1));
        if (!copy) return false;
        memcpy(copy, item, itemLength);
        copy[itemLength] = 0;
        if (!core->passPaths.Push(PassPath{copy, itemLength})) {
            Release(*core->env, copy);
            return false;
        }
        IndexPassPath(core, core->passPaths.Size() - 1);
        return true;
    });
    if (!stored) {
        while (core->passPaths.Size() > before) {
            Release(*core->env, core->passPaths[core->passPaths.Size() - 1].text);
            core->passPaths.Erase(core->passPaths.Size() - 1);
        }
        // Same number of slots as before, so this needs no new memory.
        if (!RebuildPassPathIndex(core, core->passPathSlots.Size())) core->passPathSlots.Clear();
        return false;
    }
    *added = static_cast<uint32_t>(core->passPaths.Size() - before);
    return true;
}

uint32_t PassPathTextSize(const NuvexMainCore* core) {
    uint32_t size = 0;
    for (size_t i = 0; i < core->passPaths.Size(); ++i) size += core->passPaths[i].length + 1;
    return size;
}

// ---- the document list -------------------------------------------------------------------------

// Selector 0: every document seen; otherwise the documents of the process with that ID.
uint32_t DocumentText(NuvexMainCore* core, uint32_t selector, uint8_t* out, uint32_t capacity) {
    if (selector == 0) {
        return WriteSeparatedText(out, capacity, core->documents.Size(),
                                  [core](size_t i, const char** text, uint32_t* length) {
                                      *text = core->documents[i]->path;
                                      *length = static_cast<uint32_t>(
                                          BoundedLength(*text, kPathField));
                                  });
    }
    SecRunProc* proc = FindSecRunByPid(core, selector);
    if (!proc) return 0;
    return WriteSeparatedText(out, capacity, proc->docs.Size(),
                              [proc](size_t i, const char** text, uint32_t* length) {
                                  *text = proc->docs[i].path;
                                  *length =
                                      static_cast<uint32_t>(BoundedLength(*text, kPathField));
                              });
}

uint32_t DocumentTextSize(NuvexMainCore* core, uint32_t selector) {
    uint32_t size = 0;
    if (selector == 0) {
        for (size_t i = 0; i < core->documents.Size(); ++i)
            size += static_cast<uint32_t>(BoundedLength(core->documents[i]->path, kPathField)) + 1;
        return size;
    }
    SecRunProc* proc = FindSecRunByPid(core, selector);
    if (!proc) return 0;
    for (size_t i = 0; i < proc->docs.Size(); ++i)
        size += static_cast<uint32_t>(BoundedLength(proc->docs[i].path, kPathField)) + 1;
    return size;
}

// ---- the header request --------------------------------------------------------------------------

int HeaderRequest(NuvexMainCore* core, NuvexMainSession* session, const uint8_t* in,
                  uint32_t inLength, uint8_t* out, uint32_t capacity, uint32_t* returned) {
    const NuvexSimEnv* env = core->env;
    if (inLength < kHeaderRequestFixed) return 0;
    uint32_t handle = Load32(in + NUVEX_HEADER_REQUEST_HANDLE);
    uint32_t direction = Load32(in + NUVEX_HEADER_REQUEST_DIRECTION);
    uint32_t offset = Load32(in + NUVEX_HEADER_REQUEST_OFFSET);
    uint32_t length = Load32(in + NUVEX_HEADER_REQUEST_LENGTH);
    char path[kPathField];
    path[0] = 0;
    LogText text;

    bool shapeOk = offset == 0 && length == kHeaderSize &&
                   ((direction == NUVEX_HEADER_READ && (inLength == kHeaderRequestFixed ||
                                                        inLength == kHeaderRequestSize) &&
                     capacity >= kHeaderSize) ||
                    (direction == NUVEX_HEADER_WRITE && inLength == kHeaderRequestSize));
    if (!shapeOk || !env->read_file_start) {
        text.Add("header request refused: malformed (handle ").Num(handle).Add(")");
        Log(core, kHeaderRequest, session->pid, text, handle, direction, false);
        return 0;
    }

    uint32_t got = 0;
    int readOk = env->read_file_start(env->context, session->pid, handle, core->scratchHeader,
                                      kHeaderSize, &got, path, kPathField);
    path[kPathField - 1] = 0;
    if (!readOk || got != kHeaderSize || !HasSignature(core->scratchHeader)) {
        text.Add(direction ? "header read" : "header write")
            .Add(" refused: not a document (handle ")
            .Num(handle)
            .Add(") ")
            .Add(path);
        Log(core, kHeaderRequest, session->pid, text, handle, direction, false);
        return 0;
    }

    if (direction == NUVEX_HEADER_READ) {
        memcpy(out, core->scratchHeader, kHeaderSize);
        *returned = kHeaderSize;
    } else {
        const uint8_t* header = in + NUVEX_HEADER_REQUEST_DATA;
        if (!HasSignature(header) || !env->write_file_start ||
            !env->write_file_start(env->context, session->pid, handle, header, kHeaderSize)) {
            text.Add("header write refused: ").Add(path);
            Log(core, kHeaderRequest, session->pid, text, handle, direction, false);
            return 0;
        }
    }
    NoteDocument(core, session->pid, path, direction == 0);
    text.Add(direction ? "header read: " : "header written: ").Add(path);
    Log(core, kHeaderRequest, session->pid, text, handle, direction, true);
    return 1;
}

int QueryFileType(NuvexMainCore* core, NuvexMainSession* session, const uint8_t* in,
                  uint8_t* out, uint32_t* returned) {
    const NuvexSimEnv* env = core->env;
    uint32_t got = 0;
    if (!env->read_file_start ||
        !env->read_file_start(env->context, session->pid, Load32(in), core->scratchHeader,
                              kHeaderSize, &got, nullptr, 0))
        return 0;
    bool document = got == kHeaderSize && HasSignature(core->scratchHeader);
    return Reply32(out, returned, document ? NUVEX_FILE_TYPE_DOCUMENT : NUVEX_FILE_TYPE_PLAIN);
}

// ---- dispatch ---------------------------------------------------------------------------------------

const RequestShape* FindShape(uint32_t code) {
    for (const RequestShape& shape : kShapes)
        if (shape.code == code) return &shape;
    return nullptr;
}

int Serve(NuvexMainCore* core, NuvexMainSession* session, uint32_t code, const uint8_t* in,
          uint32_t inLength, uint8_t* out, uint32_t capacity, uint32_t* returned) {
    const uint32_t pid = session->pid;
    LogText text;
    switch (code) {
    case kGetStatus: {
        memset(out, 0, NUVEX_STATUS_SIZE);
        out[NUVEX_STATUS_SUSPENDED] = core->suspended ? 1 : 0;
        out[NUVEX_STATUS_LOGGING] = core->logging ? 1 : 0;
        Store16(out + NUVEX_STATUS_PASS_PATHS, static_cast<uint16_t>(core->passPaths.Size()));
        Store32(out + NUVEX_STATUS_POLICIES, static_cast<uint32_t>(core->policies.Size()));
        Store32(out + NUVEX_STATUS_VIOLATIONS, core->violations);
        *returned = NUVEX_STATUS_SIZE;
        return 1;
    }
    case kBeginControl:
        session->token = NewToken(core);
        session->state = 1;
        return Reply32(out, returned, session->token);
    case kConfirmControl:
        if (session->state != 1 || Load32(in) != session->token) {
            session->state = 0;
            return 0;
        }
        session->state = 2;
        RememberController(core, pid);
        return 1;
    case kEndControl:
        session->state = 0;
        session->token = 0;
        return 1;
    case kSuspend:
    case kResume:
        core->suspended = code == kSuspend;
        Log(core, code, pid, text.Add(code == kSuspend ? "driver suspended" : "driver resumed"));
        return 1;
    case kUninstall:
        core->unload = true;
        Log(core, code, pid, text.Add("driver unloading on request"));
        return 1;
    case kSecRunNextEntry: {
        uint32_t after = Load32(in);
        for (size_t i = 0; i < core->secRun.Size(); ++i) {
            const SecRunProc* proc = core->secRun[i];
            if (proc->id <= after) continue;
            memset(out, 0, kEntrySize);
            Store32(out + NUVEX_SECRUN_ID, proc->id);
            Store32(out + NUVEX_SECRUN_ENTRY_DRIVER_DATA, proc->pid);
            memcpy(out + NUVEX_SECRUN_ENTRY_DATA, proc->image, kPathField);
            *returned = kEntrySize;
            return 1;
        }
        return 0;
    }
    case kSecRunNextSubEntry: {
        uint32_t entry = Load32(in);
        uint32_t after = Load32(in + NUVEX_WORD_SIZE);
        for (size_t i = 0; i < core->secRun.Size(); ++i) {
            SecRunProc* proc = core->secRun[i];
            if (proc->id != entry) continue;
            for (size_t j = 0; j < proc->docs.Size(); ++j) {
                const SecRunDoc& doc = proc->docs[j];
                if (doc.id <= after) continue;
                memset(out, 0, kEntrySize);
                Store32(out + NUVEX_SECRUN_ID, doc.id);
                Store32(out + NUVEX_SECRUN_SUB_READS, doc.reads);
                Store32(out + NUVEX_SECRUN_SUB_WRITES, doc.writes);
                memcpy(out + NUVEX_SECRUN_SUB_PATH, doc.path, kPathField);
                *returned = kEntrySize;
                return 1;
            }
            return 0;
        }
        return 0;
    }
    case kIsAuthProc: {
        uint32_t asked = Load32(in);
        uint32_t answer = (IsController(core, asked) ? NUVEX_AUTH_CONTROLLER : 0u) |
                          (FindSecRunByPid(core, asked) ? NUVEX_AUTH_SECURE_RUN : 0u);
        return Reply32(out, returned, answer);
    }
    case kEnFileTextSize:
        return Reply32(out, returned, DocumentTextSize(core, Load32(in)));
    case kEnFileText:
        *returned = DocumentText(core, Load32(in), out, capacity);
        return 1;
    case kPolicyNext:
    case kPolicyById: {
        uint32_t id = Load32(in);
        Policy* policy = code == kPolicyNext ? NextPolicy(core, id) : FindPolicy(core, id);
        return policy ? DeliverPolicyRecord(policy, out, returned) : 0;
    }
    case kPolicyStrNext:
    case kPolicyStrById: {
        uint32_t id = Load32(in);
        Policy* policy = code == kPolicyStrNext ? NextPolicy(core, id) : FindPolicy(core, id);
        return policy ? DeliverPolicyText(core, policy, out, capacity, returned) : 0;
    }
    case kPolicyInsert:
    case kPolicyStrInsert: {
        bool parsed = code == kPolicyInsert
                          ? PolicyFromWire(in, core->scratchRecord)
                          : DecodePolicyText(reinterpret_cast<const char*>(in), inLength,
                                             core->scratchRecord);
        uint32_t id = parsed ? Load32(core->scratchRecord + kPolicyIdOffset) : 0;
        if (!parsed || !StorePolicy(core, core->scratchRecord)) return 0;
        Log(core, code, pid, text.Add("policy ").Num(id).Add(" stored"), id);
        return 1;
    }
    case kPolicyDeleteOne: {
        uint32_t id = Load32(in);
        size_t at = LowerBound(core, id);
        if (at >= core->policies.Size() || core->policies[at]->id != id) return 0;
        Release(*core->env, core->policies[at]);
        core->policies.Erase(at);
        Log(core, code, pid, text.Add("policy ").Num(id).Add(" deleted"), id);
        return Reply32(out, returned, 1);
    }
    case kPolicyDeleteAll: {
        uint32_t count = static_cast<uint32_t>(core->policies.Size());
        ClearPolicies(core);
        Log(core, code, pid, text.Add("all policies deleted (").Num(count).Add(")"), count);
        return Reply32(out, returned, count);
    }
    case kPolicyNewId:
        return Reply32(out, returned, FreshPolicyId(core));
    case kPassPathSize:
        return Reply32(out, returned, PassPathTextSize(core));
    case kPassPathText:
        *returned = WriteSeparatedText(out, capacity, core->passPaths.Size(),
                                       [core](size_t i, const char** t, uint32_t* length) {
                                           *t = core->passPaths[i].text;
                                           *length = core->passPaths[i].length;
                                       });
        return 1;
    case kPassPathAdd: {
        uint32_t added = 0;
        if (!AddPassPaths(core, in, inLength, &added)) return 0;
        Log(core, code, pid, text.Add("pass paths added: ").Num(added), added,
            static_cast<uint32_t>(core->passPaths.Size()));
        return 1;
    }
    case kPassPathDeleteAll: {
        uint32_t count = static_cast<uint32_t>(core->passPaths.Size());
        ClearPassPaths(core);
        Log(core, code, pid, text.Add("all pass paths deleted (").Num(count).Add(")"), count);
        return 1;
    }
    case kQueryFileType:
        return QueryFileType(core, session, in, out, returned);
    case kHeaderRequest:
        return HeaderRequest(core, session, in, inLength, out, capacity, returned);
    case kGetLog: {
        uint32_t used = 0;
        while (core->log.Size() > 0 &&
               core->log[0].size <= kLogBatch - kLogBatchHeader - used) {
            memcpy(out + kLogBatchHeader + used, core->log[0].bytes, core->log[0].size);
            used += core->log[0].size;
            Release(*core->env, core->log[0].bytes);
            core->log.Erase(0);
        }
        Store32(out + NUVEX_LOG_BATCH_USED, used);
        Store32(out + NUVEX_LOG_BATCH_MORE, core->log.Size() > 0 ? 1u : 0u);
        *returned = kLogBatchHeader + used;
        return 1;
    }
    case kStartLogging:
        core->logging = true;
        Log(core, code, pid, text.Add("logging started"));
        return 1;
    case kStopLogging:
        Log(core, code, pid, text.Add("logging stopped"));
        core->logging = false;
        return 1;
    case kClearLog:
        ClearLog(core);
        return 1;
    case kIsLogging:
        return Reply32(out, returned, core->logging ? 1u : 0u);
    case kSetKey:
        core->keyParam = Load32(in + NUVEX_SET_KEY_PARAM);
        memcpy(core->documentKey, in + NUVEX_SET_KEY_KEY, sizeof core->documentKey);
        Log(core, code, pid, text.Add("document key set"), core->keyParam);
        return 1;
    case kSetSysKey:
        memcpy(core->systemKey, in, sizeof core->systemKey);
        Log(core, code, pid, text.Add("system key set"));
        return 1;
    default:
        return 0;
    }
}

}  // namespace

extern "C" {

NuvexMainCore* NuvexMainCore_Create(const NuvexSimEnv* env) {
    if (!env || !env->allocate || !env->release) return nullptr;
    auto* core = static_cast<NuvexMainCore*>(env->allocate(env->context, sizeof(NuvexMainCore)));
    if (!core) return nullptr;
    memset(static_cast<void*>(core), 0, sizeof *core);
    core->env = env;
    core->nextPolicyId = 1;
    core->policies.Init(env);
    core->passPaths.Init(env);
    core->passPathSlots.Init(env);
    core->log.Init(env);
    core->documents.Init(env);
    core->secRun.Init(env);
    core->controllers.Init(env);
    memcpy(core->systemKey, kSignature, sizeof kSignature);
    return core;
}

void NuvexMainCore_Destroy(NuvexMainCore* core) {
    if (!core) return;
    const NuvexSimEnv* env = core->env;
    ClearPolicies(core);
    ClearPassPaths(core);
    ClearLog(core);
    for (size_t i = 0; i < core->documents.Size(); ++i) Release(*env, core->documents[i]);
    for (size_t i = 0; i < core->secRun.Size(); ++i) FreeSecRun(core, core->secRun[i]);
    core->policies.Free();
    core->passPaths.Free();
    core->passPathSlots.Free();
    core->log.Free();
    core->documents.Free();
    core->secRun.Free();
    core->controllers.Free();
    memset(core->documentKey, 0, sizeof core->documentKey);
    memset(core->systemKey, 0, sizeof core->systemKey);
    env->release(env->context, core);
}

NuvexMainSession* NuvexMainCore_OpenSession(NuvexMainCore* core, uint32_t processId) {
    if (!core) return nullptr;
    auto* session = static_cast<NuvexMainSession*>(Allocate(*core->env, sizeof(NuvexMainSession)));
    if (!session) return nullptr;
    session->pid = processId;
    session->token = 0;
    session->state = 0;
    return session;
}

void NuvexMainCore_CloseSession(NuvexMainCore* core, NuvexMainSession* session) {
    if (core && session) Release(*core->env, session);
}

int NuvexMainCore_Request(NuvexMainCore* core, NuvexMainSession* session, uint32_t code,
                          const uint8_t* input, uint32_t inputLength, uint8_t* output,
                          uint32_t outputCapacity, uint32_t* returned) {
    if (returned) *returned = 0;
    if (!core || !session || !returned) return 0;
    if ((inputLength && !input) || (outputCapacity && !output)) return 0;
    const RequestShape* shape = FindShape(code);
    if (!shape) return 0;
    if (shape->input != kAnyLength && inputLength != shape->input) return 0;
    if (outputCapacity < shape->minOutput) return 0;
    if (core->unload) return 0;  // nothing is served once the driver is going away

    if (shape->handshake && session->state != 2) {
        ++core->violations;
        LogText text;
        text.Add("request ").Hex(code).Add(" outside the control handshake");
        Log(core, code, session->pid, text, core->violations, 0, false);
    }
    int ok = Serve(core, session, code, input, inputLength, output, outputCapacity, returned);
    if (!ok) *returned = 0;
    return ok;
}

int NuvexMainCore_UnloadRequested(const NuvexMainCore* core) { return core && core->unload; }

uint32_t NuvexMainCore_HandshakeViolations(const NuvexMainCore* core) {
    return core ? core->violations : 0;
}

}  // extern "C"
