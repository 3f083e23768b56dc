// The C runtime's file and directory calls that are named differently on
// Windows, supplied here for the system the build targets.
#pragma once
#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#error "the Windows side of the platform layer is not written yet"
#else
#include <dirent.h>
const int _O_BINARY = 0x8000;
const unsigned _S_IFMT = 0xF000;
const unsigned _S_IFDIR = 0x4000;
const unsigned _S_IFREG = 0x8000;
// The status record of _stat64: the fields the server reads, size in 64 bits.
struct statinfo {
    unsigned st_mode;
    std::int64_t st_size;
};
#endif

// Makes binary the mode of files opened later (no translation on POSIX).
int _set_fmode(int mode);
// The current directory in a buffer from malloc, or null.
char* _getcwd(char* buff, int size);
// _stat64: the status of a path, following links; 0 on success.
int statpath(const char* path, statinfo* data);
