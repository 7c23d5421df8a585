/*
** libFuzzer target: the fuzzer's bytes choose the separators, the modes, the
** character set and the row; the library's row searches and field scanner
** must agree with the plain reference and stay inside the row's bytes.
*/
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "support/split_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t at = 0;
    splitref::pick_fn pick = [&](uint32_t bound) -> uint32_t {
        uint32_t v = 0;
        if (at < size)
            v = data[at++];
        if (bound > 256 && at < size)
            v = v << 8 | data[at++];
        return v % bound;
    };
    const splitref::split_case c = splitref::make_case(pick);
    const std::string diff = splitref::check_case(c);
    if (!diff.empty()) {
        std::fprintf(stderr, "difference: %s\n", diff.c_str());
        std::abort();
    }
    return 0;
}
