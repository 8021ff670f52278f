// The calling thread's last error and the translation of errno values to Windows codes.
#include <errno.h>
#include <sys/stat.h>

#include <string>

#include "platform/host/host_internal.h"

namespace nuvex::host {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

bool ParentFolderExists(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return true;  // relative name in the current folder
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    struct stat st;
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

void SetError(DWORD error) {
    t_lastError = error;
}

DWORD ErrorFromErrno(int error, const std::string& path) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return path.empty() || ParentFolderExists(path) ? ERROR_FILE_NOT_FOUND
                                                            : ERROR_PATH_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
        case ETXTBSY:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ERROR_DISK_FULL;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        case EPIPE:
        case ECONNRESET:
        case ENOTCONN:
            return ERROR_BROKEN_PIPE;
        case ECONNREFUSED:
            return ERROR_FILE_NOT_FOUND;
        case ESPIPE:
            return ERROR_INVALID_FUNCTION;
        default:
            return ERROR_GEN_FAILURE;
    }
}

BOOL FailErrno(int error, const std::string& path) {
    return Fail(ErrorFromErrno(error, path));
}

}  // namespace nuvex::host

DWORD GetLastError() {
    return nuvex::host::t_lastError;
}

void SetLastError(DWORD error) {
    nuvex::host::t_lastError = error;
}
