// The registry on disk: a key is a folder under <root>/Registry, a value is a file
// "<value name>.<type number>" in its key's folder holding exactly the value's bytes. Key and
// value names are found case-insensitively, as Windows compares them. Every change is on the
// disk when the call that made it returns: a value's bytes are flushed before its file is
// renamed into place and its key's folder is flushed after, a new key's folder is flushed into
// its parent, a removed key's parent is flushed.
#pragma once

#include <string>
#include <vector>

#include "platform/host/win32_host.h"

namespace nuvex::host {

// Folder of HKEY_LOCAL_MACHINE; empty when the machine root is refused.
std::string LocalMachineFolder();

// Splits a key path at `\` and `/`, skipping empty parts. False for "." or "..".
bool SplitKeyPath(const char* path, std::vector<std::string>* parts);

// Walks `parts` down from the key folder `base`, each part matched case-insensitively,
// creating missing keys (owner-only, each flushed into its parent) when `create` is set. ERROR_SUCCESS and *folder, or a
// Windows error (ERROR_ACCESS_DENIED for an empty `base`, a refused machine root).
LONG FindKeyFolder(const std::string& base, const std::vector<std::string>& parts, bool create,
                   std::string* folder);

// True when the key folder exists (a key deleted under an open handle does not).
bool KeyExists(const std::string& folder);
bool KeyHasSubkeys(const std::string& folder);

LONG WriteValue(const std::string& folder, const std::string& name, DWORD type, const void* data,
                size_t size);
LONG ReadValue(const std::string& folder, const std::string& name, DWORD* type, std::string* bytes);
// A REG_SZ / REG_EXPAND_SZ value up to its first zero, or empty when absent.
std::string ReadStringValue(const std::string& folder, const std::string& name);
bool ReadDwordValue(const std::string& folder, const std::string& name, DWORD* value);

// Removes a key folder: its values only (and the folder) or everything under it.
LONG RemoveKey(const std::string& folder, bool withSubkeys);

}  // namespace nuvex::host
