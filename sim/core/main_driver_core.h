/*
 * main_driver_core.h - request handling of the main filter driver "Nuvex" (device
 * "Nuvexcdo_3"), free of system calls.
 *
 * The core is a function from (request code, input bytes, output capacity) to (ok flag,
 * reply bytes) over the driver's state. Everything it needs from the system comes through
 * NuvexSimEnv. It is not thread-safe: the embedder serialises all calls on one core (one
 * lock around NuvexMainCore_Request, OpenSession and CloseSession).
 *
 * A session is one open handle of the control device (one connection on the host). The
 * control handshake lives in the session.
 *
 * Requests, their shapes and the layouts of requests and replies are those of
 * nuvex_wire.h. The status counts handshake violations: requests that need the control
 * handshake and arrived on a handle without a completed one (they are served all the same).
 */
#ifndef NUVEX_MAIN_DRIVER_CORE_H
#define NUVEX_MAIN_DRIVER_CORE_H

#include <stddef.h>
#include <stdint.h>

#include "nuvex_wire.h"
#include "sim_env.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NuvexMainCore NuvexMainCore;
typedef struct NuvexMainSession NuvexMainSession;

/* Limits of the tables (requests that would exceed them fail). */
#define NUVEX_MAIN_MAX_POLICIES 1024u
#define NUVEX_MAIN_MAX_PASS_PATHS 1024u
#define NUVEX_MAIN_MAX_PATH 259u          /* characters of one pass path */
#define NUVEX_MAIN_MAX_LOG_RECORDS 4096u  /* the oldest records give way */
#define NUVEX_MAIN_MAX_DOCUMENTS 1024u    /* the oldest documents give way */
#define NUVEX_MAIN_MAX_SECRUN 128u        /* secure-run processes; the oldest give way */
#define NUVEX_MAIN_MAX_SECRUN_DOCS 64u    /* documents per secure-run process */

/* Policy texts: "NVP", the decimal policy ID, "|", the encoded record content, "|"
 * (policy_codec.h). */

/* Returns null when memory is short. `env` must outlive the core. */
NuvexMainCore* NuvexMainCore_Create(const NuvexSimEnv* env);
void NuvexMainCore_Destroy(NuvexMainCore* core);

/* A new handle opened by process `processId`; null when memory is short. */
NuvexMainSession* NuvexMainCore_OpenSession(NuvexMainCore* core, uint32_t processId);
void NuvexMainCore_CloseSession(NuvexMainCore* core, NuvexMainSession* session);

/* Serves one request. Writes at most `outputCapacity` bytes to `output` and their number
 * to *returned (0 on failure). Returns 1 for success, 0 for failure. */
int NuvexMainCore_Request(NuvexMainCore* core, NuvexMainSession* session, uint32_t code,
                          const uint8_t* input, uint32_t inputLength, uint8_t* output,
                          uint32_t outputCapacity, uint32_t* returned);

/* 1 once the uninstall request has been answered: the embedder unloads the driver. */
int NuvexMainCore_UnloadRequested(const NuvexMainCore* core);

/* Handshake violations so far (also in the status). */
uint32_t NuvexMainCore_HandshakeViolations(const NuvexMainCore* core);

#ifdef __cplusplus
}
#endif

#endif
