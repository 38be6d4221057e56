#include "json_escape.hpp"

#include "json_escape_rules.hpp"

namespace zel {

namespace {

using escape_fn = std::size_t (*)(char*, std::size_t, const unsigned char*, std::size_t);

#if defined(__x86_64__)
// Chosen once, before main, by what this processor can do.
const escape_fn escape_impl = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? json_escape_rules::escape_avx2
                                          : json_escape_rules::escape_plain;
}();
#else
constexpr escape_fn escape_impl = json_escape_rules::escape_plain;
#endif

}  // namespace

std::span<const escape_variant> json_escape_variants() {
    static const escape_variant all[] = {
#if defined(__x86_64__)
        {"avx2", __builtin_cpu_supports("avx2") ? json_escape_rules::escape_avx2 : nullptr},
#endif
        {"plain", json_escape_rules::escape_plain},
    };
    return all;
}

std::size_t json_escape(char* out, std::size_t cap, const void* in, std::size_t len) {
    if (cap == 0) return 0;
    return escape_impl(out, cap, static_cast<const unsigned char*>(in), len);
}

}  // namespace zel
