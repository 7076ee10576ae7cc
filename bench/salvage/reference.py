"""Hand-made salvaged files, to show that the oracle salvaged files are judged by
(tests/e2e/oracle.py) passes them where it should and fails them where it should. For every recording of a scenario card that the
documented rules do not write, builds the file a faithful salvage gives (the frames decodable
from an intact key frame whose sound is intact, with that sound, re-chunked behind one another,
a reordered stream's frames presented at the camera's own times) and a few faulty variants, and
runs the checks on each.

    python3 bench/salvage/reference.py [SCENARIO ...]     (build/ at the repository root)"""

import os
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
import harness  # noqa: E402
import mp4_reader  # noqa: E402
import oracle  # noqa: E402
import test_salvage  # noqa: E402


def box(kind, *parts):
    payload = b"".join(parts)
    return struct.pack(">I4s", 8 + len(payload), kind.encode()) + payload


def full(kind, version_flags, *parts):
    return box(kind, struct.pack(">I", version_flags), *parts)


def stbl(entry, chunks, sizes, key, offsets=None):
    """Sample tables for chunks [(file offset, sample count)] and one size per sample, with the
    composition offsets of a reordered stream, if any."""
    stsc = [(i + 1, n) for i, (_, n) in enumerate(chunks) if i == 0 or chunks[i - 1][1] != n]
    parts = [full("stsd", 0, struct.pack(">I", 1), entry),
             full("stts", 0, struct.pack(">III", 1, len(sizes), 1 if key is None else 1000))]
    if key is not None:
        sync = [k + 1 for k, is_key in enumerate(key) if is_key]
        parts.append(full("stss", 0, struct.pack(">I%dI" % len(sync), len(sync), *sync)))
    if offsets:
        parts.append(full("ctts", 0, struct.pack(">I", len(offsets)),
                          b"".join(struct.pack(">II", 1, o) for o in offsets)))
    parts += [full("stsc", 0, struct.pack(">I", len(stsc)), b"".join(struct.pack(">III", c, n, 1) for c, n in stsc)),
              full("stsz", 0, struct.pack(">II%dI" % len(sizes), 0, len(sizes), *sizes)),
              full("stco", 0, struct.pack(">I%dI" % len(chunks), len(chunks), *(o for o, _ in chunks)))]
    return box("stbl", *parts)


def trak(track_id, handler, timescale, duration, table, width=0, height=0, media_time=None):
    movie_duration = duration * 1000 // timescale
    tkhd = full("tkhd", 3, struct.pack(">IIIII", 0, 0, track_id, 0, movie_duration), bytes(8),
                struct.pack(">hhhH", 0, 0, 0x100 if handler == "soun" else 0, 0),
                struct.pack(">9I", 0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000),
                struct.pack(">II", width << 16, height << 16))
    mdhd = full("mdhd", 0, struct.pack(">IIIIHH", 0, 0, timescale, duration, 0x55C4, 0))
    hdlr = full("hdlr", 0, bytes(4), handler.encode(), bytes(12), b"\0")
    media_header = full("vmhd", 1, bytes(8)) if handler == "vide" else full("smhd", 0, bytes(4))
    dinf = box("dinf", full("dref", 0, struct.pack(">I", 1), full("url ", 1)))
    edts = [] if media_time is None else [box("edts", full("elst", 0, struct.pack(">IIIi", 1, movie_duration,
                                                                                 media_time, 0x10000)))]
    return box("trak", tkhd, *edts, box("mdia", mdhd, hdlr, box("minf", media_header, dinf, table)))


def sample_entries(path):
    data = harness.read(path)
    m = mp4_reader.movie(data)
    moov = [b for b in m["top"] if b[0] == "moov"][0]
    out = {}
    for t in [b for b in mp4_reader.boxes(data, moov[1] + moov[2], moov[1] + moov[3]) if b[0] == "trak"]:
        handler = mp4_reader.track_tables(data, t)["handler"]
        stsd = mp4_reader.body(data, mp4_reader.child(data, mp4_reader.path(data, t, "mdia", "minf", "stbl"), "stsd"))
        out[handler] = stsd[8:]
    return out


def camera_times(orig, frames):
    """Composition offsets that present each kept frame at the camera's own time (shifted so that
    none is negative), and the edit list's media time that starts at the first presented frame."""
    shift = max([0] + [k - orig.pts[i] for k, i in enumerate(frames)])
    offsets = [(orig.pts[i] + shift - k) * 1000 for k, i in enumerate(frames)]
    return offsets, min((orig.pts[i] + shift) * 1000 for i in frames)


