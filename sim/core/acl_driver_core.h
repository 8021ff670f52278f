/*
 * acl_driver_core.h - request handling of the access-control driver "NuvexACL" (device
 * "NuvexACLcdo_3"), free of system calls (memory and clock come through NuvexSimEnv).
 * Not thread-safe: the embedder serialises all calls on one core. Requests and the layouts
 * of the policy, status and log records are those of nuvex_wire.h.
 */
#ifndef NUVEX_ACL_DRIVER_CORE_H
#define NUVEX_ACL_DRIVER_CORE_H

#include <stddef.h>
#include <stdint.h>

#include "nuvex_wire.h"
#include "sim_env.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NuvexAclCore NuvexAclCore;

#define NUVEX_ACL_MAX_POLICIES 1024u
#define NUVEX_ACL_MAX_LOG_RECORDS 1024u /* the oldest records give way */

NuvexAclCore* NuvexAclCore_Create(const NuvexSimEnv* env);
void NuvexAclCore_Destroy(NuvexAclCore* core);

/* Serves one request from process `processId`; see NuvexMainCore_Request. */
int NuvexAclCore_Request(NuvexAclCore* core, uint32_t processId, uint32_t code,
                         const uint8_t* input, uint32_t inputLength, uint8_t* output,
                         uint32_t outputCapacity, uint32_t* returned);

#ifdef __cplusplus
}
#endif

#endif
