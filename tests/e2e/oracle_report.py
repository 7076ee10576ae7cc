"""What the file-system pass and the report must say of a card whose recordings' places are known:
the camera's files under the set that wins (live before deleted, then the newest of those whose
extent checks out) with its time, and only sidecars whose bytes the card kept whole; every piece
of the report's JSON in the bytes of its own recording, of its own kind, and every cell of its card
maps drawn as the pieces in it say."""

import bisect
import hashlib
import html
import json
import os
import re

import harness
import mp4_reader
import oracle

# the map's kinds, in the order a weightier piece wins a shared cell, and their labels
KINDS = ["", "file system area", "seen by the scan, not used", "file-system extent", "sound", "video chunks found",
         "salvaged span", "video chunk missing (where an unfragmented file has it)", "clip header", "movie box",
         "unreadable: the card did not give these bytes"]
JSON_KINDS = {"extent": 3, "sound": 4, "video": 5, "salvaged": 6, "missing": 7, "header": 8, "movie": 9, "unreadable": 10}
COLUMNS, ROWS, CELL = 400, 100, 2.5


def winner(card, rec, checked=True):
    """The entry set the camera's file of a recording should come back under: of the sets naming
    its clusters whose extent checks out (`checked`; else of all of them), the live one, then the
    newest; None when none does."""
    sets = [e for e in (card.truth.get("file_system") or {}).get("entries", [])
            if e["kind"] in ("clip", "twin") and e["recording"] == rec["name"] and e["set_intact"]
            and (e["trusted"] or not checked)]
    return max(sets, key=lambda e: (e["in_use"], oracle.time_ns(e["modified"])), default=None)


def judge_camera_tree(test, card, originals, image, out_dir, spans=()):
    """The camera's files and sidecars the file-system pass wrote, against the card's tree: a
    recording whose set wins and whose bytes the card holds whole comes back as its camera's file
    under that set, with its time; every sidecar written is one the card holds whole, and every one
    whose set and extent check out is written. Bytes in the `spans` the card did not give (zeros in
    `image`) are not held: a file over them is not the camera's for certain, even where the camera
    wrote zeros there."""
    tree = os.path.join(out_dir, "PRIVATE")
    if not card.truth.get("file_system"):
        test.assertFalse(os.path.exists(tree), "camera files from a card without a file tree")
        return
    fs = card.truth["file_system"]
    cs, heap = card.truth["cluster_bytes"], fs["volume_offset"] + fs["heap_offset"]
    written = {os.path.relpath(p, out_dir).replace(os.sep, "/"): harness.read(p) for p in oracle.written_files(tree)}
    for rec in card.recordings:
        orig, best = originals[rec["name"]], winner(card, rec)
        mine = [k for k, data in written.items() if orig.is_copy(data)]
        if not mine:
            whole = best and orig.on_card == orig.data and orig.header_intact and \
                not unread(spans, [(i, i + n) for _, i, n in oracle.Place(rec["extents"]).runs])
            test.assertFalse(whole, "%s: the camera's file %s was not written" % (rec["name"], best and best["path"]))
            continue
        test.assertEqual(len(mine), 1, "%s: camera files %s" % (rec["name"], mine))
        test.assertTrue(best, "%s: written as the camera's file through no set that checks out" % rec["name"])
        # a camera's name stays as it is, but for the _2 of a name already taken; others are made safe
        if re.fullmatch(r"C\d{4}\.MP4", best["name"]):
            test.assertRegex(mine[0], r"^%s/%s(_\d+)?\.MP4$" % (best["folder"], best["name"][:-4]),
                             "%s: the camera's file under the set that wins" % rec["name"])
        test.assertEqual(os.stat(os.path.join(out_dir, mine[0])).st_mtime_ns, oracle.time_ns(best["modified"]),
                         "%s: the camera's file's time" % rec["name"])
        del written[mine[0]]
    # a sidecar whose own set and extent check out comes back, whatever became of its clip, when
    # the clip's own set is the one that names the recording, whose clip header starts it
    for rec in card.recordings:
        named = winner(card, rec) or winner(card, rec, checked=False)
        for s in rec["file"]["sidecars"]:
            on_card = b"".join(bytes(image[heap + (f - 2) * cs:heap + (f - 2 + n) * cs]) for f, n in s["chain"])
            whole = hashlib.sha256(on_card[:s["size"]]).hexdigest() == s["sha256"] and not unread(
                spans, [(heap + (f - 2) * cs, heap + (f - 2 + n) * cs) for f, n in s["chain"]], s["size"])
            path = next((k for k, data in written.items() if hashlib.sha256(data).hexdigest() == s["sha256"]), None)
            if path and whole:
                del written[path]
            elif whole and s["set_intact"] and s["trusted"] and named and named["kind"] == "clip" and \
                    originals[rec["name"]].header_intact:
                test.fail("%s: its sidecar %s was not written" % (rec["name"], s["path"]))
    test.assertEqual(sorted(written), [], "files under PRIVATE that are no recording's and no whole sidecar's")


