// Runs the raw scan alone on an image, as the engine's stage 2 does, and prints the hit counts.
// Usage: scan_bench IMAGE [CHUNK_MIB]
#include <cstdio>
#include <cstdlib>

#include "image/raw_scan.h"
#include "image/signature_search.h"
#include "platform/platform.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE [CHUNK_MIB]\n", argv[0]);
        return 2;
    }
    uint64_t chunk_mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 64;
    std::FILE* f = platform::open_read_only(argv[1]);
    int64_t size = 0;
    if (!f || !platform::seek_end(f, &size)) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    image::ScanIndex index{};
    image::raw_scan(f, static_cast<uint64_t>(size), chunk_mib << 20, 0, &index);
    std::printf("raw XAVC=%zu kkad=%zu moov=%zu\n", index.xavc_hits.count, index.kkad_hits.count,
                index.moov_hits.count);
    image::free_scan_index(&index);
    std::fclose(f);
    return 0;
}
