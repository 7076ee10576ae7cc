// The small files a camera writes beside each clip: its metadata document (C0001M01.XML), its
// thumbnail (C0001T01.JPG), and the card's clip index (MEDIAPRO.XML).
#pragma once
#include "tools/mkcard_recording.h"

#include <string>

namespace mkcard {

// A well-formed XML document of the clip's duration, codec, picture size and creation time.
Bytes clip_metadata_xml(const Recording& r, const std::string& clip);

// The recording's first picture as a 160 x 90 JPEG (made once by ffmpeg and cached); dies when
// ffmpeg fails.
Bytes clip_thumbnail(const RecordingPlan& plan);

// The card's clip index: one line per clip with its file names and duration.
struct IndexedClip {
    std::string clip;        // "C0001"
    const Recording* recording = nullptr;
};
Bytes media_index_xml(const std::vector<IndexedClip>& clips);

} // namespace mkcard
