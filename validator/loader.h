#pragma once
// Loading the decode-validator library beside the executable into the table of its six exports.
#include <cstddef>

#include "validator/validator_api.h"

namespace validator {

struct ValidatorApi {
    void* library;
    GetAbiFn get_abi;
    OpenFn open;
    PushFn push;
    FinishFn finish;
    GetResultFn get_result;
    CloseFn close;
    int loaded;
};

extern ValidatorApi validator_api;

// Loads the library beside the executable; 1 when it and all six exports are there, else 0
// with the reason in `message`.
int load_validator(char* message, size_t cap);
// Loads from an explicit path (the tests use it with their own test-double libraries).
int load_validator_from(const char* library_path, char* message, size_t cap);
// The loaded library's optional thumbnail export; null when the library is not loaded or is an
// older one without it.
ThumbnailFn thumbnail_export();
// The loaded library's optional open with a grant of frame threads; null without it.
OpenThreadsFn open_threads_export();
// Unloads the library if loaded and clears the table.
void unload_validator();

}  // namespace validator
