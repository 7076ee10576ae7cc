#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gui/recovery_run.h"
#include "platform/platform.h"

namespace {

TEST(AppendArgument, QuotesOnlyWhatNeedsItAndStopsAtTheEnd)
{
    const size_t cap = gui::command_line_capacity;
    struct {
        const char* name;
        size_t filled;  // characters already in the line before `line`
        const char* line;
        const char* argument;
        const char* added;  // what the line gains
    } rows[] = {
        {"bare path into an empty line", 0, "", "C:\\work", "C:\\work"},
        {"space before a later argument", 0, "a.exe", "-o", " -o"},
        {"empty argument adds only the space", 0, "a.exe", "", " "},
        {"space", 0, "a.exe", "C:\\My Work", " \"C:\\My Work\""},
        {"tab", 0, "a.exe", "a\tb", " \"a\tb\""},
        {"line feed and form feed", 0, "a.exe", "a\nb\fc", " \"a\nb\fc\""},
        {"double quote", 0, "a.exe", "say \"hi\"", " \"say \\\"hi\\\"\""},
        {"quote alone quotes the argument", 0, "a.exe", "a\"b", " \"a\\\"b\""},
        {"trailing backslash unquoted", 0, "a.exe", "C:\\", " C:\\"},
        {"trailing backslash kept inside quotes", 0, "a.exe", "C:\\My Work\\", " \"C:\\My Work\\\""},
        {"non-ASCII bytes pass through", 0, "a.exe", "C:\\K\xc3\xa4rte", " C:\\K\xc3\xa4rte"},
        {"bare argument cut", cap - 4, "", "abcdef", " ab"},
        {"quoted argument loses its closing quote", cap - 6, "", "a b c", " \"a b"},
        {"escape that no longer fits its quote", cap - 5, "", "x\"y", " \"x\\"},
        {"full line takes nothing", cap - 1, "", "abc", ""},
    };
    for (const auto& r : rows) {
        std::string before = std::string(r.filled, 'x') + r.line;
        char buf[gui::command_line_capacity + 8];
        std::memset(buf, '#', sizeof buf);
        std::memcpy(buf, before.c_str(), before.size() + 1);
        gui::append_argument(buf, r.argument);
        EXPECT_EQ(buf[cap], '#') << r.name << ": wrote past the buffer";
        buf[cap] = 0;
        EXPECT_EQ(std::string(buf), before + r.added) << r.name;
    }
}

TEST(CommandLine, OneLinePerRunMode)
{
    struct {
        gui::RunMode mode;
        const char* expected;
    } rows[] = {
        {gui::AnalysisOnly,
         "C:\\m.exe \"D:\\card 1.img\" --work-dir \"C:\\my work\" -o \"C:\\my work\" --analysis-only"},
        {gui::Sample, "C:\\m.exe \"D:\\card 1.img\" --work-dir \"C:\\my work\" -o E:\\out"},
        {gui::All, "C:\\m.exe \"D:\\card 1.img\" --work-dir \"C:\\my work\" -o E:\\out --recover-all"},
    };
    for (const auto& r : rows) {
        char line[gui::command_line_capacity];
        gui::build_command_line(line, r.mode, "C:\\m.exe", "D:\\card 1.img", "C:\\my work", "E:\\out");
        EXPECT_STREQ(line, r.expected) << "mode " << r.mode;
    }
}

TEST(LogPath, JoinsWithOneSeparator)
{
    struct {
        const char* folder;
        const char* expected;
    } rows[] = {
        {"C:\\work", "C:\\work\\Velto_Sony_XAVC_recovery.log"},
        {"C:\\", "C:\\Velto_Sony_XAVC_recovery.log"},
        {"Z:/tmp/", "Z:/tmp/Velto_Sony_XAVC_recovery.log"},
    };
    for (const auto& r : rows) {
        char path[gui::path_capacity];
        gui::log_path_in(path, sizeof path, r.folder);
        EXPECT_STREQ(path, r.expected) << r.folder;
    }
}

int validator_missing(char* message, size_t cap)
{
    gui::copy_text(message, cap, "validator DLL not found beside application: C:\\VeltoXAVCValidate.dll");
    return 0;
}
int validator_present(char*, size_t) { return 1; }
int no_own_path(char*, size_t) { return 0; }
int own_path(char* out, size_t cap)
{
    gui::copy_text(out, cap, "C:\\m.exe");
    return 1;
}

TEST(PrepareRun, ChecksInOrderWithTheirMessages)
{
    struct {
        const char* name;
        const char* work;
        const char* image;
        const char* recovery;
        int analysed;
        gui::RunMode mode;
        gui::RunChecks checks;
        gui::MessageKind kind;
        const char* message;  // null: the run starts
    } rows[] = {
        {"no working folder", "", "i.img", "out", 1, gui::Sample, {validator_present, own_path}, gui::message_warning,
         "Select the working folder first."},
        {"no image", "w", "", "out", 1, gui::AnalysisOnly, {validator_present, own_path}, gui::message_warning,
         "Select the Sony media image first."},
        {"recovery before analysis", "w", "i.img", "out", 0, gui::All, {validator_present, own_path},
         gui::message_warning, "Analyze the image successfully before starting recovery."},
        {"no recovery folder", "w", "i.img", "", 1, gui::Sample, {validator_missing, own_path}, gui::message_warning,
         "Select a recovery folder before starting recovery."},
        {"validator missing", "w", "i.img", "out", 1, gui::Sample, {validator_missing, own_path}, gui::message_error,
         "AVC validator could not be loaded.\r\n\r\n"
         "validator DLL not found beside application: C:\\VeltoXAVCValidate.dll"},
        {"analysis needs no validator", "w", "i.img", "", 0, gui::AnalysisOnly, {validator_missing, own_path},
         gui::message_warning, nullptr},
        {"own path unknown", "w", "i.img", "out", 1, gui::All, {validator_present, no_own_path}, gui::message_error,
         "Unable to determine this executable's path."},
        {"recovery starts", "w", "i.img", "out", 1, gui::All, {validator_present, own_path}, gui::message_warning,
         nullptr},
    };
    for (const auto& r : rows) {
        gui::GuiState s{};
        std::strcpy(s.view.working_folder, r.work);
        std::strcpy(s.view.source_image, r.image);
        std::strcpy(s.view.recovery_folder, r.recovery);
        s.analysis_succeeded = r.analysed;
        gui::RecoveryJob job;
        gui::RunRefusal refusal{};
        int started = gui::prepare_run(&s, r.mode, r.checks, &job, &refusal);
        EXPECT_EQ(s.run_mode, r.mode) << r.name << ": the run mode is stored either way";
        EXPECT_EQ(started, r.message == nullptr) << r.name;
        if (r.message) {
            EXPECT_EQ(refusal.kind, r.kind) << r.name;
            EXPECT_STREQ(refusal.text, r.message) << r.name;
        } else {
            EXPECT_STREQ(job.log_path, "w\\Velto_Sony_XAVC_recovery.log") << r.name;
            EXPECT_STREQ(job.working_folder, "w") << r.name;
            EXPECT_STREQ(job.recovery_folder, r.mode == gui::AnalysisOnly ? "" : "out") << r.name;
        }
    }
}

TEST(FinishRun, FailureSaysWhyInTheBoxAndTheStatusLine)
{
    struct {
        const char* name;
        gui::RunMode mode;
        uint32_t code;
        const char* reason;
        const char* box;
        const char* status_link;
        const char* analysis_status;
    } rows[] = {
        {"code alone", gui::Sample, 1450, "",
         "Recover Sample failed with exit code 1450.\n\nFor diagnostic details, enable Advanced > Show Activity.",
         "Recovery failed (exit code 1450).", "2 clips recoverable"},
        {"engine error of an analysis", gui::AnalysisOnly, 2, "ERROR: no valid exFAT boot region found",
         "Analyze failed with exit code 2.\n\nERROR: no valid exFAT boot region found\n\n"
         "For diagnostic details, enable Advanced > Show Activity.",
         "Analysis failed: no valid exFAT boot region found", "Analysis failed"},
        {"system text of a child never started", gui::All, 267, "The directory name is invalid.",
         "Recover All failed with exit code 267.\n\nThe directory name is invalid.\n\n"
         "For diagnostic details, enable Advanced > Show Activity.",
         "Recovery failed: The directory name is invalid.", "2 clips recoverable"},
    };
    for (const auto& r : rows) {
        gui::GuiState s;
        gui::init_window(&s);
        gui::pick_working_folder(&s, "C:\\w");
        gui::pick_source_image(&s, "C:\\i.img");
        gui::pick_recovery_folder(&s, "C:\\out");
        s.analysis_succeeded = r.mode != gui::AnalysisOnly;
        std::strcpy(s.view.analysis_status, "2 clips recoverable");
        gui::RecoveryJob job{};
        gui::RunRefusal refusal;
        ASSERT_TRUE(gui::prepare_run(&s, r.mode, {validator_present, own_path}, &job, &refusal)) << r.name;
        gui::begin_run(&s, job);
        // the run's own polls rewrite the analysis texts on the way
        std::strcpy(s.view.analysis_status, "Analysis in progress");
        gui::RunEnd end = gui::finish_run(&s, r.code, job, r.reason);
        EXPECT_TRUE(end.show_error) << r.name;
        EXPECT_STREQ(end.error_text, r.box) << r.name;
        EXPECT_STREQ(s.view.status_link, r.status_link) << r.name;
        EXPECT_STREQ(s.view.analysis_status, r.analysis_status) << r.name;
        EXPECT_EQ(s.view.buttons.source_open, 1) << r.name << ": another image can be picked";
    }
}

}  // namespace

namespace {

// The View Report link opens the page the engine wrote into the recovery folder, whatever the
// folder's name ends in.
TEST(RecoveryRun, ReportPageLiesInTheRecoveryFolder)
{
    const std::string sep(1, platform::path_separator);
    struct Case {
        const char* name;
        std::string folder, expected;
    } cases[] = {
        {"plain folder", "out", "out" + sep + "mendora-report.html"},
        {"folder ending in a slash", "out/", "out/mendora-report.html"},
        {"a name with spaces and other scripts", "Nagrania \xc5\x82\xc3\xb3" "d\xc5\xba",
         "Nagrania \xc5\x82\xc3\xb3" "d\xc5\xba" + sep + "mendora-report.html"},
    };
    for (const Case& c : cases) {
        char out[gui::path_capacity];
        gui::report_page_path(c.folder.c_str(), out, sizeof out);
        EXPECT_EQ(std::string(out), c.expected) << c.name;
    }
}

}  // namespace
