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
    std::string message_prefix;
};

TEST(LoadValidator, ReportsEachFailureAndLoadsTheSoundLibrary)
{
    const LoadCase cases[] = {
        {"missing file", double_path("absent"), 0, "validator library not found beside application: "},
        {"file that is no library", std::string(MENDORA_SOURCE_DIR) + "/CMakeLists.txt", 0,
         "validator library exists but the system could not load it: "},
        {"missing export", double_path("missing_export"), 0, "validator export missing: velto_xavc_close"},
        {"wrong ABI", double_path("wrong_abi"), 0, "validator ABI mismatch"},
        {"sound library", double_path("good"), 1, ""},
    };
    for (const LoadCase& c : cases) {
        char message[512] = {};
        int ok = validator::load_validator_from(c.path.c_str(), message, sizeof message);
        EXPECT_EQ(ok, c.loaded) << c.name;
        EXPECT_EQ(std::string(message).substr(0, c.message_prefix.size()), c.message_prefix) << c.name;
        EXPECT_EQ(validator::validator_api.loaded, c.loaded) << c.name;
        if (!c.loaded) {
            EXPECT_EQ(validator::validator_api.library, nullptr) << c.name;
        }
    }
    ASSERT_TRUE(validator::validator_api.close != nullptr);
    ASSERT_EQ(validator::validator_api.get_abi(), validator::validator_abi);

    // already loaded: the path is not even looked at
    char message[512] = {};
    EXPECT_EQ(validator::load_validator_from("/nonexistent", message, sizeof message), 1);
    EXPECT_STREQ(message, "");
    validator::unload_validator();
    EXPECT_EQ(validator::validator_api.loaded, 0);
    EXPECT_EQ(validator::validator_api.push, nullptr);
}

// The loader's own reason on this system, with no stray error number in front of it.
TEST(LoadValidator, NamesTheLoadersReasonForAFileThatIsNoLibrary)
{
    char message[512] = {};
    std::string path = std::string(MENDORA_SOURCE_DIR) + "/README.md";
    ASSERT_EQ(validator::load_validator_from(path.c_str(), message, sizeof message), 0);
    EXPECT_EQ(std::string(message),
              "validator library exists but the system could not load it: " + path + "; " + path + ": invalid ELF header");
}

TEST(LoadValidator, NamesTheSystemErrorOfAMissingFile)
{
    char message[512] = {};
    std::string path = double_path("absent");
    ASSERT_EQ(validator::load_validator_from(path.c_str(), message, sizeof message), 0);
    EXPECT_EQ(std::string(message), "validator library not found beside application: " + path + " (error 2)");
}

}  // namespace
