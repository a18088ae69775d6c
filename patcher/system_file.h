#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The few calls of the patch program that differ between the systems, on
// plain descriptors: system_file_posix.cpp and system_file_win.cpp. Paths
// are in the system's own encoding, on Windows in UTF-8 (crossing the system
// as UTF-16, long ones with the prefix that lifts the 260-character limit).
// Failures leave errno set.
namespace system_file {

// The program's arguments (on Windows from the wide command line, as UTF-8).
std::vector<std::string> program_arguments(int argc, char **argv);

int open_for_reading(const char *path);
// Up to size bytes; 0 at the end, < 0 on failure.
long long read_some(int fd, char *to, std::size_t size);
bool write_all(int fd, const char *data, std::size_t size);
// False when the close reports a failed write.
bool close_file(int fd);
bool file_size(int fd, std::size_t *size);
// A read-only mapping of the open file's first size bytes, or null where
// the system does not map (the caller then reads the file).
const char *map_file(int fd, std::size_t size);
void unmap_file(const char *view, std::size_t size);

// A new file beside `beside` (its name and a random suffix), open for
// writing; its name in *path. < 0 on failure.
int create_temporary(const std::string &beside, std::string *path);
// Gives the open file the permissions of the file at `from`, where the
// system has them.
void copy_permissions(int fd, const std::string &from);
// Moves source over target in one step.
bool replace_file(const std::string &source, const std::string &target);
void remove_file(const std::string &path);
// Whether a failure's errno means the disk or the quota is full.
bool is_out_of_space(int error);

} // namespace system_file
