// tail_state: zel_tail's position file, one line "<boot id>:<seq>\n", the
// same text the resume query carries.
//
// Promises: the file is only ever replaced whole (a new file under a random
// name in the same folder, created exclusively, written, synced, renamed over
// the old one, the folder synced), so a crash leaves either the old position
// or the new one. A path that names a directory, a FIFO, a device, a socket
// or a symbolic link is refused with a sentence saying so, before anything is
// read or written; a file larger than a position is refused unread.
// Single-threaded use; no global state.
#pragma once

#include <string>
#include <string_view>

#include "tail_message.hpp"

namespace zel::tail {

// "<32 hex>:<seq>" without a newline.
std::string format_position(const position& at);

// 0 with *out known for "<32 hex>:<seq>" followed by at most one newline;
// -1 otherwise.
int parse_position(std::string_view text, position& out);

// Reads the position at path: 0 with *out known, 1 when there is no file
// yet or it is empty (*out unknown), -1 with *err set to a sentence.
// Also makes sure the folder takes new files, so that the first save cannot
// be the first to find out it does not.
int load_state(const char* path, position& out, std::string& err);

// Replaces the file at path with at. 0, or -1 with *err set to a sentence.
int save_state(const char* path, const position& at, std::string& err);

}  // namespace zel::tail
