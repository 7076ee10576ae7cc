#include "engine/report_movie.h"

#include <cstring>

#include "analysis/final_chunks.h"
#include "basics/output.h"
#include "rebuild/output_moov.h"

namespace engine {

void fill_movie_facts(report::RecordingFacts *r,
                      const analysis::RecoveryClip *clip) {
  const mp4::MovieInfo *movie = clip->movie;
  const mp4::TrackTables *v = &movie->video;
  r->has_movie = 1;
  r->movie_offset = movie->moov_offset;
  std::memcpy(r->codec, v->format, 4);
  r->codec[4] = 0;
  r->duration_seconds =
      v->timescale ? double(v->duration) / double(v->timescale) : 0.0;
  if (v->timescale && v->duration) {
    uint64_t a = v->sample_count * v->timescale, b = v->duration;
    while (b) {
      uint64_t t = a % b;
      a = b;
      b = t;
    }
    r->rate_num = v->sample_count * v->timescale / a;
    r->rate_den = v->duration / a;
  }
  r->video_samples = v->sample_count;
  r->video_chunks = v->chunk_count;
  r->sound_chunks =
      rebuild::sound_track_written(movie) ? movie->audio.chunk_count : 0;
  const analysis::ClipHeader *h = clip->header;
  r->recording_bytes = h->mdat_end - h->header_offset + movie->moov_size;
  uint64_t found = 0;
  for (uint64_t k = 0; k < clip->chunk_count; k++)
    found += clip->chunks[k].mapped || clip->chunks[k].resolved;
  r->video_chunks_found = found;
}

void analysis_verdict(RunState *s, report::RecordingFacts *r,
                      const analysis::RecoveryClip *clip) {
  if (!analysis::clip_is_recoverable(clip)) {
    r->fate = report::fate_not_recovered;
    basics::bounded_format(
        r->reason, sizeof r->reason,
        "%llu of %llu video chunks not found on the card",
        (unsigned long long)(r->video_chunks - r->video_chunks_found),
        (unsigned long long)r->video_chunks);
    return;
  }
  r->fate = report::fate_not_written;
  if (s->options.analysis_only)
    basics::bounded_format(r->reason, sizeof r->reason,
                           "recoverable; analysis only, nothing written");
  else
    basics::bounded_format(r->reason, sizeof r->reason,
                           "recoverable; not in this run's recovery queue");
}

namespace {

// Record `from` shows the movie box of `clip` no more: where its facts came
// from that box, they come from the other box the analysis paired with its clip
// header, and so does the analysis's reason where the record still gives the
// one it had for the box moved away.
void movie_moved_away(RunState *s, report::RecordingFacts *from,
                      const analysis::RecoveryClip *clip) {
  const analysis::RecoveryClip *moved = nullptr, *other = nullptr;
  for (size_t c = 0; c < s->clips.count; c++) {
    const analysis::RecoveryClip *k = &s->clips.items[c];
    if (k->clip_number != from->clip_number)
      continue;
    if (k->movie->moov_offset == clip->movie->moov_offset)
      moved = k;
    else
      other = k;
  }
  if (from->movie_offset != clip->movie->moov_offset || !moved)
    return;
  report::RecordingFacts was{}, now{};
  fill_movie_facts(&was, moved);
  analysis_verdict(s, &was, moved);
  if (!other) {
    from->has_movie = 0;
    from->movie_offset = 0;
    basics::bounded_format(now.reason, sizeof now.reason,
                           "its movie box is not on the card");
    now.fate = report::fate_not_recovered;
  } else {
    fill_movie_facts(from, other);
    fill_movie_facts(&now, other);
    analysis_verdict(s, &now, other);
  }
  if (std::strcmp(from->reason, was.reason) != 0)
    return;
  basics::bounded_format(from->reason, sizeof from->reason, "%s", now.reason);
  if (from->fate == was.fate)
    from->fate = now.fate;
}

} // namespace

void take_movie_of_file(RunState *s, report::RecordingFacts *r,
                        const analysis::RecoveryClip *clip) {
  uint32_t index = uint32_t(r - s->report.recordings.items);
  const mp4::MovieInfo *m = clip->movie;
  uint32_t from = report::no_recording;
  for (size_t i = 0; i < s->report.pieces.count; i++) {
    const report::Piece *p = &s->report.pieces.items[i];
    if (p->kind != report::piece_movie || p->offset != m->moov_offset ||
        p->recording == report::no_recording)
      continue;
    if (p->recording == index)
      return;
    from = p->recording;
  }
  if (from == report::no_recording)
    return;
  for (size_t i = 0; i < s->report.pieces.count; i++) {
    report::Piece *p = &s->report.pieces.items[i];
    if (p->kind == report::piece_movie && p->recording == from &&
        (p->offset == m->moov_offset ||
         (m->moov_head && p->offset == m->moov_tail)))
      p->recording = index;
  }
  report::RecordingFacts *was = &s->report.recordings.items[from];
  // the chunks the documented writer missed with the box behind the other clip
  // header were never that recording's: they go
  size_t kept = 0;
  for (size_t i = 0; i < s->report.pieces.count; i++) {
    report::Piece p = s->report.pieces.items[i];
    int drop = 0;
    for (uint64_t k = 0; k < m->video.chunk_count &&
                         p.kind == report::piece_missing && p.recording == from;
         k++)
      drop |= p.offset == was->image_offset + m->video.chunk_offsets[k] &&
              p.length == m->video.chunk_sizes[k];
    if (!drop)
      s->report.pieces.items[kept++] = p;
  }
  s->report.pieces.count = kept;
  movie_moved_away(s, was, clip);
  fill_movie_facts(r, clip);
  if (!r->has_time && clip->run && clip->run->has_time) {
    const analysis::RecordingRun *run = clip->run;
    r->has_time = 1;
    r->year = run->year, r->month = run->month, r->day = run->day;
    r->hour = run->hour, r->minute = run->minute, r->second = run->second;
  }
  basics::bounded_format(r->reason, sizeof r->reason,
                         "the scan paired its movie box with clip %u's header",
                         was->clip_number);
}

void draw_cut_movie(RunState *s, uint32_t index, const mp4::MovieInfo *m) {
  if (!m->moov_head || m->moov_head >= m->moov_size)
    return;
  int head = 0, tail = 0;
  for (size_t i = 0; i < s->report.pieces.count; i++) {
    report::Piece *p = &s->report.pieces.items[i];
    if (p->kind != report::piece_movie || p->recording != index)
      continue;
    if (p->offset == m->moov_offset)
      p->length = m->moov_head, head = 1;
    tail |= p->offset == m->moov_tail;
  }
  if (head && !tail)
    report::add_piece(&s->report, report::piece_movie, index, m->moov_tail,
                      m->moov_size - m->moov_head);
}

} // namespace engine
