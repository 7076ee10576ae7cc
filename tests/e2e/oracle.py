"""The judge of every file the engine writes for a recording, against the camera's own file.

A file is read with ffprobe's packet lists and hashes (not with the project's MP4 code; the
tests' own box reader adds the sync samples and durations ffprobe does not show) and must
hold what such a file may hold: every video sample the bytes the card holds at that sample's own
place in the recording (the camera's, where the card kept them), in the camera's decode order,
shown in its presentation order; every sound sample the sound of its picture's time, from its
own place; nothing else. A salvaged file keeps only pictures that decode from what it holds, and
the salvaged files of a recording keep at least what the reference model calls keepable: every
picture whose chain from its key frame and whose sound lie intact where the camera wrote them."""

import bisect
import calendar
import datetime
import hashlib
import json
import os
import re
import struct

import harness
import mp4_reader


class Place:
    """Where a recording's file lies in an image: runs [file offset, image offset, bytes]."""

    def __init__(self, runs):
        self.runs = sorted([list(r) for r in runs])

    def bytes(self, image, begin, end):
        """File bytes [begin, end) as the image holds them where the runs put them; None where the
        image does not hold them all."""
        out = b""
        for f, i, n in self.runs:
            a, z = max(begin, f), min(end, f + n)
            if a < z:
                out += bytes(image[i + a - f:i + z - f])
        return out if len(out) == end - begin else None

    def image(self, begin, end):
        """The image offset of file bytes [begin, end) when they lie in one piece; else None."""
        k = bisect.bisect_right([r[0] for r in self.runs], begin) - 1
        if k < 0:
            return None
        f, i, n = self.runs[k]
        return i + begin - f if end <= f + n else None

    def file(self, begin, end):
        """The file offset of image bytes [begin, end) when they are one piece of the file."""
        for f, i, n in self.runs:
            if i <= begin and end <= i + n:
                return f + begin - i
        return None

    def move(self, source, target, length, swap=False):
        """The image bytes [source, source + length) now lie at target (and, swapped, those at
        target at source)."""
        out = []
        for f, i, n in self.runs:
            edges = {x for x in (source, source + length, target, target + length) if i < x < i + n}
            cuts = sorted({i, i + n} | edges)
            for a, b in zip(cuts, cuts[1:]):
                at = a
                if source <= a and b <= source + length:
                    at = a - source + target
                elif swap and target <= a and b <= target + length:
                    at = a - target + source
                out.append([f + a - i, at, b - a])
        self.runs = sorted(out)


