// The C runtime's Windows-named file calls on POSIX.
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

int _set_fmode(int) {
    // POSIX streams never translate line ends: every mode is binary.
    return 0;
}

char* _getcwd(char* buff, int size) {
    return getcwd(buff, size_t(size));
}

int statpath(const char* path, statinfo* data) {
    struct stat info;
    if (stat(path, &info) != 0) return -1;
    data->st_mode = unsigned(info.st_mode);
    data->st_size = std::int64_t(info.st_size);
    return 0;
}

filehand fileopen(const char* path, statinfo* data) {
    int file = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        int why = errno;
        // Missing: nothing more to learn. Otherwise the kind of what could
        // not be opened decides the answer.
        if (why == ENOENT || why == ENOTDIR || statpath(path, data) != 0) *data = statinfo{0, -1};
        errno = why;
        return filenone;
    }
    struct stat info;
    if (fstat(file, &info) != 0) info = {};
    *data = statinfo{unsigned(info.st_mode), std::int64_t(info.st_size)};
    if (S_ISREG(info.st_mode)) return file;
    close(file);
    return filenone;
}

int fileshut(filehand file) {
    return close(file);
}

bool segsafe(std::string) {
    return true;
}