def unread(spans, runs, size=None):
    """Whether the first `size` bytes (all) of a file lying in image `runs` [begin, end) meet a span
    the card did not give."""
    for b, e in runs:
        e = e if size is None else min(e, b + size)
        if any(a < e and b < a + n for a, n in spans):
            return True
        size = None if size is None else size - (e - b)
        if size is not None and size <= 0:
            return False
    return False


def recording_ranges(orig, places):
    """Image byte ranges of a recording by the map kind they may carry: its clip header, movie box,
    video chunks (and the kkad boxes the analysis maps them by), sound chunks and clusters, where
    the camera wrote them and where they lie now."""
    data, rec = orig.data, orig.rec
    top = mp4_reader.boxes(data, 0, len(data))
    moov = [b for b in top if b[0] == "moov"]
    mdat = [b for b in top if b[0] == "mdat"][0]
    files = {"header": [(0, mdat[1] + mdat[2])], "movie": [(m[1], m[1] + m[3]) for m in moov],
             "video": [], "sound": [(o, o + orig.fb * n) for o, n in rec["sound_chunks"]], "extent": [(0, len(data))]}
    samples = rec["video_samples"]
    files["salvaged"] = [(o, o + n) for o, n, _, _ in samples]
    for at in mp4_reader.kkad_offsets(data):
        files["video"].append((at, at + int.from_bytes(data[at:at + 4], "big")))
    files["video"] += files["salvaged"]
    out = {}
    for kind, ranges in files.items():
        image = []
        for b, e in ranges:
            for f, i, n in [r for place in places for r in place.runs]:
                a, z = max(b, f), min(e, f + n)
                if a < z:
                    image.append((i + a - f, i + z - f))
        out[kind] = merge(image)
    return out


def merge_spans(spans, size):
    """Spans inside the image, touching ones as one, as (offset, length)."""
    return [(b, e - b) for b, e in merge([(b, min(b + n, size)) for b, n in spans if b < size])]


def merge(ranges):
    out = []
    for b, e in sorted(ranges):
        if out and b <= out[-1][1]:
            out[-1][1] = max(out[-1][1], e)
        else:
            out.append([b, e])
    return out


def covered(ranges, begin, end):
    k = bisect.bisect_right([b for b, _ in ranges], begin) - 1
    return k >= 0 and ranges[k][1] >= end


def video_chunks(orig):
    """(file offset, bytes) of each video chunk: samples that follow one another in the file."""
    chunks = []
    for o, n, _, _ in orig.rec["video_samples"]:
        if chunks and chunks[-1][0] + chunks[-1][1] == o:
            chunks[-1][1] += n
        else:
            chunks.append([o, n])
    return chunks


def record_owners(card, record, owners):
    """The recordings a report record speaks of: the one of its recording time, and those whose
    files it names (more than one where the analysis gave two recordings one clip header)."""
    stamp = (record.get("recording_time") or "").replace("-", "").replace(":", "").replace("T", "_")
    found = {r["name"] for r in card.recordings if r["output_name"][10:25] == stamp}
    paths = {os.path.realpath(o["path"]) for o in ([record["output"]] if record["output"] else []) +
             record["more_outputs"]}
    found |= {name for name, files in owners.items() if paths & {os.path.realpath(p) for p in files}}
    return [r for r in card.recordings if r["name"] in found]


def media_bytes(path):
    """The bytes inside a file's media data box."""
    data = harness.read(path)
    _, start, header, size = [b for b in mp4_reader.boxes(data, 0, len(data)) if b[0] == "mdat"][0]
    return size - header


