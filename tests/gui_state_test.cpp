#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gui/control_ids.h"
#include "gui/gui_state.h"
#include "gui/recovery_run.h"

namespace {

int validator_present(char*, size_t) { return 1; }
int own_path(char* out, size_t cap)
{
    gui::copy_text(out, cap, "C:\\apps\\mendora.exe");
    return 1;
}
const gui::RunChecks checks = {validator_present, own_path};

// The buttons in window order: working-folder Browse, Open..., recovery-folder Browse, Analyze,
// Recover Sample, Recover All.
std::string buttons(const gui::GuiState& s)
{
    const gui::ActionButtons& b = s.view.buttons;
    std::string out;
    for (int32_t on : {b.workdir_browse, b.source_open, b.outdir_browse, b.analyze, b.recover_sample, b.recover_all})
        out += on ? '1' : '0';
    return out;
}

enum Step { work, image, recovery, analyze, recover, end_ok, end_failed };

struct Row {
    Step step;
    const char* buttons;
    int analysis_succeeded;
    const char* status_link;
    int focus;  // -1: not checked
};

// One user's session, step by step: what works after each picker and after each kind of run end.
TEST(GuiState, ButtonsFollowThePickersAndTheRunEnds)
{
    const Row rows[] = {
        {work, "110000", 0, "No file is being written", gui::IDC_SOURCE_OPEN},
        {image, "111100", 0, "No file is being written", gui::IDC_ANALYZE},
        {analyze, "000000", 0, "Analysis only - no file writing", -1},
        {end_failed, "111100", 0, "Analysis failed (exit code 2).", gui::IDC_SOURCE_OPEN},  // another image may go in
        {analyze, "000000", 0, "Analysis only - no file writing", -1},
        {end_ok, "111100", 1, "", gui::IDC_OUTDIR_BROWSE},  // no recovery folder yet
        {recovery, "111111", 1, "No file is being written", 0},
        {recover, "000000", 1, "Waiting to begin file writing", -1},
        {end_failed, "111111", 1, "Recovery failed (exit code 2).", 0},
        {recover, "000000", 1, "Waiting to begin file writing", -1},
        {end_ok, "111111", 1, "Recovery complete.  <a id=\"folder\">View Recovery Directory</a>  <a id=\"report\">View Report</a>", 0},
        {recovery, "111111", 1, "No file is being written", 0},  // a new recovery folder keeps the analysis
        {analyze, "000000", 1, "Analysis only - no file writing", -1},
        {end_ok, "111111", 1, "", gui::IDC_RECOVER_SAMPLE},
        {image, "111100", 0, "No file is being written", gui::IDC_ANALYZE},
        {work, "110000", 0, "No file is being written", gui::IDC_SOURCE_OPEN},  // empties the image field
    };
    gui::GuiState s;
    gui::ViewEvents first = gui::init_window(&s);
    EXPECT_EQ(first.focus, gui::IDC_WORKDIR_BROWSE);
    EXPECT_EQ(buttons(s), "100000");
    EXPECT_EQ(s.view.width, 480);
    gui::RecoveryJob job;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        const Row& r = rows[i];
        int focus = -1;
        gui::RunRefusal refusal;
        switch (r.step) {
        case work: focus = gui::pick_working_folder(&s, "C:\\work").focus; break;
        case image: focus = gui::pick_source_image(&s, "C:\\card.img").focus; break;
        case recovery: focus = gui::pick_recovery_folder(&s, "D:\\out").focus; break;
        case analyze:
        case recover:
            ASSERT_TRUE(gui::prepare_run(&s, r.step == analyze ? gui::AnalysisOnly : gui::All, checks, &job, &refusal))
                << "row " << i << ": " << refusal.text;
            gui::begin_run(&s, job);
            break;
        case end_ok: focus = gui::finish_run(&s, 0, job).events.focus; break;
        case end_failed: focus = gui::finish_run(&s, 2, job).events.focus; break;
        }
        EXPECT_EQ(buttons(s), r.buttons) << "row " << i;
        EXPECT_EQ(s.analysis_succeeded, r.analysis_succeeded) << "row " << i;
        EXPECT_STREQ(s.view.status_link, r.status_link) << "row " << i;
        // the link opens the recovery folder, and only while it is shown
        bool link = std::strcmp(r.status_link, gui::recovery_complete_text) == 0;
        EXPECT_STREQ(s.recovery_link_folder, link ? "D:\\out" : "") << "row " << i;
        EXPECT_EQ(s.running, r.step == analyze || r.step == recover) << "row " << i << ": polls parse only during a run";
        if (r.focus >= 0) {
            EXPECT_EQ(focus, r.focus) << "row " << i;
        }
    }
    EXPECT_STREQ(s.view.source_image, "");
    EXPECT_STREQ(s.recovery_link_folder, "");
}

TEST(GuiState, InputChangesResetTheAnalysisViewButNotTheFileBar)
{
    gui::GuiState s;
    gui::init_window(&s);
    gui::pick_working_folder(&s, "C:\\work");
    gui::set_show_activity(&s, 1);
    std::strcpy(s.view.analysis_status, "3 clips recoverable");
    std::strcpy(s.recovery_link_folder, "D:\\out");
    s.view.overall_progress = 100;
    s.view.file_progress = 100;
    gui::ViewEvents events = gui::pick_source_image(&s, "C:\\card.img");
    EXPECT_TRUE(events.clear_activity);
    EXPECT_FALSE(events.forget_activity);
    EXPECT_STREQ(s.view.analysis_status, "Not analyzed");
    EXPECT_STREQ(s.view.analysis_details, "Run Analyze to identify recoverable Sony recordings.");
    EXPECT_STREQ(s.recovery_link_folder, "");
    EXPECT_EQ(s.view.overall_progress, 0);
    EXPECT_EQ(s.view.file_progress, 100);
    EXPECT_EQ(s.view.width, 1120);
}

TEST(GuiLayout, The96DpiNumbersScaledToTheMonitor)
{
    struct {
        const char* name;
        int32_t client_width, client_height, dpi;
        gui::Layout expected;  // L, A, AX, H
    } rows[] = {
        {"96 DPI: the original numbers", 1104, 612, 96, {421, 633, 455, 596}},
        {"short client: H stays at 420", 1104, 300, 96, {421, 633, 455, 420}},
        {"150 %: 50, 34 and 16 scaled", 1656, 918, 144, {632, 949, 683, 894}},
        {"200 %", 2208, 1224, 192, {843, 1265, 911, 1192}},
        {"125 %: 50 x 1.25 rounds to 63", 1380, 765, 120, {526, 791, 569, 745}},
    };
    for (const auto& r : rows) {
        gui::Layout got = gui::compute_layout(r.client_width, r.client_height, r.dpi);
        EXPECT_EQ((std::vector<int32_t>{got.left_width, got.activity_width, got.activity_x, got.bottom}),
                  (std::vector<int32_t>{r.expected.left_width, r.expected.activity_width, r.expected.activity_x,
                                        r.expected.bottom}))
            << r.name;
    }
    EXPECT_EQ(gui::scale_to_dpi(15, 144), 23) << "halves round up";
    EXPECT_EQ(gui::scale_to_dpi(650, 96), 650);
}

}  // namespace
