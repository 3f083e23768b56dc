// The C runtime's file and directory calls that are named differently on
// Windows, supplied here for the system the build targets. Every path and
// name is a byte string: on Windows it is read and written as UTF-8.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#ifdef _WIN32
// _set_fmode, _O_BINARY and the _S_IF* bits are the runtime's own.
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#else
const int _O_BINARY = 0x8000;
const unsigned _S_IFMT = 0xF000;
const unsigned _S_IFDIR = 0x4000;
const unsigned _S_IFREG = 0x8000;

// Makes binary the mode of files opened later (no translation on POSIX).
int _set_fmode(int mode);
#endif

// The current folder; false with errno set when there is none, or when
// its name has no UTF-8 form.
bool workdir(std::string* path);

// The status record of _stat64: the fields the server reads, size in 64 bits.
// st_time is st_mtime, in seconds since 1970, under a name of its own: glibc
// makes st_mtime a macro. st_nsec is the part of a second on top, where the
// system keeps one. st_dev, st_ino and st_ctns (the time of the last change
// of content or status, in ns since 1970) tell one version of a file from
// another; all 0 where the system does not give them by name (Windows).
struct statinfo {
    unsigned st_mode;
    std::int64_t st_size;
    std::int64_t st_time;
    std::int64_t st_nsec;
    std::uint64_t st_dev = 0;
    std::uint64_t st_ino = 0;
    std::int64_t st_ctns = 0;
};

// _stat64: the status of a path, following links; 0 on success. A path
// that is not UTF-8 on Windows names nothing.
int statpath(const char* path, statinfo* data);

// A file opened for sending: a descriptor of the runtime, or filenone.
typedef int filehand;
const filehand filenone = -1;

// Opens a regular file for reading and reads its status from the open
// handle, so the status describes what is sent. The open never waits: a
// FIFO put in place of a file cannot hold up the server. Anything that is
// not a regular file gives filenone with its status in data (mode 0 when
// the path names nothing); a regular file that cannot be opened gives
// filenone, a file's mode in data, and errno set by the failed open.
filehand fileopen(const char* path, statinfo* data);
// Reads up to n bytes of an open file from offs; the bytes read, -1 on failure.
long fileread(filehand file, std::int64_t offs, char* data, std::size_t n);
// Closes a file from fileopen; 0 on success.
int fileshut(filehand file);

// A decoded segment of a request path (the text between two '/', not "..")
// may be looked up inside the folder it is joined to. POSIX takes every such
// name as it is. Windows also separates at '\', drops trailing dots and blanks
// (so "..." and ".. " climb like "..") and reads ':' as a drive or a data
// stream: those segments are refused, and so are the wildcard and other
// characters no Windows name may hold.
bool segsafe(std::string seg);

// A value that changes whenever an entry of the folder is added, removed or
// renamed, or the folder itself is replaced; 0 when it cannot be read.
std::int64_t dirstamp(const char* path);

// Adds the names in the folder, less "." and "..", to names, and those of
// them that are folders (or links to folders) to dirs when it is given.
// False when the folder cannot be opened; a failing close ends the process.
bool dirread(const char* path, std::set<std::string>* names, std::set<std::string>* dirs = nullptr);
