// The window's side of the engine log: any bytes made fit for the Activity pane, and the text
// turned into status lines and bar positions for every kind of run. Whatever the log holds, the
// pane text stays within its limit and the bars within 0 to 100.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "fuzz/fuzz_support.h"
#include "gui/log_tail.h"
#include "gui/output_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    char* normalised = static_cast<char*>(std::malloc(2 * size + 2));
    size_t len = gui::normalise_log(bytes, size, normalised);
    if (len > 2 * size || normalised[len] != 0 || std::strlen(normalised) != len)
        fuzz::broken("the normalised log fits its buffer and is one terminated text");
    char* pane = static_cast<char*>(std::malloc(gui::activity_text_capacity(len)));
    size_t shown = gui::activity_text(normalised, len, pane);
    if (shown > gui::activity_limit || pane[shown] != 0)
        fuzz::broken("the Activity pane's text stays within its limit");

    for (gui::RunMode mode : {gui::Sample, gui::All, gui::AnalysisOnly}) {
        gui::ParsedOutput out;
        gui::parse_engine_output(normalised, mode, &out);
        if (out.file_progress < -1 || out.file_progress > 100 || out.overall_progress < 0 ||
            out.overall_progress > 100)
            fuzz::broken("both bars stay between 0 and 100");
        if (!std::memchr(out.analysis_status, 0, sizeof out.analysis_status) ||
            !std::memchr(out.analysis_details, 0, sizeof out.analysis_details) ||
            !std::memchr(out.status_text, 0, sizeof out.status_text))
            fuzz::broken("every parsed text is terminated inside its field");
    }
    std::free(pane);
    std::free(normalised);
    return 0;
}