def build(path, orig, entries, frames, sound_of, mutate=None, reorder=True):
    """Writes a salvaged file of the recording's `frames` (chunked twelve by twelve as the camera
    did), each followed in its chunk by the sound samples sound_of(frame) gives, [begin, end); a
    reordered stream presents them at the camera's times unless `reorder` is off."""
    groups = {}
    for i in frames:
        groups.setdefault(i // 12, []).append(i)
    media, video_chunks, sound_chunks, sizes, key, sound_count = [], [], [], [], [], 0
    header = len(box("ftyp", b"XAVC", struct.pack(">I", 1), b"XAVCmp42iso2")) + 8
    at = header
    for j in sorted(groups):
        video_chunks.append((at, len(groups[j])))
        for i in groups[j]:
            media.append(orig.video[i])
            sizes.append(len(orig.video[i]))
            key.append(orig.key[i])
            at += len(orig.video[i])
        sound = b"".join(orig.sound[4 * b:4 * e] for b, e in (sound_of(i) for i in groups[j]))
        if sound:
            sound_chunks.append((at, len(sound) // 4))
            media.append(sound)
            sound_count += len(sound) // 4
            at += len(sound)
    mdat = b"".join(media)
    if mutate:
        mdat, key = mutate(mdat, key)
    offsets, media_time = None, None
    if reorder and orig.pts != sorted(orig.pts):
        offsets, media_time = camera_times(orig, frames)
        if reorder == "swapped":  # two frames of different offsets trade them
            k = next(k for k in range(1, len(offsets)) if offsets[k] != offsets[0])
            offsets[0], offsets[k] = offsets[k], offsets[0]
    video = trak(1, "vide", 25000, 1000 * len(frames), stbl(entries["vide"], video_chunks, sizes, key, offsets),
                 256, 144, media_time)
    traks = [video]
    if sound_count:
        traks.append(trak(2, "soun", 48000, sound_count, stbl(entries["soun"], sound_chunks, [4] * sound_count, None)))
    duration = max(len(frames) * 40, sound_count * 1000 // 48000)
    mvhd = full("mvhd", 0, struct.pack(">IIII", 0, 0, 1000, duration), struct.pack(">IH", 0x10000, 0x100),
                bytes(10), struct.pack(">9I", 0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000), bytes(24),
                struct.pack(">I", len(traks) + 1))
    with open(path, "wb") as f:
        f.write(box("ftyp", b"XAVC", struct.pack(">I", 1), b"XAVCmp42iso2"))
        f.write(struct.pack(">I4s", 8 + len(mdat), b"mdat") + mdat)
        f.write(box("moov", mvhd, *traks))


def variants(orig):
    """(name, should pass, frames, sound_of, mutate, reorder) of one recording."""
    spf = orig.spf
    keep = orig.required()
    span = lambda i: (i * spf, (i + 1) * spf)  # noqa: E731
    decodable = [i for i, ok in enumerate(orig.decodable()) if ok]
    no_sound = [i for i in decodable if i not in keep]
    first_chunk_sound = lambda i: (i * spf, (i + 1) * spf) if i >= 12 else (0, 0)  # noqa: E731
    zeroed = lambda mdat, key: (mdat[:100] + bytes(16) + mdat[116:], key)  # noqa: E731
    rows = [("faithful", True, keep, span, None),
            ("no composition offsets", orig.pts == sorted(orig.pts), keep, span, None, False),
            ("composition offsets swapped", orig.pts == sorted(orig.pts), keep, span, None, "swapped"),
            ("a frame left out with its sound", False, keep[:5] + keep[6:], span, None),
            ("bytes of a sample zeroed", False, keep, span, zeroed),
            ("key frames marked a sample late", False, keep, span, lambda mdat, key: (mdat, key[-1:] + key[:-1])),
            ("sound of the first chunk left out", False, keep, first_chunk_sound, None),
            ("sound two frames late", False, keep, lambda i: ((i - 2) * spf, (i - 1) * spf) if i > 1 else (0, 0), None)]
    # intact frames that refer to lost ones: behind a gap before the next key frame, or the leading
    # pictures of an open group whose group before was broken
    refer_lost = [i for i, ok in enumerate(orig.decodable()) if not ok and orig.intact[i] and i > keep[0]
                  and orig.sound_span_intact(i)]
    if refer_lost:
        rows.append(("intact frames that refer to lost ones", False, sorted(keep + refer_lost), span, None))
    if len(no_sound) > 1:  # one frame more picture than sound is within the allowance
        rows.append(("frames without their sound", False, sorted(keep + no_sound),
                     lambda i: span(i) if i in keep else (0, 0), None))
    return rows


def main(scenarios):
    test = unittest.TestCase()
    folder = tempfile.mkdtemp(prefix="salvage-reference-", dir=harness._root)  # removed at exit
    bad = 0
    for scenario in scenarios:
        card = harness.make_card(scenario)
        for rec in card.recordings:
            orig = oracle.Original(card, rec)
            if rec["recover_validator"] or not orig.required():
                continue
            entries = sample_entries(card.recording_path(rec))
            for name, good, frames, sound_of, mutate, *reorder in variants(orig):
                path = os.path.join(folder, test_salvage.salvaged_name(rec))
                build(path, orig, entries, frames, sound_of, mutate, *reorder)
                try:
                    index, gaps, sound, _ = oracle.judge_salvaged(test, orig, path)
                    missing = sorted(set(orig.required()) - set(index))
                    test.assertEqual(missing, [], "frames the card holds left out")
                    verdict = "passes (video %d, gaps %d, sound %d)" % (len(index), gaps, sound)
                except AssertionError as e:
                    verdict = "fails: " + str(e).splitlines()[0][:90]
                ok = verdict.startswith("passes") == good
                bad += not ok
                print("%-3s %-15s %-5s %-36s %s" % ("ok" if ok else "BAD", scenario, rec["name"], name, verdict))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or test_salvage.SCENARIOS))
