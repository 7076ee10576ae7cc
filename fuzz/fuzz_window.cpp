// The sample structure check and the window search for one chunk. The input starts with the
// search: a format byte, the sample count, twelve 16-bit sample sizes, then the window's centre,
// back and forward reach; the rest is the image. A search through the held window finds what a
// fresh one finds, after an earlier search has left other bytes held.
#include "codec/nal_units.h"
#include "analysis/chunk_locate.h"
#include "analysis/window_reuse.h"
#include "basics/byte_order.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t search_bytes = 32;
const char* const formats[] = {"avc1", "hvc1", "", "mp4a"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size <= search_bytes)
        return 0;
    const char* format = formats[data[0] % 4];
    uint32_t stored[12];
    for (int i = 0; i < 12; i++)
        stored[i] = basics::load_le16(data + 2 + 2 * i);
    const mp4::SampleSizes sizes = {stored, 0, uint64_t(data[1] % 13)};
    uint64_t centre = basics::load_le16(data + 26), back = basics::load_le16(data + 28);
    uint64_t forward = basics::load_le16(data + 30);
    const uint8_t* bytes = data + search_bytes;
    uint64_t n = size - search_bytes;
    codec::sample_structure_ok(bytes, n, codec::syntax_of(format));
    std::FILE* image = fuzz::open_image(bytes, n);

    uint64_t fresh = 0, held = 0;
    int found = analysis::find_chunk_in_window(image, n, centre, back, forward, &sizes, format, &fresh);
    if (found && !analysis::verify_chunk_at(image, n, fresh, &sizes, format))
        fuzz::broken("the chunk found is there");
    analysis::begin_window_reuse(image);
    analysis::find_chunk_in_window(image, n, centre / 2, back, forward, &sizes, format, &held);
    int found_held = analysis::find_chunk_in_window(image, n, centre, back, forward, &sizes, format, &held);
    if (found_held != found || (found && held != fresh))
        fuzz::broken("a search through the held window finds what a fresh search finds");
    analysis::release_read_buffers();
    std::fclose(image);
    return 0;
}
