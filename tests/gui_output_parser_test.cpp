#include <gtest/gtest.h>

#include <string>

#include "gui/output_parser.h"

namespace {

const char* const analysis_log =
    "Mendora Recovery 2026\n\n[1/6] Detecting exFAT...\n  boot=0x0 cluster=4096 bytes heap=0x4000\n"
    "\n[2/6] Raw scanning image...\n\rRaw scan  50%  1/2 bytes\rRaw scan 100%  2/2 bytes\n"
    "  raw XAVC=3 kkad=40 moov=3\n  valid XAVC=3 kkad=40 moov=3\n"
    "\n[3/6] Building Sony recording runs and pairing moov...\n  sequence-zero runs=3\n  timestamp shift=+0 h\n"
    "  XAVC+moov pairs=3\n  R8-compatible 12-sample XAVC recordings=3\n"
    "\n[4/6] Global kkad fingerprint mapping...\n"
    "Global fingerprints: expected=40 unique=40 duplicates=0 profile=12 samples/chunk\n"
    "\rGlobal kkad scan 20/40 mapped=20 ambiguous=0\rGlobal kkad scan 40/40 mapped=40 ambiguous=0\n"
    "  expected=40 mapped=39 ambiguous=1\n"
    "\n[5/6] Resolving final video chunks...\n  tail final chunks found=1\n";

struct Row {
    const char* name;
    std::string text;
    gui::RunMode mode;
    const char* analysis_status;  // null: not touched
    const char* details;          // "": not touched
    const char* status;
    int overall;
    int file;  // -1: not touched
};

TEST(ParseEngineOutput, DerivesTextsAndBarsFromTheLastLines)
{
    const std::string analysis = analysis_log;
    const std::string stage6 = analysis + "  recoverable clips=3/5\n\n[6/6] Rebuilding MP4...\nRecovery queue: 1 file\n";
    const char* full_details = "Video chunks mapped: 39 / 40\r\nAmbiguous mappings: 1\r\nFinal chunks recovered: 1\r\n"
                               "XAVC + moov metadata pairs: 3";
    const Row rows[] = {
        {"nothing recognisable", "hello\nworld\n", gui::Sample, nullptr, "", "Activity: preparing", 1, -1},
        {"one of one clip", "  recoverable clips=1/1\n", gui::AnalysisOnly, "1 clip recoverable", "",
         "Activity: preparing", 1, -1},
        {"three of five", "  recoverable clips=3/5\n", gui::AnalysisOnly, "3 clips recoverable of 5 supported", "",
         "Activity: preparing", 1, -1},
        {"none of none", "  recoverable clips=0/0\n", gui::AnalysisOnly, "0 clips recoverable", "",
         "Activity: preparing", 1, -1},
        {"the summary line is not the stage-5 line", "\nComplete.\n  recoverable clips : 3\n", gui::All, nullptr, "",
         "Activity: preparing", 100, -1},
        {"stage heading before any count", "\n[1/6] Detecting exFAT...\n", gui::AnalysisOnly,
         "Analysis in progress", "", "Activity: preparing", 2, -1},
        {"image scan replaces the stage base", "\n[2/6] Raw scanning image...\n\rRaw scan  50%  1/2 bytes",
         gui::AnalysisOnly, "Analysis in progress", "", "Image scan: 50% complete", 25, -1},
        {"image scan over 100 is ignored", "\n[2/6] Raw scanning image...\n\rRaw scan 101%  1/2 bytes",
         gui::AnalysisOnly, "Analysis in progress", "", "Activity: preparing", 5, -1},
        {"scan at 100 during stage 3", "\n[2/6] Raw scanning image...\rRaw scan 100%  2/2 bytes\n"
         "\n[3/6] Building Sony recording runs and pairing moov...\n", gui::AnalysisOnly, "Analysis in progress", "",
         "Image scan: 100% complete", 45, -1},
        {"fingerprint summary alone maps nothing",
         "\n[4/6] Global kkad fingerprint mapping...\nGlobal fingerprints: expected=40 unique=40 duplicates=0\n",
         gui::AnalysisOnly, "Analysis in progress", "", "Activity: preparing", 50, -1},
        {"fragment map of zero total is ignored", "\n[4/6] Global kkad fingerprint mapping...\n\rGlobal kkad scan 0/0",
         gui::AnalysisOnly, "Analysis in progress", "", "Activity: preparing", 50, -1},
        {"whole analysis, map at 100 during stage 5", analysis, gui::AnalysisOnly, "Analysis in progress",
         "Video chunks mapped: 39 / 40\r\nAmbiguous mappings: 1\r\nFinal chunks recovered: 1\r\n"
         "XAVC + moov metadata pairs: 3", "Sony fragment map: 40 / 40 (100%)", 78, -1},
        {"details keep their order whatever the log's", "  XAVC+moov pairs=2\n  tail final chunks found=0\n",
         gui::AnalysisOnly, nullptr, "Final chunks recovered: 0\r\nXAVC + moov metadata pairs: 2",
         "Activity: preparing", 1, -1},
        {"unreadable spans as the scan names them, a progress line before one",
         "\n[2/6] Raw scanning image...\n\rRaw scan  40%  1/2 bytes\nunreadable: 4096 bytes at 0x3D7F30 (read error)\n"
         "unreadable: 65536 bytes at 0x2600000 (read error)\nclip 2: unreadable: 9 bytes\n",
         gui::AnalysisOnly, "Analysis in progress", "Unreadable: 2 spans, 69632 bytes", "Image scan: 40% complete", 21,
         -1},
        {"the summary counts the spans the log may have lost from its head",
         "unreadable: 512 bytes at 0x0 (read error)\n\nComplete.\n  unreadable spans  : 7 (9216 bytes, 30 failed reads)\n",
         gui::All, nullptr, "Unreadable: 7 spans, 9216 bytes", "Activity: preparing", 100, -1},
        {"sample run before any writing line", stage6, gui::Sample, "3 clips recoverable of 5 supported", full_details,
         "Recovered files: 0 / 1", 86, -1},
        {"all run before any writing line", stage6 + "  -> out\\XAVC_0001.MP4\n", gui::All,
         "3 clips recoverable of 5 supported", full_details, "Recovered files: 1 / 3", 90, -1},
        {"salvaged recordings count against those salvage tried, a later part not again, never past the total",
         stage6 + "  -> out\\XAVC_0001.MP4\n\nSalvage: 2 recordings the documented rules gave up on\n"
                  "clip 2: salvaged -> out\\XAVC_0002_x_salvaged.MP4 (video 60/72 samples, 1 gap, no sound)\n"
                  "clip 2: salvaged part 2 -> out\\XAVC_0002_x_salvaged_part2.MP4 (video 9/72 samples, 0 gaps, "
                  "no sound)\n"
                  "clip 4: salvaged -> out\\XAVC_0004_x_salvaged.MP4 (video 24/24 samples, 0 gaps, no sound)\n",
         gui::All, "3 clips recoverable of 5 supported", full_details, "Recovered files: 3 / 5", 93, -1},
        {"camera files count beside the documented ones, those beyond the recoverable clips in the total too",
         stage6 + "\nFile system: 9 entry sets (9 live, 0 deleted, 0 carved from the heap), 2 recordings named\n"
                  "clip 1: PRIVATE/M4ROOT/CLIP/C0001.MP4 (live, ...) - the camera's file, whole\n"
                  "  -> out\\PRIVATE\\M4ROOT\\CLIP\\C0001.MP4\n  sidecar -> out\\C0001M01.XML\n"
                  "clip 6: PRIVATE/M4ROOT/CLIP/C0006.MP4 (live, ...) - the camera's file, whole\n"
                  "  -> out\\PRIVATE\\M4ROOT\\CLIP\\C0006.MP4\n"
                  "Camera files: 2 written, 1 of them beyond the recoverable clips\nRecovery queue: 3 files\n"
                  "clip 1: written above as the camera's own file\n  -> out\\XAVC_0002.MP4\n",
         gui::All, "3 clips recoverable of 5 supported", full_details, "Recovered files: 3 / 4", 95, -1},
        {"analysis-only wording in stage 6", stage6, gui::AnalysisOnly, "3 clips recoverable of 5 supported",
         full_details, "Analysis only - no MP4 output", 78, -1},
        {"writing line 2 of 4 at 50", stage6 + "Writing file 2 of 4 | clip 7 | video chunk 10/200 | 50%\n", gui::All,
         "3 clips recoverable of 5 supported", full_details, "Writing file 2 of 4 | clip 7 | video chunk 10/200 | 50%",
         90, 50},
        {"writing line at 101 is ignored whole",
         stage6 + "Writing file 1 of 4 | clip 7 | preparing | 0%\nWriting file 2 of 4 | clip 7 | video chunk 1/2 | 101%\n",
         gui::All, "3 clips recoverable of 5 supported", full_details, "Sony fragment map: 40 / 40 (100%)", 78, -1},
        {"writing line of zero total is ignored", stage6 + "Writing file 1 of 0 | clip 7 | preparing | 0%\n",
         gui::Sample, "3 clips recoverable of 5 supported", full_details, "Sony fragment map: 40 / 40 (100%)", 78,
         -1},
        {"validation pass lifts the bar", stage6 + "Writing file 1 of 1 | clip 2 | video complete | 90%\n"
         "  AVC validation PASS: 24 samples, 24 decoded frames\n", gui::Sample, "3 clips recoverable of 5 supported",
         full_details, "Writing file 1 of 1 | clip 2 | video complete | 90%", 97, 90},
        {"summary ends at 100", stage6 + "Writing file 1 of 1 | clip 2 | complete | 100%\n  -> x\n\nComplete.\n",
         gui::Sample, "3 clips recoverable of 5 supported", full_details,
         "Writing file 1 of 1 | clip 2 | complete | 100%", 99, 100},
    };
    for (const Row& r : rows) {
        gui::ParsedOutput out;
        gui::parse_engine_output(r.text.c_str(), r.mode, &out);
        EXPECT_EQ(out.has_analysis_status != 0, r.analysis_status != nullptr) << r.name;
        if (r.analysis_status) {
            EXPECT_STREQ(out.analysis_status, r.analysis_status) << r.name;
        }
        EXPECT_STREQ(out.analysis_details, r.details) << r.name;
        EXPECT_STREQ(out.status_text, r.status) << r.name;
        EXPECT_EQ(out.overall_progress, r.overall) << r.name;
        EXPECT_EQ(out.file_progress, r.file) << r.name;
    }
}

TEST(ParseEngineOutput, UntouchedOutputsKeepTheirValues)
{
    gui::WindowView view{};
    std::snprintf(view.analysis_status, sizeof view.analysis_status, "2 clips recoverable");
    std::snprintf(view.analysis_details, sizeof view.analysis_details, "kept");
    view.file_progress = 40;
    gui::ParsedOutput out;
    gui::parse_engine_output("nothing", gui::Sample, &out);
    gui::show_parsed_output(&view, out);
    EXPECT_STREQ(view.analysis_status, "2 clips recoverable");
    EXPECT_STREQ(view.analysis_details, "kept");
    EXPECT_EQ(view.file_progress, 40);
    EXPECT_STREQ(view.status_link, "Activity: preparing");
    EXPECT_EQ(view.overall_progress, 1);
}

TEST(FindEngineError, TakesTheLastLineThatStartsWithError)
{
    struct {
        const char* name;
        const char* text;
        size_t cap;
        const char* expected;  // "": none found
    } rows[] = {
        {"fatal line after progress", "[1/6] Detecting exFAT...\nERROR: no valid exFAT boot region\n", 256,
         "ERROR: no valid exFAT boot region"},
        {"no line end at the end of the log", "Raw scan 50%\rERROR: read failed", 256, "ERROR: read failed"},
        {"CR LF ends the line", "ERROR: first\r\nERROR: second\r\n", 256, "ERROR: second"},
        {"only at the start of a line", "clip 3: ERROR: not fatal\n", 256, ""},
        {"first line of the log", "ERROR: cannot open source image x.img: Invalid argument", 256,
         "ERROR: cannot open source image x.img: Invalid argument"},
        {"cut to the buffer", "ERROR: 0123456789\n", 10, "ERROR: 01"},
        {"nothing", "Complete.\n", 256, ""},
    };
    for (const auto& r : rows) {
        char out[256];
        int found = gui::find_engine_error(r.text, out, r.cap);
        EXPECT_EQ(found, r.expected[0] != 0) << r.name;
        EXPECT_STREQ(out, r.expected) << r.name;
    }
}

}  // namespace
