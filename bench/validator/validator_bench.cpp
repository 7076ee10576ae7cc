// Pushes every access unit of an H.264 elementary stream (with access unit delimiters) through the
// validator library and prints "FRAMES SECONDS CPU_SECONDS" for open to finish (CPU time of every
// thread), the stream already in memory. The library's thread count comes from MENDORA_VALIDATOR_THREADS when it is set.
//   validator_bench LIBRARY STREAM.h264
#include <chrono>
#include <ctime>
#include <cstdio>

#include "tools/mkcard_media.h"
#include "validator/loader.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: validator_bench LIBRARY STREAM.h264\n");
        return 2;
    }
    mkcard::Bytes es;
    mkcard::VideoStream stream;
    if (!mkcard::read_file(argv[2], &es) || !mkcard::split_annex_b(es, false, &stream)) {
        std::fprintf(stderr, "cannot read an H.264 stream with delimiters from %s\n", argv[2]);
        return 2;
    }
    char message[512] = {};
    if (!validator::load_validator_from(argv[1], message, sizeof message)) {
        std::fprintf(stderr, "%s\n", message);
        return 2;
    }
    validator::ValidatorOpenParams p{};
    p.version = validator::validator_abi;
    std::copy("avc1", "avc1" + 4, p.format);
    p.one = 1;
    p.config_address = reinterpret_cast<uint64_t>(stream.config.data());
    p.config_length = uint32_t(stream.config.size());
    validator::ValidatorResult r{};
    r.version = validator::validator_abi;
    auto t0 = std::chrono::steady_clock::now();
    std::clock_t c0 = std::clock();
    void* h = validator::validator_api.open(&p);
    int rc = h ? 0 : 1;
    for (size_t i = 0; i < stream.samples.size() && rc == 0; i++)
        rc = validator::validator_api.push(h, stream.samples[i].data(), stream.samples[i].size(), i);
    if (h && rc == 0)
        rc = validator::validator_api.finish(h, &r);
    if (h)
        validator::validator_api.close(h);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double cpu = double(std::clock() - c0) / CLOCKS_PER_SEC;
    validator::unload_validator();
    if (rc != 0 || r.frames_decoded != stream.samples.size() || r.corrupt_frames != 0) {
        std::fprintf(stderr, "the stream did not validate cleanly\n");
        return 1;
    }
    std::printf("%llu %.4f %.4f\n", static_cast<unsigned long long>(r.frames_decoded), seconds, cpu);
    return 0;
}
