#pragma once
// The decode check of a recording the scan spooled whole, run on a worker of its own while the
// scan reads on (a worker per core, each recording on one of them): its video samples are read back from the spool file, where they lie at the
// offsets its movie box names, and pushed to the decoder just as the writer pushes them. The
// writer, finding every chunk of the clip in place in that file under the same movie box, takes
// the outcome instead of decoding the samples a second time; any other clip it checks itself.
// Nothing is printed here: the writer prints the clip's lines in their place.
#include <cstdint>

#include "mp4/movie_box.h"
#include "rebuild/validation_pass.h"

namespace rebuild {

struct DecodedAhead {
    uint64_t refused_chunk;  // the chunk whose push the decoder refused; UINT64_MAX when none was
    VideoVerdict refusal;    // the refusal, when one was
    int finish_rc;           // the drain's answer, when nothing was refused
    validator::ValidatorResult result;
};

// From now on, spool files handed over are checked (the validator library is loaded); while the
// scan reads, a decoder takes at most `room_beside_scan` bytes.
void decode_ahead_begin(uint64_t room_beside_scan);
// The scan has read its last bytes and freed its ring: decoders open with the room they take alone,
// and one opened beside the scan on fewer frame threads may start again on more.
void decode_ahead_scan_over();
// The spool file at `spool_path` holds the whole media data of the recording whose clip header is
// at image offset `header`; `moov` (taken over, `moov_size` bytes, found at image offset
// `moov_offset`) is the movie box the camera wrote behind it.
void decode_ahead_submit(uint64_t header, const char* spool_path, uint8_t* moov, uint64_t moov_size,
                         uint64_t moov_offset);
// Waits until nothing reads the spool file of the recording at `header` any more; 1 with the
// outcome when its check ran to its end under a movie box identical to `movie`'s (null: only
// waits).
int decode_ahead_take(uint64_t header, const mp4::MovieInfo* movie, DecodedAhead* out);
// Checks not begun are dropped and the one running ends at its next chunk: no spool file is open
// here afterwards.
void decode_ahead_stop();

}  // namespace rebuild
