// The C runtime's Windows-named file calls on POSIX.
#include <cerrno>
#include <cstdlib>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

int _set_fmode(int) {
    // POSIX streams never translate line ends: every mode is binary.
    return 0;
}

bool workdir(std::string* path) {
    char* cwd = getcwd(nullptr, 0);
    if (!cwd) return false;
    *path = cwd;
    free(cwd);
    return true;
}

namespace {

statinfo statfrom(const struct stat& info) {
    return statinfo{unsigned(info.st_mode),
                    std::int64_t(info.st_size),
                    std::int64_t(info.st_mtime),
                    std::int64_t(info.st_mtim.tv_nsec),
                    std::uint64_t(info.st_dev),
                    std::uint64_t(info.st_ino),
                    std::int64_t(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
}

}  // namespace

int statpath(const char* path, statinfo* data) {
    struct stat info;
    if (stat(path, &info) != 0) return -1;
    *data = statfrom(info);
    return 0;
}

filehand fileopen(const char* path, statinfo* data) {
    int file = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        int why = errno;
        // Missing: nothing more to learn. Otherwise the kind of what could
        // not be opened decides the answer.
        if (why == ENOENT || why == ENOTDIR || statpath(path, data) != 0) *data = statinfo{0, -1, 0, 0};
        errno = why;
        return filenone;
    }
    struct stat info;
    if (fstat(file, &info) != 0) info = {};
    *data = statfrom(info);
    if (S_ISREG(info.st_mode)) return file;
    close(file);
    return filenone;
}

long fileread(filehand file, std::int64_t offs, char* data, std::size_t n) {
    return long(pread(file, data, n, off_t(offs)));
}

int fileshut(filehand file) {
    return close(file);
}

std::int64_t dirstamp(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0) return 0;
    std::int64_t when = std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return when ^ std::int64_t(info.st_ino) << 20;
}

bool segsafe(std::string) {
    return true;
}

namespace {

bool dirholds(DIR* dir, const dirent* item) {
    // Most file systems give the kind in the entry itself. A link is followed,
    // as a request for it would be; an entry of unknown kind is looked up.
    if (item->d_type == DT_DIR) return true;
    if (item->d_type != DT_LNK && item->d_type != DT_UNKNOWN) return false;
    struct stat info;
    return fstatat(dirfd(dir), item->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool dirread(const char* path, std::set<std::string>* names, std::set<std::string>* dirs) {
    DIR* dir = opendir(path);
    if (!dir) return false;
    while (dirent* item = readdir(dir)) {
        std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        names->insert(name);
        if (dirs && dirholds(dir, item)) dirs->insert(name);
    }
    if (closedir(dir) != 0) {
        perror("closedir 2");
        exit(1);
    }
    return true;
}