def judge_report(test, card, originals, places, image, out_dir, owners, spans=()):
    """The report's JSON against the files and where each recording lies, and the `spans` the card
    did not give; its maps against the JSON."""
    with open(os.path.join(out_dir, "mendora-report.json"), encoding="utf-8") as f:
        report = json.load(f)
    with open(os.path.join(out_dir, "mendora-report.html"), encoding="utf-8") as f:
        page = f.read()
    test.assertEqual(report["run"]["image"]["size"], len(image))
    test.assertEqual([(u["offset"], u["length"]) for u in report["unreadable"]], merge_spans(spans, len(image)),
                     "the unreadable spans")
    numbers = [r["clip_number"] for r in report["recordings"]]
    test.assertEqual(numbers, sorted(set(numbers)), "records in clip order, once each")
    listed, pieces = [], []
    for record in report["recordings"]:
        recs = record_owners(card, record, owners)
        name = "clip %d" % record["clip_number"]
        outputs = ([record["output"]] if record["output"] else []) + record["more_outputs"]
        for o in outputs:
            test.assertTrue(os.path.isfile(o["path"]), "%s: %s is not there" % (name, o["path"]))
            test.assertEqual((o["size"], o["sha256"]), (os.path.getsize(o["path"]), harness.sha256(o["path"])),
                             "%s: size and hash of %s" % (name, o["path"]))
            listed.append(os.path.realpath(o["path"]))
        touched = [u for u in report["unreadable"] if any(
            p["kind"] != "unreadable" and p["offset"] < u["offset"] + u["length"] and u["offset"] < p["offset"] + p["length"]
            for p in record["pieces"])]
        test.assertEqual(record["unreadable"], touched, "%s: the unreadable spans its pieces touch" % name)
        if not recs:
            test.assertEqual((outputs, record["pieces"]), ([], []), "%s: files or pieces of no recording" % name)
            continue
        mine = sorted(os.path.realpath(p) for r in recs for p in owners.get(r["name"], []))
        got = sorted(os.path.realpath(o["path"]) for o in outputs if o["path"].upper().endswith(".MP4"))
        if len(recs) == 1:
            test.assertEqual(got, mine, "%s (%s): its files" % (name, recs[0]["name"]))
            # a file the documented rules wrote stands for its recording, a salvaged one beside it
            kind = ("camera-file" if any(os.sep + "PRIVATE" + os.sep in p for p in mine) else
                    "written" if any(not oracle.SALVAGED.search(p) for p in mine) else "salvaged" if mine else None)
            test.assertEqual(record["fate"] if mine else None, kind, "%s (%s): fate" % (name, recs[0]["name"]))
        # the movie box a record names is the one its recording's file was built from: that
        # recording's own, whichever clip header the scan paired it with, and its facts are that box's
        movies = [p for p in record["pieces"] if p["kind"] == "movie"]
        test.assertFalse(record["movie_box"] and "movie box is not on the card" in (record["reason"] or ""),
                         "%s: a movie box that is and is not on the card" % name)
        if movies and len(recs) == 1 and got:
            own = recording_ranges(originals[recs[0]["name"]], [places[recs[0]["name"]]])["movie"]
            test.assertTrue(record["movie_box"], "%s: movie pieces but no movie box" % name)
            for p in movies:
                test.assertTrue(covered(own, p["offset"], p["offset"] + p["length"]),
                                "%s: movie box at %d is not %s's" % (name, p["offset"], recs[0]["name"]))
            test.assertEqual(record["video_samples"], len(recs[0]["video_samples"]),
                             "%s: video samples of its movie box" % name)
        # a record of several recordings (the analysis gave them one clip header) tells of the one
        # whose file it names first, where their times tell whose file that is
        output = os.path.realpath(record["output"]["path"]) if record["output"] else None
        tells = [r for r in recs if output in map(os.path.realpath, owners.get(r["name"], []))
                 and len({q["output_name"][10:25] for q in recs}) == len(recs)]
        if tells and len(recs) > 1:
            kind = "camera-file" if os.sep + "PRIVATE" + os.sep in output else \
                "salvaged" if oracle.SALVAGED.search(output) else "written"
            test.assertEqual(record["fate"], kind, "%s (%s): fate" % (name, tells[0]["name"]))
            test.assertEqual(record["video_samples"] if movies else len(tells[0]["video_samples"]),
                             len(tells[0]["video_samples"]), "%s: video samples of %s's movie box" % (name, tells[0]["name"]))
        # a salvaged recording's pieces hold every byte of its salvaged files' media data, every run
        # of each sample cut more than once among them
        if got and record["fate"] == "salvaged":
            held = sum(p["length"] for p in record["pieces"] if p["kind"] in ("salvaged", "sound"))
            test.assertEqual(held, sum(media_bytes(p) for p in got), "%s: bytes of its salvaged pieces" % name)
        # a recording whose clip header the analysis refused has its run under another's header
        kinds = [(originals[r["name"]], places[r["name"]], recording_ranges(originals[r["name"]], [
            places[r["name"]], oracle.Place(r["extents"])])) for r in card.recordings
            if r in recs or not originals[r["name"]].header_intact]
        for p in record["pieces"]:
            what = "%s: %s piece at %d, %d bytes" % (name, p["kind"], p["offset"], p["length"])
            if p["kind"] == "unreadable":
                continue  # the card's, wherever it fails
            heads = [q["offset"] for q in record["pieces"] if q["kind"] == "header"]
            test.assertTrue(any(piece_fits(orig, place, ranges, image, p, heads) for orig, place, ranges in kinds),
                            what + " lies outside the bytes of that kind of %s" % [r["name"] for r in recs])
            pieces.append((JSON_KINDS[p["kind"]], record["clip_number"], p["offset"], p["length"]))
    files = [os.path.realpath(p) for p in oracle.written_files(out_dir)]
    test.assertEqual(sorted(listed), sorted(files), "every written file in the report, once")
    judge_maps(test, report, page, pieces, len(image))


