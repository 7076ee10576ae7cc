#include "engine/scan_pass.h"

#include "analysis/scan_time_search.h"
#include "basics/output.h"
#include "engine/report_stage.h"
#include "image/kept_boxes.h"
#include "image/raw_scan.h"
#include "image/scan_cache.h"
#include "image/scan_ring.h"
#include "rebuild/decode_ahead.h"
#include "rebuild/spool.h"
#include "validator/loader.h"

namespace engine {

namespace {

struct ScanPass {
    image::ScanRing ring;
    image::FingerprintStream fingerprint;
    int fingerprinting;
};

void bytes_read(void* context, const image::ScanIndex* index, const uint8_t* bytes, size_t n)
{
    auto* pass = static_cast<ScanPass*>(context);
    if (pass->fingerprinting)
        image::fingerprint_stream_take(&pass->fingerprint, pass->ring.end - n, bytes, n);
    analysis::scan_search_advance(index);
    image::kept_boxes_advance(index);
    rebuild::spool_advance(index);
}

}  // namespace

int scan_pass_applies(const EngineOptions* o) { return !o->analysis_only && o->recover_all && o->clip_index == 0; }

int scan_pass_run(RunState* s, basics::Sha256* hash)
{
    ScanPass pass;
    // the fingerprint that names the scan cache, from the bytes as they pass
    pass.fingerprinting = !s->fingerprint_taken;
    if (pass.fingerprinting)
        image::fingerprint_stream_begin(&pass.fingerprint, s->image, s->image_size);
    image::scan_ring_init(&pass.ring, analysis::scan_search_ring_bytes);
    analysis::scan_search_begin(s->image, s->image_size, &pass.ring);
    image::kept_boxes_begin(s->image, s->image_size, &pass.ring);
    // the destination of stage [6/6], as the writer will be given it
    char destination[sizeof s->destination];
    basics::bounded_format(destination, sizeof destination, "%s", s->options.output_dir);
    rebuild::spool_begin(s->image, s->image_size, &pass.ring, destination, report_applies(&s->options));
    // the recordings spooled whole are decode-checked while the scan reads on; a library that does
    // not load is named where the rebuild needs it. Beside a mirrored ring the windows of the chunk
    // search are looked at where they lie and the window buffer stays untouched: a decoder has
    // more room there.
    char reason[512];
    if (!s->options.no_validator && validator::load_validator(reason, sizeof reason))
        rebuild::decode_ahead_begin(pass.ring.mirrored ? rebuild::decoder_room_beside_mirrored_ring
                                                       : rebuild::decoder_room_beside_scan);
    image::ScanObserver observer = {bytes_read, &pass, &pass.ring};
    int whole = image::raw_scan(s->image, s->image_size, s->options.chunk_bytes, s->options.show_progress, &s->scan,
                                &observer, hash);
    if (pass.fingerprinting && whole && image::fingerprint_stream_end(&pass.fingerprint, &s->fingerprint))
        s->fingerprint_taken = 1;
    analysis::scan_search_end(&s->scan);
    image::kept_boxes_end(&s->scan);
    rebuild::spool_advance(&s->scan);
    rebuild::spool_end();
    // the analysis and the rebuild go on while the ring's memory is given back
    image::scan_ring_free_aside(&pass.ring);
    rebuild::decode_ahead_scan_over();
    return whole;
}

}  // namespace engine
