// The C runtime's file calls on Windows, over the system's UTF-16 names: the
// UTF-8 texts of the server are converted here, at each call, and nowhere else.
#include <cerrno>
#include <cstring>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <direct.h>
#include <io.h>

#include "platform/files.h"

namespace {

// The UTF-8 form of a name; false for a name with a lone surrogate, which
// has none (no request could reach it).
bool narrow(const std::wstring& wide, std::string* text) {
    text->clear();
    if (wide.empty()) return true;
    int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), int(wide.size()), nullptr, 0,
                                   nullptr, nullptr);
    if (size <= 0) return false;
    text->resize(std::size_t(size));
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), int(wide.size()), &(*text)[0], size,
                               nullptr, nullptr) == size;
}

// The UTF-16 form of a UTF-8 path, taken only when it turns back into the
// same bytes: a lenient reading (of an overlong form, a surrogate, a broken
// sequence) could make a different request name an existing file, and what
// the system's check lets through is not the same in every version.
bool widen(const char* path, std::wstring* wide) {
    wide->clear();
    int length = int(std::strlen(path));
    if (length == 0) return true;
    int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, length, nullptr, 0);
    if (size <= 0) return false;
    wide->resize(std::size_t(size));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, length, &(*wide)[0], size) != size) return false;
    std::string back;
    return narrow(*wide, &back) && back == path;
}

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

bool workdir(std::string* path) {
    wchar_t* cwd = _wgetcwd(nullptr, 0);
    if (!cwd) return false;
    bool done = narrow(cwd, path);
    free(cwd);
    if (!done) errno = EILSEQ;
    return done;
}

int statpath(const char* path, statinfo* data) {
    std::wstring wide;
    struct _stat64 info;
    if (!widen(path, &wide)) {
        errno = ENOENT;
        return -1;
    }
    if (_wstat64(wide.c_str(), &info) != 0) return -1;
    data->st_mode = unsigned(info.st_mode);
    data->st_size = std::int64_t(info.st_size);
    data->st_time = std::int64_t(info.st_mtime);
    data->st_nsec = 0;
    // The runtime gives no file's identity by name: no small file is kept by
    // it. Its creation time still tells a file put in another's place.
    data->st_dev = data->st_ino = 0;
    data->st_ctns = std::int64_t(info.st_ctime) * 1000000000;
    return 0;
}

filehand fileopen(const char* path, statinfo* data) {
    std::wstring wide;
    if (!widen(path, &wide)) {
        *data = statinfo{0, -1, 0, 0};
        errno = ENOENT;
        return filenone;
    }
    int file = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (file < 0) {
        // A folder cannot be opened here at all: its status tells it apart.
        int why = errno;
        if (statpath(path, data) != 0) *data = statinfo{0, -1, 0, 0};
        errno = why;
        return filenone;
    }
    struct _stat64 info;
    if (_fstat64(file, &info) != 0) info = {};
    // The runtime's status stops at the second; the handle's time has 100 ns steps.
    FILETIME made, seen, wrote;
    std::int64_t nsec = 0;
    if (GetFileTime(HANDLE(_get_osfhandle(file)), &made, &seen, &wrote))
        nsec = std::int64_t((std::uint64_t(wrote.dwHighDateTime) << 32 | wrote.dwLowDateTime) % 10000000) * 100;
    *data = statinfo{unsigned(info.st_mode), std::int64_t(info.st_size), std::int64_t(info.st_mtime), nsec};
    if ((info.st_mode & _S_IFMT) == _S_IFREG) return file;
    _close(file);
    return filenone;
}

long fileread(filehand file, std::int64_t offs, char* data, std::size_t n) {
    if (_lseeki64(file, offs, SEEK_SET) < 0) return -1;
    return long(_read(file, data, unsigned(n < 0x40000000 ? n : 0x40000000)));
}

int fileshut(filehand file) {
    return _close(file);
}

std::int64_t dirstamp(const char* path) {
    std::wstring wide;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!widen(path, &wide) || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return 0;
    // In 100 ns steps: two changes within a second still differ.
    return std::int64_t(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
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

bool dirread(const char* path, std::set<std::string>* names, std::set<std::string>* dirs) {
    std::wstring wide;
    if (!widen(path, &wide)) return false;
    if (wide.empty() || (wide.back() != L'/' && wide.back() != L'\\')) wide += L'\\';
    wide += L'*';
    WIN32_FIND_DATAW item;
    // The basic level leaves out the short 8.3 names, which are never listed.
    HANDLE find = FindFirstFileExW(wide.c_str(), FindExInfoBasic, &item, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return false;
    do {
        std::string name;
        if (!narrow(item.cFileName, &name) || name == "." || name == "..") continue;
        names->insert(name);
        if (dirs && (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) dirs->insert(name);
    } while (FindNextFileW(find, &item));
    if (!FindClose(find)) {
        errno = EBADF;
        perror("closedir 2");
        exit(1);
    }
    return true;
}
