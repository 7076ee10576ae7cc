#include "engine/engine_main.h"

#include <cerrno>
#include <cstring>

#include "engine/card_reading.h"
#include "engine/driver.h"
#include "basics/output.h"
#include "image/path_join.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"
#include "mendora_version.h"

namespace engine {

// Measures the image from the current position to its end and seeks back.
static uint64_t measure_image(std::FILE* image)
{
    int64_t here = platform::tell(image);
    int64_t end = 0;
    if (!platform::seek_end(image, &end))
        end = 0;
    platform::seek_abs(image, here < 0 ? 0 : static_cast<uint64_t>(here));
    return end < 0 ? 0 : static_cast<uint64_t>(end);
}

// A folder the user named is made with every folder above it; when that fails the run stops
// with the system's reason and the part of the path it could not make.
static void make_folder_or_stop(const char* what, const char* path)
{
    char failed[work_dir_capacity];
    if (image::make_folder_path(path, failed, sizeof failed))
        return;
    const char* reason = platform::errno_text(errno);
    if (std::strcmp(failed, path) == 0)
        basics::fatal("cannot create %s %s: %s", what, path, reason);
    basics::fatal("cannot create %s %s: %s: %s", what, path, failed, reason);
}

void engine_main(int argc, char** argv)
{
    basics::set_streams_unbuffered();
    // A reader of our output that goes away early must not end the run: prints then just fail.
    platform::ignore_broken_pipe();
    platform::keep_heap_lean();
    static RunState state;
    parse_options(argc, argv, &state.options);
    state.argc = argc;
    state.argv = argv;
    const EngineOptions* o = &state.options;

    basics::bounded_format(work_dir_buffer, sizeof work_dir_buffer, "%s", o->work_dir);
    basics::out_printf("Mendora Recovery %s\n", build_tag);
    // the release the build tag belongs to, on a line of its own that no reader of the log looks for
    basics::out_printf("Version: %s\n", MENDORA_VERSION);
    basics::out_printf("Work   : %s\n", work_dir_buffer);
    basics::out_printf("Source : %s\n", o->image_path);
    basics::out_printf("Output : %s\n\n", o->output_dir);

    state.image = platform::open_read_only(o->image_path);
    if (!state.image)
        basics::fatal("cannot open source image %s: %s", o->image_path, platform::errno_text(errno));
    state.image_size = measure_image(state.image);
    basics::out_printf("Size   : %llu bytes\n", static_cast<unsigned long long>(state.image_size));

    open_card_reading(&state);
    make_folder_or_stop("working directory", o->work_dir);
    if (!o->analysis_only)
        make_folder_or_stop("output directory", o->output_dir);
    run_pipeline(&state);
}

}  // namespace engine
