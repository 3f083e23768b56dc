// The C runtime's file calls on Windows.
#include <cerrno>

#include <io.h>

#include "platform/files.h"

namespace {

errno_t fmodeset(int mode) {
    if (mode != _O_TEXT && mode != _O_BINARY) return EINVAL;
    _fmode = mode;
    return 0;
}

}  // namespace

// The MinGW header declares _set_fmode as an import from msvcrt.dll, but its
// import library has no entry for it: the import slot that calls go through
// is filled here, the way the MinGW runtime supplies its own missing imports.
extern "C" {
errno_t (__cdecl* __imp__set_fmode)(int) = fmodeset;
}

int statpath(const char* path, statinfo* data) {
    struct _stat64 info;
    if (_stat64(path, &info) != 0) return -1;
    data->st_mode = unsigned(info.st_mode);
    data->st_size = std::int64_t(info.st_size);
    return 0;
}

filehand fileopen(const char* path, statinfo* data) {
    int file = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (file < 0) {
        // A folder cannot be opened here at all: its status tells it apart.
        int why = errno;
        if (statpath(path, data) != 0) *data = statinfo{0, -1};
        errno = why;
        return filenone;
    }
    struct _stat64 info;
    if (_fstat64(file, &info) != 0) info = {};
    *data = statinfo{unsigned(info.st_mode), std::int64_t(info.st_size)};
    if ((info.st_mode & _S_IFMT) == _S_IFREG) return file;
    _close(file);
    return filenone;
}

int fileshut(filehand file) {
    return _close(file);
}

bool segsafe(std::string seg) {
    std::size_t from = 0;
    while (from <= seg.size()) {
        std::size_t upto = seg.find('\\', from);
        if (upto == std::string::npos) upto = seg.size();
        std::string name = seg.substr(from, upto - from);
        if (name.find_first_of("<>:\"|?*") != std::string::npos) return false;
        if (!name.empty() && name != "." && name.find_first_not_of(". ") == std::string::npos)
            return false;
        from = upto + 1;
    }
    return true;
}
