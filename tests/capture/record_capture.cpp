#include "record_capture.hpp"

#include "event_socket.hpp"
#include "sip_record.hpp"

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

std::vector<std::string> records_of(const zel::datagram& d)
{
    start_capture();
    char src[zel::kEndpointSize];
    char dst[zel::kEndpointSize];
    zel::format_endpoint(src, d.source.addr.data(), d.source.port);
    zel::format_endpoint(dst, d.destination.addr.data(), d.destination.port);
    zel::parse_sip(d.payload.data(), d.payload.size(), src, dst, d.sec, d.usec);
    return captured;
}

} // namespace zel_test
