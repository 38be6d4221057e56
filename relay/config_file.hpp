// config_file: the relay's KEY=VALUE configuration file, read into the
// environment without ever overriding a variable already there, and the one
// rule by which any configuration input is opened (a regular file only, so a
// FIFO, a device or a directory can never block or mislead the relay).
//
// Main thread only, before any other thread exists: loading calls setenv.
#pragma once

#include <cstdio>
#include <memory>

namespace zel::config {

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

// Opens path for reading only if it is a regular file. On failure the result
// is empty and errno says why: EISDIR for a directory, EINVAL for any other
// kind of file that is not regular, or the error of the failed open.
unique_file open_regular(const char* path);

// Reads a KEY=VALUE file into the environment; only a regular file is read,
// each line whole up to 65,536 bytes, and a longer line is skipped whole.
// 0 when the file was read or the path is null or empty; 1 when it was not
// required and cannot be opened as a regular file; -1 after printing
// "failed to open config file: %s\n".
int load_conf_file(const char* path, bool required);

}  // namespace zel::config
