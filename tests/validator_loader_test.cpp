#include <gtest/gtest.h>

#include <string>

#include "validator/loader.h"

namespace {

std::string double_path(const char* kind)
{
    return std::string(MENDORA_BUILD_DIR) + "/test_doubles/libvalidator_double_" + kind + ".so";
}

struct LoadCase {
    const char* name;
    std::string path;
    int loaded;
    std::string message;
};

// Each failure names the system's own reason (the loader's text, or the error number of a missing
// file) with no stray error number in front of it.
TEST(LoadValidator, ReportsEachFailureAndLoadsTheSoundLibrary)
{
    const std::string absent = double_path("absent"), no_library = std::string(MENDORA_SOURCE_DIR) + "/README.md";
    const LoadCase cases[] = {
        {"missing file", absent, 0, "validator library not found beside application: " + absent + " (error 2)"},
        {"file that is no library", no_library, 0, "validator library exists but the system could not load it: " +
                                                       no_library + "; " + no_library + ": invalid ELF header"},
        {"missing export", double_path("missing_export"), 0, "validator export missing: velto_xavc_close"},
        {"wrong ABI", double_path("wrong_abi"), 0, "validator ABI mismatch"},
        {"sound library", double_path("good"), 1, ""},
    };
    for (const LoadCase& c : cases) {
        char message[512] = {};
        EXPECT_EQ(validator::load_validator_from(c.path.c_str(), message, sizeof message), c.loaded) << c.name;
        EXPECT_EQ(std::string(message), c.message) << c.name;
        EXPECT_EQ(validator::validator_api.loaded, c.loaded) << c.name;
        if (!c.loaded) {
            EXPECT_EQ(validator::validator_api.library, nullptr) << c.name;
        }
    }
    ASSERT_TRUE(validator::validator_api.close != nullptr);
    ASSERT_EQ(validator::validator_api.get_abi(), validator::validator_abi);
    // a library of the six exports alone loads as before; it just draws no thumbnails
    EXPECT_EQ(validator::thumbnail_export(), nullptr);

    // already loaded: the path is not even looked at
    char message[512] = {};
    EXPECT_EQ(validator::load_validator_from("/nonexistent", message, sizeof message), 1);
    EXPECT_STREQ(message, "");
    validator::unload_validator();
    EXPECT_EQ(validator::validator_api.loaded, 0);
    EXPECT_EQ(validator::validator_api.push, nullptr);
}

}  // namespace
