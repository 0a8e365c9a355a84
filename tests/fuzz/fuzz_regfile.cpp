// The .reg loader on arbitrary text. A text it refuses changes nothing and
// says why; a text it accepts saves as .reg text that loads again into the
// same registry, byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "simkernel/registry_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sim::RegistryStore store;
    const std::string empty = store.SaveRegText();
    sim::RegLoadError error;
    if (!store.LoadRegText(text, "fuzz.reg", &error)) {
        if (error.reason.empty() || store.SaveRegText() != empty) {
            std::fprintf(stderr, "a refused .reg text left changes behind, or no reason\n");
            std::abort();
        }
        return 0;
    }
    const std::string saved = store.SaveRegText();
    sim::RegistryStore again;
    if (!again.LoadRegText(saved, "saved.reg", &error)) {
        std::fprintf(stderr, "the saved text does not load: %s\n--\n%s\n", error.Message().c_str(), saved.c_str());
        std::abort();
    }
    if (again.SaveRegText() != saved) {
        std::fprintf(stderr, "the saved text loads into another registry\n--\n%s\n", saved.c_str());
        std::abort();
    }
    return 0;
}
