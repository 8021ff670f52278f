// Loading a driver: its image runs as a background process of the machine.
#pragma once

#include <string>

#include "platform/host/win32_host.h"

namespace nuvex::host {

// How long a starting driver may take to say it is ready.
constexpr int kDriverReadyMilliseconds = 5000;

// Starts the driver of the service whose key folder is `keyFolder` (its name is the folder's
// last part) and waits until it is ready. STATUS_SUCCESS, STATUS_IMAGE_ALREADY_LOADED,
// STATUS_OBJECT_NAME_NOT_FOUND (no image), STATUS_INVALID_IMAGE_FORMAT (not a program),
// STATUS_IO_TIMEOUT (never ready) or STATUS_UNSUCCESSFUL (it ended before being ready).
NTSTATUS LoadDriverOfService(const std::string& keyFolder);

}  // namespace nuvex::host
