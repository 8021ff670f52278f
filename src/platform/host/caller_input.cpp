// Caller-named inputs on the host: checked through the file layer's input open, then opened
// as a host handle through that checked descriptor (never by the name again).
#include "platform/caller_input.h"

#include <string>

#include "files/posix_files.h"
#include "platform/host/host_internal.h"

namespace nuvex::platform {

HANDLE OpenCallerInput(const char* path, DWORD share) {
    return host::NoThrow<HANDLE>(INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> HANDLE {
        if (path == nullptr) {
            host::SetError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        files::InputRefusal refusal = files::InputRefusal::None;
        files::Fd checked = files::OpenInput(host::TranslatePath(path), files::InputKind::Plain, refusal);
        switch (refusal) {
        case files::InputRefusal::None: break;
        case files::InputRefusal::NotRegular:
            host::SetError(ERROR_INVALID_FUNCTION);
            return INVALID_HANDLE_VALUE;
        case files::InputRefusal::CannotOpen:
            host::SetError(host::ErrorFromErrno(errno, host::TranslatePath(path)));
            return INVALID_HANDLE_VALUE;
        default:
            host::SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        const std::string through = "/proc/self/fd/" + std::to_string(checked.get());
        return CreateFileA(through.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    });
}

}  // namespace nuvex::platform