def piece_fits(orig, place, ranges, image, p, heads):
    """A piece lies in the recording's bytes of its kind (`ranges`), where the camera wrote them or
    where they lie now, or over a copy of them; a missing chunk is drawn where an unbroken file
    has it, behind its clip header or the one the record names."""
    begin, end = p["offset"], p["offset"] + p["length"]
    if p["kind"] == "missing":
        chunks = [list(c) for c in video_chunks(orig)]
        return any([begin - head, p["length"]] in chunks for head in heads + [place.image(0, 1)] if head is not None)
    if covered(ranges[p["kind"]], begin, end):
        return True
    # a chunk taken whole from where it starts, where the camera wrote it or where it lies now,
    # whatever follows its start there
    chunks = {"video": video_chunks(orig), "sound": [(o, orig.fb * n) for o, n in orig.rec["sound_chunks"]]}.get(p["kind"], [])
    starts = {place.file(begin, begin + 1), oracle.Place(orig.rec["extents"]).file(begin, begin + 1)}
    if any((at, p["length"]) in [tuple(c) for c in chunks] for at in starts if at is not None):
        return True
    at = orig.data.find(bytes(image[begin:end])) if end <= len(image) else -1
    return at >= 0 and covered(recording_ranges(orig, [oracle.Place([[0, 0, len(orig.data)]])])[p["kind"]],
                               at, at + p["length"])
def drawn_cells(svg):
    """(cell, kind, clip or None, title's byte range, run) of every rectangle of one map."""
    out = []
    for m in re.finditer(r'<rect x="([\d.]+)" y="([\d.]+)" width="([\d.]+)" height="[\d.]+"[^>]*><title>(.*?)</title>',
                         svg):
        x, y, w, title = float(m[1]), float(m[2]), float(m[3]), html.unescape(m[4])
        t = re.fullmatch(r"(?:clip (\d+): )?(.*), bytes 0x([0-9a-f]+) to 0x([0-9a-f]+) \(.*\)", title)
        first = int(round(y / CELL)) * COLUMNS + int(round(x / CELL))
        out.append((first, first + int(round(w / CELL)), KINDS.index(t[2]), t[1] and int(t[1]),
                    (int(t[3], 16), int(t[4], 16))))
    return out


def judge_maps(test, report, page, pieces, image_size):
    """Each map's cells as its pieces say: the weightiest kind among the pieces touching a cell, of
    one of their recordings, the file-system area only up to the heap, and nothing in cells no
    piece touches but the scan's unused signatures."""
    svgs = re.findall(r'<svg class="map".*?</svg>', page, re.S)
    spans = [(0, image_size)]
    if pieces:
        # a close-up of the recordings' part of the card when they fill less than a quarter of it
        begin, end = min(p[2] for p in pieces), max(p[2] + p[3] for p in pieces)
        if end - begin < image_size // 4:
            spans.append((begin, min(end, image_size)))
    test.assertEqual(len(svgs), len(spans), "maps drawn")
    heap = report["run"]["heap_offset"]
    pieces = pieces + [(10, None, u["offset"], u["length"]) for u in report.get("unreadable", [])]
    for svg, (begin, end) in zip(svgs, spans):
        size = end - begin
        bucket = max(1, -(-size // (COLUMNS * ROWS)))
        cells = (size - 1) // bucket + 1 if size else 0
        want = {}
        for kind, clip, offset, length in pieces + [(1, None, 0, heap)]:
            if length == 0 or offset >= end or offset + length <= begin:
                continue
            a = max(offset, begin) - begin
            for c in range(a // bucket, min(cells - 1, (offset + length - 1 - begin) // bucket) + 1):
                k, clips = want.get(c, (0, set()))
                if kind > k:
                    want[c] = (kind, {clip})
                elif kind == k:
                    clips.add(clip)
        drawn = {}
        for first, last, kind, clip, (b, e) in drawn_cells(svg):
            test.assertEqual((b, e), (begin + first * bucket, min(end, begin + last * bucket)),
                             "the bytes a map rectangle names")
            for c in range(first, last):
                drawn[c] = (kind, clip)
        for c in sorted(set(want) | set(drawn)):
            kind, clips = want.get(c, (0, set()))
            got = drawn.get(c, (0, None))
            where = "map of bytes %d-%d, cell %d (bytes %d-%d)" % (begin, end, c, begin + c * bucket,
                                                                  begin + (c + 1) * bucket)
            if kind <= 2 and got[0] == 2:
                continue  # signatures the scan saw and no recording took are in no list of the JSON
            test.assertEqual(KINDS[got[0]], KINDS[kind], where)
            if 2 < kind < 10:
                test.assertIn(got[1], clips, where + ": the recording")
