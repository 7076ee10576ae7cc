#include "engine/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "basics/output.h"

namespace engine {

const char* const build_tag = "2026-08-28-c52-syslink-ucrt64";
char work_dir_buffer[work_dir_capacity];

EngineOptions default_options()
{
    EngineOptions o{};
    o.image_path = "image.dsk";
    o.output_dir = "sony_recovery_c";
    o.work_dir = ".";
    o.recover_count = 1;
    o.chunk_bytes = 64ull * 1048576;
    o.show_progress = 1;
    return o;
}

void print_usage(const char* program)
{
    basics::out_printf("Mendora recovery %s\n"
                       "\n"
                       "Usage:\n"
                       "  %s image.dsk [options]\n"
                       "\n"
                       "Options:\n"
                       "  -o DIR                  output directory (default: sony_recovery_c)\n"
                       "  --work-dir DIR           workspace for cache/log/temp files\n"
                       "  --analysis-only         scan/map only, write no MP4\n"
                       "  --recover N             recover first N mapped clips (default: 1)\n"
                       "  --recover-all           recover all mapped clips\n"
                       "  --clip N                recover one XAVC candidate index\n"
                       "  --keep-metadata-track   retain Sony RTMD trak in output moov\n"
                       "  --no-validator          skip in-process AVC decode validation\n"
                       "  --no-salvage            write only the clips the documented rules recover\n"
                       "  --hash-image            SHA-256 of the image in the report (read by the raw scan)\n"
                       "  --mapfile FILE          GNU ddrescue mapfile of the image: what it did not rescue is unreadable\n"
                       "  --save-image FILE       save the card as the scan reads it, with a ddrescue mapfile FILE.map\n"
                       "  --chunk-mib N           raw scan chunk size MiB (default: 64)\n"
                       "  --no-progress           suppress raw scan progress\n"
                       "  -h, --help              show this help\n"
                       "\n"
                       "The source image is always opened read-only.\n",
                       build_tag, program);
}

// Leading white space, an optional sign, digits; no digits give 0. Values beyond the 32-bit
// range saturate instead of overflowing.
static int32_t decimal_value(const char* text)
{
    errno = 0;
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int32_t>(v);
}

void parse_options(int argc, char** argv, EngineOptions* out)
{
    EngineOptions o = default_options();
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            print_usage(argv[0]);
            std::exit(0);
        } else if (value && std::strcmp(arg, "-o") == 0) {
            o.output_dir = value;
            i++;
        } else if (value && std::strcmp(arg, "--work-dir") == 0) {
            o.work_dir = value;
            i++;
        } else if (std::strcmp(arg, "--analysis-only") == 0) {
            o.analysis_only = 1;
        } else if (std::strcmp(arg, "--recover-all") == 0) {
            o.recover_all = 1;
        } else if (value && std::strcmp(arg, "--recover") == 0) {
            o.recover_count = decimal_value(value);
            if (o.recover_count < 0)
                basics::fatal("--recover cannot be negative");
            i++;
        } else if (value && std::strcmp(arg, "--clip") == 0) {
            o.clip_index = decimal_value(value);
            if (o.clip_index < 1)
                basics::fatal("--clip must be positive");
            i++;
        } else if (std::strcmp(arg, "--keep-metadata-track") == 0) {
            o.keep_metadata_track = 1;
        } else if (std::strcmp(arg, "--no-validator") == 0) {
            o.no_validator = 1;
        } else if (std::strcmp(arg, "--no-salvage") == 0) {
            o.no_salvage = 1;
        } else if (std::strcmp(arg, "--hash-image") == 0) {
            o.hash_image = 1;
        } else if (value && std::strcmp(arg, "--mapfile") == 0) {
            o.mapfile = value;
            i++;
        } else if (value && std::strcmp(arg, "--save-image") == 0) {
            o.save_image = value;
            i++;
        } else if (value && std::strcmp(arg, "--chunk-mib") == 0) {
            unsigned long long n = std::strtoull(value, nullptr, 0);
            if (n - 1 > 4095)
                basics::fatal("invalid --chunk-mib");
            o.chunk_bytes = n * 1048576ull;
            i++;
        } else if (std::strcmp(arg, "--no-progress") == 0) {
            o.show_progress = 0;
        } else if (arg[0] == '-') {
            // also a value option that stands last and so has no value
            basics::fatal("unknown option: %s", arg);
        } else {
            o.image_path = arg;
        }
    }
    if (o.work_dir[0] == 0)
        basics::fatal("working directory is required");
    *out = o;
}

}  // namespace engine