class Original:
    """A recording as the camera wrote it, and what the card image holds of it where the camera
    wrote it (in the card's clusters as the generator placed them): for every video sample and
    every frame's sound whether it is intact there (`intact`, `sound_ok`: a sample a fragment
    boundary cut in two is on the card all the same) and the bytes there now (`here`,
    `sound_here`; None where the image does not hold them), and for
    every chunk whether its sound can be placed: the chunk, and the next piece of the file behind
    its sound (the next kkad box, the next chunk, the movie box or the media data's end), lie
    intact where the camera wrote them, in one run of clusters."""

    def __init__(self, card, rec, image=None):
        self.rec, self.path = rec, card.recording_path(rec)
        self.data = data = harness.read(self.path)
        image = harness.read_image(card.image) if image is None else image
        self.video = [data[o:o + n] for o, n, _, _ in rec["video_samples"]]
        self.key = [k for _, _, k, _ in rec["video_samples"]]
        self.fb = rec.get("sound_frame_bytes", 4)  # bytes of one sound sample, every channel's
        self.sound = b"".join(data[o:o + self.fb * n] for o, n in rec["sound_chunks"])
        # the frame rate as a fraction; the camera writes the sound due by each frame's end, so at
        # 1001 rates frames carry 1601 or 1602 sound samples
        self.rate = tuple(rec.get("frame_rate_fraction", (rec["frame_rate"], 1)))
        self.spf = rec["sound_rate"] * self.rate[1] // self.rate[0]  # whole sound samples per frame
        self.rates = (rec["frame_rate"], rec["sound_rate"])
        self.codec = rec["codec"]
        # presentation positions in frames, in decode order; a tidy stream is not reordered
        self.pts = rec.get("video_pts", list(range(len(self.video))))
        self.open_gop = rec.get("stream", {}).get("open_gop", False)
        starts = [0]
        for _, n in rec["sound_chunks"]:
            starts.append(starts[-1] + n)
        self.sound_starts = starts
        self.frames = min(len(self.video), max(k for k in range(len(self.video) + 1) if self.due(k) <= starts[-1]))
        place = Place(rec["extents"])

        def here(begin, end):
            return place.bytes(image, begin, end)
        self.on_card = b"".join(bytes(image[i:i + n]) for _, i, n in place.runs)[:len(data)]
        self.here = [here(o, o + n) for o, n, _, _ in rec["video_samples"]]
        self.intact = [h == v for h, v in zip(self.here, self.video)]
        spans = [self.sound_range(i) for i in range(self.frames)]
        self.sound_here = [here(b, e) for b, e in spans]
        self.sound_ok = [h == data[b:e] for h, (b, e) in zip(self.sound_here, spans)]
        top = mp4_reader.boxes(data, 0, len(data))
        mdat = [b for b in top if b[0] == "mdat"][0]
        # the clip header counts when its media data ends inside the image, as the analysis takes
        # it, or was never closed (size 0: the camera lost power)
        head = here(0, mdat[1] + 8)
        size = head and int.from_bytes(head[-8:-4], "big")
        self.header_intact = head is not None and head[:mdat[1]] + head[-4:] == data[:mdat[1]] + b"mdat" and \
            (size == 0 or place.image(0, 1) + mdat[1] + size <= len(image))
        # the pieces that vouch for the sound before them, in file order
        boxes = [(a, a + int.from_bytes(data[a:a + 4], "big")) for a in mp4_reader.kkad_offsets(data)]
        chunks = [(o, o + sum(n for _, n, _, _ in rec["video_samples"][k:k + 12]))
                  for k, (o, _, _, _) in enumerate(rec["video_samples"]) if k % 12 == 0]
        self.placeable, self.vouched = [], []
        for j, (b, e) in enumerate(chunks):
            after = [r for r in boxes[j + 1:j + 2] + [(c[0], c[0] + 16) for c in chunks[j + 1:j + 2]]]
            if j + 1 == len(chunks):
                after = [(m[1], m[1] + 16) for m in top if m[0] == "moov"]
            # the next piece behind chunk j's sound still where the camera wrote it: damage that
            # reached into the sound from there would have taken it too
            self.vouched.append(any(place.image(b, z) is not None and here(a, z) == data[a:z] for a, z in after))
            self.placeable.append(here(b, e) == data[b:e] and self.vouched[-1])

    def is_copy(self, data):
        """`data` is the recording's file as far as its length and first video sample tell."""
        o, n, _, _ = self.rec["video_samples"][0]
        return len(data) == len(self.data) and data[o:o + n] == self.video[0]

    def same_but_last_unit(self, j, got):
        """`got` is sample j but inside its last unit, whose length field and header stand: foreign
        bytes there no reader of the sample's structure can tell from the camera's, only a decoder."""
        video, at, last = self.video[j], 0, 0
        while at + 4 <= len(video):
            last, at = at, at + 4 + int.from_bytes(video[at:at + 4], "big")
        return got is not None and len(got) == len(video) and got[:last + 6] == video[:last + 6]

    def foreign_tail_unseen(self, j):
        """The card changed sample j only inside its last unit, and the next sample of its chunk
        starts intact behind it: what a salvage cannot tell from the camera's sample."""
        after = j + 1 == len(self.video) or j % 12 == 11 or \
            (self.here[j + 1] is not None and self.here[j + 1][:6] == self.video[j + 1][:6])
        return self.same_but_last_unit(j, self.here[j]) and after

    def due(self, frames):
        """The sound samples due by the end of the first `frames` frames."""
        return frames * self.rec["sound_rate"] * self.rate[1] // self.rate[0]

    def sound_span(self, frame):
        """A frame's sound samples in the recording's sound, [begin, end)."""
        return self.due(frame), self.due(frame + 1)

    def sound_range(self, frame):
        """The file bytes of a frame's sound: they lie in one chunk of the camera's."""
        s, e = self.sound_span(frame)
        j = bisect.bisect_right(self.sound_starts, s) - 1
        o = self.rec["sound_chunks"][j][0] + self.fb * (s - self.sound_starts[j])
        return o, o + self.fb * (e - s)

    def sound_chunk(self, frame):
        return bisect.bisect_right(self.sound_starts, self.due(frame)) - 1

    def sound_span_intact(self, frame):
        return frame < self.frames and self.sound_ok[frame]

    def sound_placeable(self, frame):
        """The frame's sound is intact and lies where a salvage can vouch for it."""
        return frame < self.frames and self.sound_ok[frame] and self.placeable[frame // 12]

    def decodable(self, intact=None):
        """Intact frames whose key frame and every frame between are intact too. In an open group
        a leading picture (presented before its key frame) refers to the group before, which must
        be whole up to that key frame, and to the leading pictures before it; no later picture
        refers to a leading one."""
        out, chain, before, key_pts, leading_ok = [], False, False, None, False
        for i, ok in enumerate(self.intact if intact is None else intact):
            if self.key[i]:
                before, key_pts, leading_ok = chain, self.pts[i], True
            if self.open_gop and not self.key[i] and key_pts is not None and self.pts[i] < key_pts:
                leading_ok = leading_ok and ok
                out.append(chain and before and leading_ok)
                continue
            chain = ok and (self.key[i] or chain)
            out.append(chain)
        return out

    def required(self, vouched=True):
        """The frames a salvage must keep: decodable from what lies intact where the camera wrote
        it, with their sound intact there (where damage may have taken what vouches for it: where a
        salvage can vouch for it), behind a clip header the card kept."""
        # a picture without its sound would put all behind it out of step: those are left out,
        # and so are the pictures that refer to them
        sound = self.sound_placeable if vouched else self.sound_span_intact
        ok = self.decodable([self.intact[i] and sound(i) for i in range(len(self.video))])
        # an AVC open group's I picture is no IDR: behind a break its pictures may still name
        # pictures of the lost group (memory management), which the decoder refuses; a salvage may
        # keep them where they decode, in a part of their own, but need not
        joined = True
        for i in range(len(ok)):
            if self.key[i] and i > 0:
                joined = not (self.codec == "avc" and self.open_gop) or ok[i - 1]
            ok[i] = ok[i] and joined
        return [i for i in range(self.frames) if self.header_intact and ok[i]]


def probe(path):
    """ffprobe's streams and packets of a file, every packet with its bytes (checked against
    ffprobe's own hash of them)."""
    out, err = harness.read_with(["ffprobe", "-v", "error", "-show_data_hash", "sha256", "-show_entries",
                                  "stream=index,codec_type,codec_name,width,height,sample_rate,channels,time_base,"
                                  "duration_ts:packet=stream_index,pts,dts,duration,size,pos,flags,data_hash",
                                  "-of", "json", path], path)
    info = json.loads(out or "{}")
    data = harness.read(path)
    streams = {s["index"]: s for s in info.get("streams", []) if s.get("codec_type") in ("video", "audio")}
    found = {s["codec_type"]: dict(s, packets=[]) for s in streams.values()}
    for p in info.get("packets", []):
        s = streams.get(p["stream_index"])
        if s is None:
            continue
        pos, size = int(p["pos"]), int(p["size"])
        p["bytes"] = data[pos:pos + size]
        p["digest"] = hashlib.sha256(p["bytes"]).hexdigest()
        if "SHA256:" + p["digest"] != p.get("data_hash"):
            raise AssertionError("%s: ffprobe's packet at %d is not the file's bytes there" % (path, pos))
        found[s["codec_type"]]["packets"].append(p)
    return found, data, err.strip()


def check_streams(test, name, orig, tracks, settings):
    """The picture's codec and size and the sound's format are the camera's."""
    video = tracks.get("video")
    test.assertIsNotNone(video, "%s: no video" % name)
    test.assertEqual(video["codec_name"], {"avc": "h264", "hevc": "hevc"}[orig.codec], name)
    test.assertEqual((video["width"], video["height"]), settings["video"], "%s: picture size" % name)
    if "audio" in tracks:
        a = tracks["audio"]
        test.assertEqual((a["codec_name"], int(a["sample_rate"]), a["channels"]), settings["audio"],
                         "%s: sound format" % name)


_settings = {}


def camera_settings(orig):
    """The picture size, the sound format and the key frame flags of the camera's own file, read
    by ffprobe."""
    if orig.path not in _settings:
        tracks, _, _ = probe(orig.path)
        a = tracks["audio"]
        _settings[orig.path] = {"video": (tracks["video"]["width"], tracks["video"]["height"]),
                                "audio": (a["codec_name"], int(a["sample_rate"]), a["channels"]),
                                "keys": ["K" in p["flags"] for p in tracks["video"]["packets"]],
                                "heads": movie_heads(harness.read(orig.path))}
    return _settings[orig.path]


def movie_heads(data):
    """What a player reads of a file's movie box besides its sample tables: the creation time,
    and of each track by its handler the header's flags, layer, volume, matrix and picture size,
    the media's language and the sample entry."""
    top = mp4_reader.boxes(data, 0, len(data))
    moov = [b for b in top if b[0] == "moov"][-1]
    mvhd = mp4_reader.body(data, mp4_reader.child(data, moov, "mvhd"))
    tracks = {}
    for trak in mp4_reader.boxes(data, moov[1] + moov[2], moov[1] + moov[3]):
        if trak[0] != "trak":
            continue
        tkhd = mp4_reader.body(data, mp4_reader.child(data, trak, "tkhd"))
        mdhd = mp4_reader.body(data, mp4_reader.path(data, trak, "mdia", "mdhd"))
        handler = mp4_reader.body(data, mp4_reader.path(data, trak, "mdia", "hdlr"))[8:12].decode("latin-1")
        stsd = mp4_reader.body(data, mp4_reader.path(data, trak, "mdia", "minf", "stbl", "stsd"))
        language = mdhd[32:34] if mdhd[0] == 1 else mdhd[20:22]
        tracks[handler] = {"track header": tkhd[1:4] + tkhd[-52:], "language": language, "sample entry": stsd[8:]}
    creation = struct.unpack(">Q", mvhd[4:12])[0] if mvhd[0] == 1 else struct.unpack(">I", mvhd[4:8])[0]
    return creation, tracks


def check_heads(test, name, orig, data, tracks):
    """The movie box says what the camera's says of the recording: its creation time, and of the
    picture and the sound their track headers, language and sample entries."""
    creation, camera = camera_settings(orig)["heads"]
    got_creation, got = movie_heads(data)
    # a recording whose movie box is lost takes its time from its kkad boxes: where they carry
    # none, it has none
    if orig.rec.get("kkad_time", True) is False and orig.rec["damage"] not in ("hole", "cluster-hole"):
        creation = 0
    test.assertEqual(got_creation, creation, "%s: creation time" % name)
    for handler, kind in (("vide", "video"), ("soun", "audio")):
        if kind in tracks:
            test.assertIn(handler, got, "%s: no %s track header" % (name, handler))
            for field, value in camera[handler].items():
                test.assertEqual(got[handler][field], value, "%s: the %s track's %s" % (name, handler, field))


def match_video(test, name, orig, packets, decoded=True):
    """The recording's index of every video packet: the next sample the packet holds, as the
    camera wrote it or as the card holds it where the camera wrote it (where no decoder checked
    the pictures, wherever the card changed it). Returns the index and how many of them the card
    had changed."""
    where = {}
    for j, b in list(enumerate(orig.video)) + [(j, b) for j, b in enumerate(orig.here) if b is not None]:
        where.setdefault(hashlib.sha256(b).hexdigest(), set()).add(j)
    index, changed, last = [], 0, -1
    for k, p in enumerate(packets):
        later = sorted(j for j in where.get(p["digest"], ()) if j > last)
        test.assertTrue(later, "%s: video sample %d (%d bytes) is no later sample of the recording" % (name, k,
                                                                                                      len(p["bytes"])))
        j = later[0]
        if p["bytes"] != orig.video[j]:
            test.assertTrue(orig.foreign_tail_unseen(j) or not decoded,
                            "%s: video sample %d is sample %d, which the card changed where it can be seen" % (name, k, j))
            changed += 1
        index.append(j)
        last = j
    return index, changed


def check_presentation(test, name, orig, video, index):
    """Every picture shown, in the camera's presentation order, each span kept without a gap at one
    offset from the camera's times, at the camera's rate."""
    packets = video["packets"]
    deltas = {int(p["duration"]) for p in packets}
    test.assertEqual(len(deltas), 1, "%s: the picture changes rate" % name)
    delta = deltas.pop()
    num, den = map(int, video["time_base"].split("/"))
    test.assertEqual(den * orig.rate[1], delta * num * orig.rate[0], "%s: frame rate" % name)
    pts = [int(p["pts"]) for p in packets]
    # the edit list may end the showing before a key frame kept only for the pictures it leads
    shown = [t for t, p in zip(pts, packets) if "D" not in p["flags"]]
    hidden = [t for t, p in zip(pts, packets) if "D" in p["flags"]]
    test.assertTrue(shown and (not hidden or min(hidden) > max(shown)), "%s: pictures not shown amid others" % name)
    camera = [orig.pts[i] * delta for i in index]
    order = sorted(range(len(index)), key=lambda k: camera[k])
    for a, b in zip(order, order[1:]):
        test.assertLess(pts[a], pts[b], "%s: samples %d and %d are presented out of the camera's order"
                        % (name, index[a], index[b]))
    start = 0
    for k in range(1, len(index) + 1):
        if k == len(index) or index[k] != index[k - 1] + 1:
            shifts = sorted({pts[j] - camera[j] for j in range(start, k)})
            test.assertEqual(len(shifts), 1, "%s: samples %d-%d are presented at offsets %s from the camera's"
                             % (name, index[start], index[k - 1], shifts[:4]))
            start = k
    # one span after another without a pause: where a span ends, only pictures the camera reorders
    # around the break may be missing from the timeline, never the time of what the card lost
    # and the first picture shown begins the file's time, as the sound of the frames kept does
    test.assertEqual(min(shown), 0, "%s: the first picture is shown %d ticks after the file begins" % (name, min(shown)))
    depth = max(abs(p - i) for i, p in enumerate(orig.pts))
    times = sorted(shown)
    pause = max([(b - a) // delta - 1 for a, b in zip(times, times[1:])] + [0])
    test.assertLessEqual(pause, 2 * depth + 1, "%s: a pause of %d pictures in the showing" % (name, pause))


def check_tables(test, name, data, top, keys):
    """What ffprobe does not show of the movie box, read by the tests' own box reader: the sync
    samples players seek by (ffprobe's flags follow the pictures' own types), and durations that
    agree with the samples."""
    moov = top[-1]
    scale, duration = (mp4_reader.full_box_value(data, mp4_reader.child(data, moov, "mvhd"), 12, 20),
                       mp4_reader.full_box_value(data, mp4_reader.child(data, moov, "mvhd"), 16, 24))
    tracks = [mp4_reader.track_samples(data, t) for t in mp4_reader.boxes(data, moov[1] + moov[2], moov[1] + moov[3])
              if t[0] == "trak"]
    video = [t for t in tracks if t["handler"] == "vide"][0]
    test.assertEqual(list(range(len(video["samples"]))) if video["sync"] is None else video["sync"], keys,
                     "%s: sync samples" % name)
    for t in tracks:
        test.assertEqual(t["media_duration"], sum(t["deltas"]), "%s: %s media duration" % (name, t["handler"]))
        test.assertLessEqual(abs(t["track_duration"] - t["media_duration"] * scale / t["timescale"]), 1,
                             "%s: %s track duration" % (name, t["handler"]))
    test.assertLessEqual(abs(duration - max(t["track_duration"] for t in tracks)), 1, "%s: movie duration" % name)


def sound_bytes(test, name, audio, frame_bytes=4):
    """The sound track's bytes in order, its packets one after another in time."""
    at = 0
    for p in audio["packets"]:
        test.assertEqual(int(p["pts"]), at, "%s: sound packet at %d does not follow the one before" % (name, at))
        at += len(p["bytes"]) // frame_bytes
    return b"".join(p["bytes"] for p in audio["packets"])


def starts_sequence(sample, hevc):
    """The picture's first slice is an IDR (or, in HEVC, BLA) picture's."""
    at = 0
    while at + 5 <= len(sample):
        kind = (sample[at + 4] >> 1) & 0x3F if hevc else sample[at + 4] & 0x1F
        if (kind < 32) if hevc else 1 <= kind <= 5:
            return 16 <= kind <= 20 if hevc else kind == 5
        at += 4 + int.from_bytes(sample[at:at + 4], "big")
    return False


def judge_salvaged(test, orig, path, decoded=True, sound_vouched=True):
    """A salvaged file (or a later part of one): what it holds is the recording's, in order, shown
    as the camera showed it, with the sound of its pictures, and it decodes from what it holds
    (where a decoder checked it: without one, the pictures it keeps need only the ones it keeps).
    Returns (the recording's index of each kept sample, gaps, sound samples, samples the card had
    changed)."""
    name = os.path.basename(path)
    tracks, data, errors = probe(path)
    test.assertEqual(errors if decoded else "", "", "%s: ffprobe" % name)
    check_streams(test, name, orig, tracks, camera_settings(orig))
    top = mp4_reader.boxes(data, 0, len(data))
    test.assertEqual([b[0] for b in top], ["ftyp", "mdat", "moov"], "%s: top-level boxes" % name)
    _, mdat, header, size = top[1]
    at = mdat + header
    for pos, n in sorted((int(p["pos"]), len(p["bytes"])) for t in tracks.values() for p in t["packets"]):
        test.assertEqual(pos, at, "%s: media data bytes %d-%d belong to no sample" % (name, at, pos))
        at += n
    test.assertEqual(at, mdat + size, "%s: the media data runs on past the last sample" % name)
    video = tracks["video"]
    index, changed = match_video(test, name, orig, video["packets"], decoded)
    check_tables(test, name, data, top, [k for k, i in enumerate(index) if orig.key[i]])
    check_heads(test, name, orig, data, tracks)
    kept = set(index)
    decodable = orig.decodable([i in kept for i in range(len(orig.video))])
    test.assertEqual([i for i in index if not decodable[i]], [], "%s: kept frames refer to frames it lacks" % name)
    check_presentation(test, name, orig, video, index)
    # a decoder goes on through a gap with the order count of the pictures before it: a reordered
    # span after one that begins at its key frame begins at a picture that starts a sequence
    if orig.pts != list(range(len(orig.pts))):
        for k in range(1, len(index)):
            test.assertTrue(index[k] == index[k - 1] + 1 or not orig.key[index[k]] or
                            starts_sequence(video["packets"][k]["bytes"], orig.codec == "hevc"),
                            "%s: the span after a gap begins at sample %d, an open group's" % (name, index[k]))
    sound = 0
    if "audio" in tracks:
        # each frame's sound the camera's, or what the card holds where the camera wrote it
        got = sound_bytes(test, name, tracks["audio"], orig.fb)
        fb = orig.fb
        spans = [orig.sound_span(i) for i in index]
        test.assertEqual(len(got), fb * sum(e - b for b, e in spans), "%s: sound for %d frames" % (name, len(index)))
        at = 0
        for i, (b, e) in zip(index, spans):
            mine, at = got[at:at + fb * (e - b)], at + fb * (e - b)
            test.assertIn(mine, (orig.sound[fb * b:fb * e], orig.sound_here[i]),
                          "%s: the sound of frame %d is not its picture's" % (name, i))
            # the card's changed bytes only where nothing could show the change
            if sound_vouched and mine != orig.sound[fb * b:fb * e]:
                test.assertTrue(orig.vouched[orig.sound_chunk(i)], "%s: the sound of frame %d is taken where the card "
                                "changed it and the piece behind it is gone" % (name, i))
        sound = len(got) // orig.fb
    else:
        test.assertEqual([i for i in index if orig.header_intact and orig.sound_placeable(i)], [],
                         "%s: the sound was left out" % name)
    if decoded:
        test.assertEqual(harness.decode_messages(path), "", "%s does not decode cleanly" % name)
        # and a player gets every picture shown, in the order it shows them: a decoder that
        # misplaces a span after a gap drops pictures or gives them back among the earlier ones
        out, _ = harness.read_with(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "frame=pts",
                                    "-of", "csv=p=0", path], path)
        got = [int(t.strip(",")) for t in out.split()]
        test.assertEqual(got, sorted(int(p["pts"]) for p in video["packets"] if "D" not in p["flags"]),
                         "%s: the pictures the decoder gives" % name)
    gaps = sum(1 for a, b in zip(index, index[1:]) if b != a + 1)
    return index, gaps, sound, changed


def judge_rebuilt(test, orig, path, decoded=True):
    """A clip the documented rules wrote: every video sample in the camera's order and times, each
    the camera's but in its last unit (where a decoder checked them: without it the rules take any
    chunk of the right structure); each sound chunk the card kept the camera's or silent."""
    name = os.path.basename(path)
    tracks, _, errors = probe(path)
    test.assertEqual(errors if decoded else "", "", "%s: ffprobe" % name)
    check_streams(test, name, orig, tracks, camera_settings(orig))
    packets = tracks["video"]["packets"]
    test.assertEqual(len(packets), len(orig.video), "%s: video samples" % name)
    for j, p in enumerate(packets):
        if p["bytes"] != orig.video[j] and decoded:
            # the documented rules take a chunk whole where its samples start as the camera's do
            test.assertTrue(orig.same_but_last_unit(j, p["bytes"]),
                            "%s: video sample %d is not the camera's but in its last unit" % (name, j))
    camera = camera_settings(orig)["keys"]
    test.assertTrue(not decoded or [("K" in p["flags"]) for p in packets] == camera, "%s: key frames" % name)
    shifts = {int(p["pts"]) - orig.pts[j] * int(p["duration"]) for j, p in enumerate(packets)}
    test.assertEqual(len(shifts), 1, "%s: pictures shown off the camera's times" % name)
    got = sound_bytes(test, name, tracks["audio"], orig.fb)
    test.assertEqual(len(got), len(orig.sound), "%s: sound samples" % name)
    fb = orig.fb
    for j in range(len(orig.rec["sound_chunks"])):
        b, e = fb * orig.sound_starts[j], fb * orig.sound_starts[j + 1]
        # a sound chunk the card did not keep where the camera wrote it is copied from wherever
        # the documented rules infer it, which nothing on the card can check
        kept = all(orig.sound_ok[i] for i in range(12 * j, 12 * j + 12) if i < orig.frames)
        test.assertTrue(got[b:e] in (orig.sound[b:e], bytes(e - b)) or not kept,
                        "%s: sound chunk %d, intact on the card, is neither the camera's nor silent" % (name, j))
    return len(packets)


def judge_camera_file(test, orig, path, decoded=True):
    """The camera's own file, byte for byte; or, where the card changed bytes of its sound or of
    its metadata beside the kkad boxes or in a kkad box whose header the card lost (no reader finds
    a box there), or of its pictures where the decoder finds nothing wrong with them or no decoder
    checked them, which no content check can tell from the camera's, the file as the card holds it.
    Returns 1 when the card had changed such bytes."""
    got = harness.read(path)
    if got == orig.data:
        return 0
    test.assertEqual(len(got), len(orig.data), "%s: not the camera's file's length" % path)
    test.assertTrue(got == orig.on_card, "%s: neither the camera's file nor the card's bytes of it" % path)
    data = orig.data
    top = mp4_reader.boxes(data, 0, len(data))
    mdat = [b for b in top if b[0] == "mdat"][0]
    pictures_read = decoded and not decodes(path)
    checked = [(0, mdat[1] + mdat[2]), (mdat[1] + mdat[3], len(data))] + \
        [(o, o + n) for o, n, _, _ in orig.rec["video_samples"] if pictures_read] + \
        [(a, a + int.from_bytes(data[a:a + 4], "big")) for a in mp4_reader.kkad_offsets(data) if got[a:a + 8] == data[a:a + 8]]
    for block in range(0, len(got), 4096):
        if got[block:block + 4096] != data[block:block + 4096]:
            for k in range(block, min(block + 4096, len(got))):
                if got[k] != data[k]:
                    test.assertFalse(any(b <= k < e for b, e in checked),
                                     "%s: byte %d, which the content checks read, is not the camera's" % (path, k))
    return 1


def decodes(path):
    """The file decodes without a word from the decoder."""
    return harness.decode_messages(path) == ""


SALVAGED = re.compile(r"_salvaged(?:_part(\d+))?\.MP4$")


def judge_recording(test, orig, paths, decoded=True):
    """Every file written for one recording, and what they keep together against the reference
    model: at least every picture it calls keepable. `decoded`: the run checked the pictures with
    the decoder. Returns (kind of the files, kept samples, samples the card had changed)."""
    camera = [p for p in paths if os.sep + "PRIVATE" + os.sep in p]
    salvaged = sorted((p for p in paths if SALVAGED.search(p)), key=lambda p: int(SALVAGED.search(p).group(1) or 1))
    rebuilt = [p for p in paths if p not in camera and p not in salvaged]
    # the documented rules wrote the recording with sound they found nowhere left silent: a salvaged
    # file beside theirs brings back every picture with all of its sound
    beside = salvaged if rebuilt and len(salvaged) == 1 else []
    test.assertLessEqual(len(camera) + len(rebuilt) + bool(salvaged) - len(beside), 1, "%s: more than one recovery" % paths)
    for p in camera:
        return "camera-file", len(orig.video), judge_camera_file(test, orig, p, decoded)
    for p in rebuilt:
        kept = judge_rebuilt(test, orig, p, decoded)
        for s in beside:
            tracks, _, _ = probe(p)
            test.assertNotEqual(sound_bytes(test, p, tracks["audio"], orig.fb), orig.sound,
                                "%s beside a file with all of the sound" % s)
            index, _, sound, _ = judge_salvaged(test, orig, s, decoded)
            test.assertEqual((index, sound), (list(range(len(orig.video))), len(orig.sound) // orig.fb),
                             "%s: less than every picture with all of the sound beside %s" % (s, p))
        return "written", kept, 0
    kept, changed = [], 0
    for p in salvaged:
        index, _, _, damaged = judge_salvaged(test, orig, p, decoded)
        test.assertTrue(not kept or index[0] > kept[-1], "%s starts before the part before it ends" % p)
        kept += index
        changed += damaged
    missing = sorted(set(orig.required()) - set(kept))
    test.assertEqual(missing, [], "%s: frames the card holds left out (%d kept)" % (orig.rec["name"], len(kept)))
    return ("salvaged" if salvaged else "nothing"), len(kept), changed


def written_files(folder):
    """Every file a run left below `folder`, the camera's in their folders included, without the
    report."""
    return sorted(os.path.join(d, n) for d, _, names in os.walk(folder) for n in names
                  if n not in harness.REPORT_FILES)


def owners(test, card, originals, files):
    """The recording each written file belongs to, by name: by the recording time in the names
    the engine makes, by content for the camera's files; sidecars are left to the file tree's
    judge. Returns recording name -> paths."""
    def stamp(n):  # the recording time, or without one the clip's number too
        return n[:22] if n[10:22] == "unknown_time" else n[10:25]
    stamps = {stamp(r["output_name"]): r["name"] for r in card.recordings}
    out = {}
    for path in files:
        name = os.path.basename(path)
        if os.sep + "PRIVATE" + os.sep in path:
            found = [r for r, o in originals.items() if o.is_copy(harness.read(path))]
            if not found:
                continue  # a sidecar
        else:
            found = [stamps[stamp(name)]] if name.startswith("XAVC_") and stamp(name) in stamps else []
        test.assertTrue(found, "%s belongs to no recording" % path)
        out.setdefault(found[0], []).append(path)
    return out


def time_ns(text):
    """Nanoseconds since 1970 of a truth time such as 2024-05-17T19:20:32.60+09:00."""
    moment = datetime.datetime.strptime(text[:19], "%Y-%m-%dT%H:%M:%S").replace(tzinfo=datetime.timezone.utc)
    sign = -1 if text[22] == "-" else 1
    offset = sign * (int(text[23:25]) * 60 + int(text[26:28]))
    seconds = calendar.timegm(moment.timetuple()) - offset * 60
    return seconds * 10 ** 9 + int(text[20:22]) * 10 ** 7
