// The C runtime's Windows-named file calls on POSIX.
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

bool segsafe(std::string) {
    return true;
}
