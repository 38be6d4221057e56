#include "json_escape.hpp"

#include "json_escape_rules.hpp"

namespace zel {

namespace json_escape_rules {

// One byte at a time, each escape written only after one test that it fits
// with the NUL, exactly as the rules read: the reference that every faster
// version must match byte for byte, and the whole story on processors
// without AVX2.
std::size_t escape_plain(char* out, std::size_t cap, const unsigned char* in, std::size_t len)
{
    std::size_t j = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const unsigned char c = in[i];
        const std::size_t needed = kEscLen[c];
        if (j + needed >= cap)
            break;
        if (needed == 1)
            out[j] = static_cast<char>(c);
        else
            write_escape(out + j, c);
        j += needed;
    }
    out[j] = '\0';
    return j;
}

} // namespace json_escape_rules

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

} // namespace

std::span<const escape_variant> json_escape_variants()
{
    static const escape_variant all[] = {
#if defined(__x86_64__)
            {"avx2", __builtin_cpu_supports("avx2") ? json_escape_rules::escape_avx2 : nullptr},
#endif
            {"plain", json_escape_rules::escape_plain},
    };
    return all;
}

std::size_t json_escape(char* out, std::size_t cap, const void* in, std::size_t len)
{
    if (cap == 0)
        return 0;
    return escape_impl(out, cap, static_cast<const unsigned char*>(in), len);
}

} // namespace zel
