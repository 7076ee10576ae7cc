// The decode check of a clip: every written video sample goes to the validator library, and the
// clip is kept only when the whole video track decoded cleanly.
#include "rebuild/validation_pass.h"

#include <cstring>

#include "basics/byte_order.h"
#include "basics/output.h"
#include "codec/parameter_sets.h"

namespace rebuild {

namespace {

constexpr uint64_t no_failing_sample_alt = ~uint64_t(0) - 1;

void reset_result(validator::ValidatorResult* r)
{
    std::memset(r, 0, sizeof(*r));
    r->version = validator::validator_abi;
    r->failing_sample = validator::no_failing_sample;
}

// The camera's decoder configuration records. Each is looked for at every byte of the movie box:
// the sample entry that holds it may sit behind boxes of any layout. A record is taken only when
// its samples' NAL units carry 4-byte length fields and it lists a sequence parameter set.
int avcc_acceptable(const uint8_t* body, uint32_t len)
{
    // version, profile, compatibility, level, NAL length byte, SPS count byte
    return len >= 7 && body[0] == 1 && (body[4] & 3) == 3 && (body[5] & 0x1f) != 0;
}

int hvcc_acceptable(const uint8_t* body, uint32_t len)
{
    constexpr uint32_t sps_type = 33;
    if (len < codec::hvcc_arrays_at || body[0] != 1 || (body[codec::hvcc_length_size_at] & 3) != 3)
        return 0;
    int sps = 0;
    return codec::for_each_hvcc_set(body, len, [&](uint32_t type, const uint8_t*, uint32_t) { return sps = type == sps_type; }) &&
           sps;
}

}  // namespace

int names_failing_sample(const ValidationPass* pass)
{
    uint64_t failing = pass->result.failing_sample;
    return failing != validator::no_failing_sample && failing != no_failing_sample_alt;
}

int find_config_record(const uint8_t* moov, uint64_t len, const char* type, const uint8_t** body,
                       uint32_t* body_len)
{
    int hevc = mp4::type_is(type, mp4::box_hvcc);
    if (!moov || len < 12)
        return 0;
    for (uint64_t p = 0; p + 12 <= len; p++) {
        if (std::memcmp(moov + p + 4, type, 4) != 0)
            continue;
        uint32_t size = basics::load_be32(moov + p);
        if (size < 15 || size > len - p)
            continue;
        if (!(hevc ? hvcc_acceptable : avcc_acceptable)(moov + p + 8, size - 8))
            continue;
        *body = moov + p + 8;
        *body_len = size - 8;
        return 1;
    }
    return 0;
}

namespace {

// A decoder keeps the pictures the stream refers to (some six at 1920x1080 with B-frames) and
// each frame thread one more; each costs some 1.6 times its 4:2:0 planes with its motion tables
// (about 5 MiB at 1920x1080). The memory a decoder may take, the room, says how many frame threads
// it gets, so that a machine of many cores checks in the same memory as one of two.
constexpr uint64_t reference_pictures = 6;

// The bytes a decoded picture of the stream the record describes costs; 0 when its sequence
// parameter set does not say the picture's size.
uint64_t picture_cost(const uint8_t* record, uint32_t length, int hevc)
{
    codec::ParameterSets sets{};
    if (!codec::sets_from_config(record, length, hevc, &sets))
        return 0;
    codec::PictureFormat picture{};
    int known = codec::read_picture_format(sets.sps, sets.sps_size, hevc, &picture);
    codec::free_parameter_sets(&sets);
    if (!known || picture.width == 0 || picture.height == 0 || picture.width > 65536 || picture.height > 65536)
        return 0;
    // whole coding blocks of luma, and the chroma the sampling adds (in halves of the luma plane)
    uint64_t luma = ((uint64_t(picture.width) + 63) & ~uint64_t(63)) * ((uint64_t(picture.height) + 63) & ~uint64_t(63));
    static const uint64_t chroma_halves[4] = {0, 1, 2, 4};
    uint64_t bytes = luma + luma * chroma_halves[picture.chroma_format & 3] / 2;
    if (picture.luma_depth > 8 || picture.chroma_depth > 8)
        bytes *= 2;
    return bytes * 8 / 5;
}

}  // namespace

uint32_t frame_threads_within(uint64_t cost, uint64_t room)
{
    if (cost == 0)
        return 0;
    uint64_t pictures = room / cost;
    uint64_t threads = pictures > reference_pictures ? pictures - reference_pictures : 1;
    return threads > 64 ? 64 : static_cast<uint32_t>(threads);
}

namespace {

enum OpenFailure { opened = 0, format_not_checked, no_config_record, decoder_not_opened };

// Format check, avcC or hvcC search in `config_area` and open; prints nothing.
// `threads` frame threads, or (threads_by_room) those that fit in `room`.
constexpr uint32_t threads_by_room = UINT32_MAX;

OpenFailure open_decoder(ValidationPass* pass, const char* format, const uint8_t* config_area, uint64_t area_len,
                         uint64_t room = decoder_room_alone, uint32_t threads = threads_by_room)
{
    pass->handle = nullptr;
    reset_result(&pass->result);
    int hevc = mp4::format_is_hevc(format);
    if (!hevc && !mp4::format_is_avc(format))
        return format_not_checked;
    const char* record = hevc ? mp4::box_hvcc : mp4::box_avcc;
    const uint8_t* body = nullptr;
    uint32_t body_len = 0;
    if (!find_config_record(config_area, area_len, record, &body, &body_len))
        return no_config_record;
    validator::ValidatorOpenParams params;
    std::memset(&params, 0, sizeof(params));
    params.version = validator::validator_abi;
    std::memcpy(params.format, format, 4);
    params.reserved0 = 0;
    params.one = 1;
    params.config_address = reinterpret_cast<uint64_t>(body);
    params.config_length = body_len;
    params.reserved1 = 0;
    // the threads that fit in `room`, where the library takes a grant; else the library's own
    validator::OpenThreadsFn open_threads = validator::open_threads_export();
    if (open_threads)
        pass->handle = open_threads(&params, threads != threads_by_room
                                                 ? threads
                                                 : frame_threads_within(picture_cost(body, body_len, hevc), room));
    else
        pass->handle = validator::validator_api.open ? validator::validator_api.open(&params) : nullptr;
    return pass->handle ? opened : decoder_not_opened;
}

// The same with the failure line printed on 0.
int open_for(ValidationPass* pass, const char* format, const uint8_t* config_area, uint64_t area_len,
             int clip_number)
{
    OpenFailure failure = open_decoder(pass, format, config_area, area_len);
    if (failure == format_not_checked)
        clip_error(clip_number, "validator supports the validated AVC profile only");
    else if (failure == no_config_record)
        clip_error(clip_number, "valid %s configuration not found", mp4::format_is_hevc(format) ? mp4::box_hvcc : mp4::box_avcc);
    else if (failure == decoder_not_opened)
        clip_error(clip_number, "AVC validator initialization failed");
    return failure == opened;
}

char entry_format(const uint8_t* entry, uint32_t entry_size, char* format)
{
    std::memset(format, 0, 5);
    if (entry && entry_size >= 8)
        std::memcpy(format, entry + 4, 4);
    return format[0];
}

}  // namespace

uint64_t decoded_picture_bytes(const mp4::MovieInfo* movie)
{
    const uint8_t* body = nullptr;
    uint32_t body_len = 0;
    int hevc = mp4::format_is_hevc(movie->video.format);
    if (!find_config_record(movie->moov_bytes, movie->moov_size, hevc ? mp4::box_hvcc : mp4::box_avcc, &body, &body_len))
        return 0;
    return picture_cost(body, body_len, hevc);
}

int decoder_fits(uint64_t picture_bytes, uint64_t room) { return decoder_room_for(picture_bytes, 1) <= room; }

uint64_t decoder_room_for(uint64_t picture_bytes, uint32_t threads) { return (reference_pictures + threads) * picture_bytes; }

int validation_open_threads(ValidationPass* pass, const mp4::MovieInfo* movie, uint32_t threads)
{
    return open_decoder(pass, movie->video.format, movie->moov_bytes, movie->moov_size, 0, threads) == opened;
}

int validation_prepare(ValidationPass* pass, const mp4::MovieInfo* movie, int clip_number)
{
    return open_for(pass, movie->video.format, movie->moov_bytes, movie->moov_size, clip_number);
}

int validation_prepare_entry(ValidationPass* pass, const uint8_t* entry, uint32_t entry_size, int clip_number)
{
    char format[5];
    entry_format(entry, entry_size, format);
    return open_for(pass, format, entry, entry ? entry_size : 0, clip_number);
}

void report_refusal(const ValidationPass* pass, VideoVerdict verdict, int clip_number)
{
    const validator::ValidatorResult* r = &pass->result;
    if (verdict == video_refused_sample)
        clip_error(clip_number, "AVC decode validation failed at sample %llu",
                   static_cast<unsigned long long>(r->failing_sample + 1));
    else if (verdict == video_refused)
        clip_error(clip_number, "AVC decode validation failed");
    else if (verdict == video_incomplete)
        clip_error(clip_number, "video incomplete; validation cannot pass");
    else if (verdict == video_corrupt)
        clip_error(clip_number, "AVC validation FAIL; samples=%llu frames=%llu corrupt=%u",
                   static_cast<unsigned long long>(r->samples_received),
                   static_cast<unsigned long long>(r->frames_decoded), r->corrupt_frames);
}

VideoVerdict push_samples(ValidationPass* pass, const mp4::SampleSizes* sizes, uint64_t first_index,
                          const uint8_t* bytes, uint64_t size, int* complete)
{
    uint64_t used = 0;
    *complete = 0;
    for (uint64_t i = 0; i < sizes->count; i++) {
        uint64_t index = first_index + i;
        uint64_t sample = mp4::sample_size_at(sizes, i);
        if (size - used < sample)
            return video_decoded;
        if (validator::validator_api.push(pass->handle, bytes + used, sample, index) != 0) {
            validator::validator_api.get_result(pass->handle, &pass->result);
            validation_close(pass);
            return names_failing_sample(pass) ? video_refused_sample : video_refused;
        }
        pass->pushed++;
        used += sample;
    }
    *complete = used == size;
    return video_decoded;
}

namespace {

// The samples of the chunk that lie in the track (samples past its end are never pushed); 1 when
// that is all of the chunk's.
int samples_in_track(const mp4::TrackTables* video, uint64_t chunk, mp4::SampleSizes* sizes)
{
    uint64_t first = video->chunk_first_sample[chunk];
    uint64_t count = video->chunk_sample_counts[chunk];
    uint64_t left = first > video->sample_count ? 0 : video->sample_count - first;
    uint64_t in_track = left < count ? left : count;
    *sizes = {video->sample_sizes ? video->sample_sizes + first : nullptr, video->fixed_sample_size, in_track};
    return in_track == count;
}

}  // namespace

VideoVerdict push_chunk(ValidationPass* pass, const mp4::TrackTables* video, uint64_t chunk, const uint8_t* bytes,
                        int* complete)
{
    mp4::SampleSizes sizes;
    int whole = samples_in_track(video, chunk, &sizes);
    int pushed_all = 0;
    VideoVerdict verdict =
        push_samples(pass, &sizes, video->chunk_first_sample[chunk], bytes, video->chunk_sizes[chunk], &pushed_all);
    *complete = verdict == video_decoded && pushed_all && whole;
    return verdict;
}

int chunk_filled(const mp4::TrackTables* video, uint64_t chunk)
{
    mp4::SampleSizes sizes;
    int whole = samples_in_track(video, chunk, &sizes);
    uint64_t used = 0, size = video->chunk_sizes[chunk];
    for (uint64_t i = 0; i < sizes.count; i++) {
        uint64_t sample = mp4::sample_size_at(&sizes, i);
        if (size - used < sample)
            return 0;
        used += sample;
    }
    return whole && used == size;
}

int validation_push_chunk(ValidationPass* pass, const mp4::TrackTables* video, uint64_t chunk,
                          const uint8_t* bytes, int clip_number, int* complete)
{
    VideoVerdict verdict = push_chunk(pass, video, chunk, bytes, complete);
    if (verdict != video_decoded) {
        report_refusal(pass, verdict, clip_number);
        return 0;
    }
    return 1;
}

VideoVerdict judge_video(ValidationPass* pass, uint64_t written, uint64_t chunk_count)
{
    // A decoder on several threads hands back the result of the last samples pushed only when it
    // is drained: a damaged sample among them is named as a single thread names it at its push,
    // before anything the track as a whole lacks.
    int rc = pass->decided ? pass->decided_rc : validator::validator_api.finish(pass->handle, &pass->result);
    validation_close(pass);
    const validator::ValidatorResult* r = &pass->result;
    if (rc != 0 && names_failing_sample(pass))
        return video_refused_sample;
    if (written < chunk_count)
        return video_incomplete;
    if (rc != 0 || r->corrupt_frames != 0)
        return video_corrupt;
    return video_decoded;
}

namespace {

void print_passed(const ValidationPass* pass, int show_progress, const ProgressLine& line)
{
    if (show_progress)
        progress_print(line, 90, "AVC validation passed");
    basics::out_printf("  AVC validation PASS: %llu samples, %llu decoded frames\n",
                       static_cast<unsigned long long>(pass->result.samples_received),
                       static_cast<unsigned long long>(pass->result.frames_decoded));
}

}  // namespace

int validation_finish(ValidationPass* pass, uint64_t written, uint64_t chunk_count, int show_progress,
                      const ProgressLine& line)
{
    VideoVerdict verdict = judge_video(pass, written, chunk_count);
    if (verdict == video_decoded)
        print_passed(pass, show_progress, line);
    report_refusal(pass, verdict, line.clip);
    return verdict == video_decoded;
}

VideoVerdict end_of_video(ValidationPass* pass, int validate, uint64_t written, uint64_t chunk_count,
                          HeldChunks* held)
{
    if (!validate) {
        show_all(held);
        progress_step(held->progress, 90, "video complete");
        return video_decoded;
    }
    VideoVerdict verdict = judge_video(pass, written, chunk_count);
    if (verdict == video_refused_sample)
        show_before(held, pass->result.failing_sample);
    else
        show_all(held);
    if (verdict == video_decoded) {
        print_passed(pass, held->progress->show, held->progress->line);
        held->progress->last_percent = 90;
    }
    return verdict;
}

void validation_close(ValidationPass* pass)
{
    if (pass->handle && validator::validator_api.close)
        validator::validator_api.close(pass->handle);
    pass->handle = nullptr;
}

int samples_decode_cleanly(const uint8_t* entry, uint32_t entry_size, const uint8_t* bytes,
                           const mp4::SampleSizes* sizes, int one_thread)
{
    char format[5];
    ValidationPass pass = {};
    entry_format(entry, entry_size, format);
    if (open_decoder(&pass, format, entry, entry ? entry_size : 0, decoder_room_alone,
                     one_thread ? 1 : threads_by_room) != opened)
        return 0;
    uint64_t total = 0;
    for (uint64_t i = 0; i < sizes->count; i++)
        total += mp4::sample_size_at(sizes, i);
    int complete = 0;
    if (push_samples(&pass, sizes, 0, bytes, total, &complete) != video_decoded)
        return 0;
    int rc = validator::validator_api.finish(pass.handle, &pass.result);
    validation_close(&pass);
    return rc == 0 && pass.result.corrupt_frames == 0 && pass.result.frames_decoded > 0;
}

}  // namespace rebuild
