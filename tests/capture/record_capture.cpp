#include "record_capture.hpp"

#include "event_socket.hpp"

#include <cstdio>
#include <cstdlib>

namespace zel_test {

namespace {

std::vector<std::string> captured;

void append_to_file(const char* json, std::size_t len)
{
    static std::FILE* file = [] {
        const char* path = std::getenv("ZEL_RECORD_FILE");
        return path != nullptr ? std::fopen(path, "w") : nullptr;
    }();
    if (file == nullptr)
        return;
    std::fwrite(json, 1, len, file);
    std::fputc('\n', file);
    std::fflush(file);
}

void sink(const char* json, std::size_t len)
{
    captured.emplace_back(json, len);
    append_to_file(json, len);
}

} // namespace

void start_capture()
{
    zel::record_sink = sink;
    captured.clear();
}

const std::vector<std::string>& records()
{
    return captured;
}

} // namespace zel_test
