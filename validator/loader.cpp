#include "validator/loader.h"

#include <cstring>

#include "basics/output.h"
#include "platform/platform.h"

namespace validator {

ValidatorApi validator_api;

static const char* const export_names[] = {"velto_xavc_get_abi", "velto_xavc_open",       "velto_xavc_push",
                                           "velto_xavc_finish",  "velto_xavc_get_result", "velto_xavc_close"};

// The system's message loses its trailing line breaks, spaces and full stop.
static void trim_message(char* text)
{
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = 0;
}

int load_validator_from(const char* path, char* message, size_t cap)
{
    if (validator_api.loaded)
        return 1;
    unsigned long code = 0;
    if (!platform::file_attributes_readable(path, &code)) {
        basics::bounded_format(message, cap, "validator %s not found beside application: %s (%s %lu)",
                               platform::library_word, path, platform::error_code_word, code);
        return 0;
    }
    char reason[600];
    reason[0] = 0;
    void* lib = platform::load_library(path, reason, sizeof reason);
    if (!lib) {
        trim_message(reason);
        basics::bounded_format(message, cap, "validator %s exists but %s could not load it: %s; %s",
                               platform::library_word, platform::system_word, path, reason);
        return 0;
    }
    void* symbols[6];
    for (int i = 0; i < 6; i++) {
        symbols[i] = platform::find_symbol(lib, export_names[i]);
        if (!symbols[i]) {
            platform::free_library(lib);
            std::memset(&validator_api, 0, sizeof validator_api);
            basics::bounded_format(message, cap, "validator export missing: %s", export_names[i]);
            return 0;
        }
    }
    ValidatorApi api{};
    api.library = lib;
    api.get_abi = reinterpret_cast<GetAbiFn>(symbols[0]);
    api.open = reinterpret_cast<OpenFn>(symbols[1]);
    api.push = reinterpret_cast<PushFn>(symbols[2]);
    api.finish = reinterpret_cast<FinishFn>(symbols[3]);
    api.get_result = reinterpret_cast<GetResultFn>(symbols[4]);
    api.close = reinterpret_cast<CloseFn>(symbols[5]);
    if (api.get_abi() != validator_abi) {
        platform::free_library(lib);
        std::memset(&validator_api, 0, sizeof validator_api);
        basics::bounded_format(message, cap, "validator ABI mismatch");
        return 0;
    }
    api.loaded = 1;
    validator_api = api;
    return 1;
}

int load_validator(char* message, size_t cap)
{
    if (validator_api.loaded)
        return 1;
    char exe[2048];
    if (!platform::own_executable_path(exe, sizeof exe)) {
        basics::bounded_format(message, cap, "cannot determine executable path");
        return 0;
    }
    // keep the folder with its trailing separator
    char* cut = std::strrchr(exe, platform::path_separator);
    if (cut)
        cut[1] = 0;
    else
        exe[0] = 0;
    char path[2300];
    basics::bounded_format(path, sizeof path, "%s%s", exe, platform::validator_library_name);
    return load_validator_from(path, message, cap);
}

ThumbnailFn thumbnail_export()
{
    if (!validator_api.loaded || !validator_api.library)
        return nullptr;
    return reinterpret_cast<ThumbnailFn>(platform::find_symbol(validator_api.library, thumbnail_export_name));
}

OpenThreadsFn open_threads_export()
{
    if (!validator_api.loaded || !validator_api.library)
        return nullptr;
    return reinterpret_cast<OpenThreadsFn>(platform::find_symbol(validator_api.library, open_threads_export_name));
}

void unload_validator()
{
    if (validator_api.loaded && validator_api.library)
        platform::free_library(validator_api.library);
    std::memset(&validator_api, 0, sizeof validator_api);
}

}  // namespace validator
