/*
 * sim_env.h - what a driver core needs from the system it runs in.
 *
 * The cores make no system calls of their own: memory, the clock, random numbers and
 * access to a caller's files come through this table, filled in by whoever embeds the
 * core (the host driver images under sim/host, a test, or a kernel driver).
 * Plain C so that a C or C++ kernel driver can include it.
 */
#ifndef NUVEX_SIM_ENV_H
#define NUVEX_SIM_ENV_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NuvexSimEnv {
    void* context; /* handed back to every callback */

    /* Memory. `allocate` returns null when no memory is left; the cores cope with that. */
    void* (*allocate)(void* context, size_t size);
    void (*release)(void* context, void* block);

    /* Current time as a Windows FILETIME (100-ns units since 1601-01-01 UTC). May be null:
     * time stamps are then 0. */
    uint64_t (*now)(void* context);

    /* A fresh random 32-bit value (handshake tokens). May be null: the core then mixes a
     * counter with the clock, which is good enough to tell handles apart. */
    uint32_t (*random32)(void* context);

    /* Reads up to `length` bytes from offset 0 of the file that handle `handle` of process
     * `processId` refers to. Stores the number read in *got and, when `path` is not null,
     * the file's name (NUL-terminated, cut to `pathCapacity`). Returns 1 when the handle
     * names a readable regular file, 0 otherwise. Needed by the main filter driver only. */
    int (*read_file_start)(void* context, uint32_t processId, uint32_t handle, uint8_t* buffer,
                           uint32_t length, uint32_t* got, char* path, uint32_t pathCapacity);

    /* Writes `length` bytes at offset 0 of that file, leaving the rest of it as it is.
     * Returns 1 when all bytes were written. Main filter driver only. */
    int (*write_file_start)(void* context, uint32_t processId, uint32_t handle,
                            const uint8_t* buffer, uint32_t length);

    /* The image name of a process (NUL-terminated, cut to `capacity`); returns 0 when it
     * is unknown. May be null. Main filter driver only. */
    int (*describe_process)(void* context, uint32_t processId, char* name, uint32_t capacity);
} NuvexSimEnv;

#ifdef __cplusplus
}
#endif

#endif
