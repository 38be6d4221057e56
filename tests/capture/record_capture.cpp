#include "record_capture.hpp"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace zel_test {

namespace {

void append_to_file(std::string_view record) {
    static std::FILE* file = [] {
        const char* path = std::getenv("ZEL_RECORD_FILE");
        return path != nullptr ? std::fopen(path, "w") : nullptr;
    }();
    if (file == nullptr) return;
    std::fwrite(record.data(), 1, record.size(), file);
    std::fputc('\n', file);
    std::fflush(file);
}

}  // namespace

zel::endpoint endpoint_of(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    const std::string addr(text.substr(0, colon));
    zel::endpoint e;
    if (colon == std::string_view::npos || inet_pton(AF_INET, addr.c_str(), e.addr.data()) != 1)
        throw std::invalid_argument("not an IPv4 end point: " + std::string(text));
    e.port = static_cast<std::uint16_t>(std::stoul(std::string(text.substr(colon + 1))));
    return e;
}

std::optional<std::string> record_of(const zel::datagram& d, const zel::record_options& options,
                                     zel::drop_counts& drops) {
    static zel::record_buffer buffer;
    const std::string_view record = zel::parse_sip(d, options, buffer, drops);
    if (record.empty()) return std::nullopt;
    append_to_file(record);
    return std::string(record);
}

std::optional<std::string> record_of(std::string_view payload, const char* src, const char* dst,
                                     std::int64_t sec, std::int64_t usec,
                                     const zel::record_options& options, zel::drop_counts& drops) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[payload.size()]);
    std::memcpy(copy.get(), payload.data(), payload.size());
    zel::datagram d;
    d.payload = {copy.get(), payload.size()};
    d.source = endpoint_of(src);
    d.destination = endpoint_of(dst);
    d.sec = sec;
    d.usec = usec;
    return record_of(d, options, drops);
}

}  // namespace zel_test
