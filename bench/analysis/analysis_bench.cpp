// Makes a card-like image of many recordings (analysis_bench make PATH RECORDINGS CHUNKS
// [SAMPLE_BYTES], the smallest video sample, 200 by default) and
// times stages 3 to 5 against the raw scan of the same image (analysis_bench run PATH).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "analysis/candidates.h"
#include "analysis/chunk_locate.h"
#include "analysis/final_chunks.h"
#include "analysis/window_reuse.h"
#include "analysis/fingerprint_map.h"
#include "analysis/recording_runs.h"
#include "image/raw_scan.h"
#include "tests/analysis_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Peak resident memory in KiB since the last reset.
long peak_kib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

void reset_peak()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

int make_image(const char* path, uint32_t recordings, uint32_t chunks, uint32_t sample_bytes)
{
    std::FILE* f = std::fopen(path, "wb");
    if (!f)
        return 1;
    fixture::Bytes lead(1048576, 0);  // room where a card keeps its boot region and tables
    std::fwrite(lead.data(), 1, lead.size(), f);
    for (uint32_t r = 0; r < recordings; r++) {
        fixture::RecordingSpec plan;
        plan.chunks = chunks;
        plan.seed = r + 1;
        plan.video_base = sample_bytes;
        plan.tag = 0x5000 + r;
        plan.movie_shift_hours = 9;
        plan.date = {2024, 5, 1 + r / (24 * 60), (r / 60) % 24, r % 60, 7};
        fixture::Bytes rec = fixture::make_recording(plan);
        std::fwrite(rec.data(), 1, rec.size(), f);
        fixture::Bytes gap(4096 * (1 + r % 3), 0);
        std::fwrite(gap.data(), 1, gap.size(), f);
    }
    std::fclose(f);
    return 0;
}

int run(const char* path)
{
    std::FILE* image = std::fopen(path, "rb");
    if (!image)
        return 1;
    std::fseek(image, 0, SEEK_END);
    uint64_t size = uint64_t(std::ftell(image));

    image::ScanIndex index{};
    auto t0 = Clock::now();
    image::raw_scan(image, size, 64ull * 1048576, 0, &index);
    double scan = seconds_since(t0);

    analysis::ClipHeaderList headers;
    analysis::MarkerList markers;
    analysis::MovieList movies;
    t0 = Clock::now();
    analysis::validate_candidates(image, size, &index, &headers, &markers, &movies);
    double validation = seconds_since(t0);
    uint64_t largest_moov = 0;
    for (size_t i = 0; i < movies.count; i++)
        largest_moov = movies.items[i].moov_size > largest_moov ? movies.items[i].moov_size : largest_moov;

    reset_peak();
    long before_kib = peak_kib();
    analysis::RunList runs;
    analysis::PairList pairs;
    analysis::ClipList clips;
    t0 = Clock::now();
    analysis::build_recordings(&headers, &markers, &movies, &runs, &pairs, &clips);
    double stage3 = seconds_since(t0);
    t0 = Clock::now();
    analysis::map_fingerprints(image, size, &markers, &clips);
    analysis::begin_window_reuse(image);  // as the engine does from stage 5 on
    double stage4 = seconds_since(t0);
    t0 = Clock::now();
    size_t recoverable = analysis::resolve_final_chunks(image, size, &clips);
    double stage5 = seconds_since(t0);
    long peak = peak_kib();

    uint64_t expected = 0;
    for (size_t i = 0; i < clips.count; i++)
        expected += clips.items[i].chunk_count;
    uint64_t capacity = 16;
    while (capacity < 3 * expected + 16)
        capacity *= 2;
    double slot_mib = double(capacity * 1072) / 1048576.0;
    double goal_mib = 2 * slot_mib + double(largest_moov) / 1048576.0;
    double stages = stage3 + stage4 + stage5;
    double growth_mib = double(peak - before_kib) / 1024.0;
    std::printf("\nimage %.1f MiB, kkad markers %zu, clips %zu, recoverable %zu\n", double(size) / 1048576.0,
                markers.count, clips.count, recoverable);
    std::printf("raw scan        %8.3f s\n", scan);
    std::printf("validation      %8.3f s\n", validation);
    std::printf("stage 3         %8.3f s\n", stage3);
    std::printf("stage 4         %8.3f s\n", stage4);
    std::printf("stage 5         %8.3f s\n", stage5);
    std::printf("stages 3-5 / raw scan = %.3f (goal < 1): %s\n", stages / scan, stages < scan ? "met" : "MISSED");
    std::printf("peak resident during stages 3-5: %.1f MiB (%.1f MiB above the start); goal 2 x slot table "
                "(%.1f MiB) + largest movie box = %.1f MiB: %s\n",
                double(peak) / 1024.0, growth_mib, slot_mib, goal_mib, growth_mib <= goal_mib ? "met" : "MISSED");

    analysis::free_clips(&clips);
    for (size_t i = 0; i < movies.count; i++)
        mp4::free_movie_info(&movies.items[i]);
    basics::list_free(&movies);
    basics::list_free(&markers);
    basics::list_free(&headers);
    basics::list_free(&runs);
    basics::list_free(&pairs);
    image::free_scan_index(&index);
    analysis::release_read_buffers();
    std::fclose(image);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "make") == 0)
        return make_image(argv[2], uint32_t(std::atoi(argv[3])), uint32_t(std::atoi(argv[4])),
                          argc == 6 ? uint32_t(std::atoi(argv[5])) : 200);
    if (argc == 3 && std::strcmp(argv[1], "run") == 0)
        return run(argv[2]);
    std::fprintf(stderr, "usage: analysis_bench make PATH RECORDINGS CHUNKS [SAMPLE_BYTES] | run PATH\n");
    return 2;
}
