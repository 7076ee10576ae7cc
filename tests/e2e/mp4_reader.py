"""A small independent reader of the camera's MP4 boxes, used to check generated recordings."""

import struct


def boxes(data, begin, end):
    """(type, start, header length, size) of every box in data[begin:end]."""
    out = []
    at = begin
    while at + 8 <= end:
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        header = 8
        if size == 1:
            size = struct.unpack(">Q", data[at + 8:at + 16])[0]
            header = 16
        elif size == 0:
            size = end - at
        if size < header or at + size > end:
            break
        out.append((kind.decode("latin-1"), at, header, size))
        at += size
    return out


def kkad_offsets(data):
    """The offset of every box whose type reads "kkad", wherever it lies."""
    at = data.find(b"kkad")
    while at >= 4:
        yield at - 4
        at = data.find(b"kkad", at + 1)


def child(data, parent, kind):
    _, start, header, size = parent
    for b in boxes(data, start + header, start + size):
        if b[0] == kind:
            return b
    return None


def path(data, parent, *kinds):
    for kind in kinds:
        parent = child(data, parent, kind) if parent else None
    return parent


def body(data, box):
    return data[box[1] + box[2]:box[1] + box[3]]


def track_tables(data, trak):
    """Handler type, sample-entry type, sample sizes and chunk offsets of one track."""
    hdlr = body(data, path(data, trak, "mdia", "hdlr"))
    stbl = path(data, trak, "mdia", "minf", "stbl")
    stsd = body(data, child(data, stbl, "stsd"))
    stsz = body(data, child(data, stbl, "stsz"))
    constant, count = struct.unpack(">II", stsz[4:12])
    sizes = [constant] * count if constant else list(struct.unpack(">%dI" % count, stsz[12:12 + 4 * count]))
    co = child(data, stbl, "stco") or child(data, stbl, "co64")
    cb = body(data, co)
    n = struct.unpack(">I", cb[4:8])[0]
    fmt = ">%dQ" % n if co[0] == "co64" else ">%dI" % n
    offsets = list(struct.unpack(fmt, cb[8:8 + n * (8 if co[0] == "co64" else 4)]))
    stsc = body(data, child(data, stbl, "stsc"))
    per_chunk = struct.unpack(">I", stsc[12:16])[0]
    return {"handler": hdlr[8:12].decode("latin-1"), "format": stsd[12:16].decode("latin-1"),
            "sizes": sizes, "offsets": offsets, "per_chunk": per_chunk}


def movie(data):
    """Top-level boxes and the tables of every track of the moov."""
    top = boxes(data, 0, len(data))
    moov = [b for b in top if b[0] == "moov"][0]
    traks = [b for b in boxes(data, moov[1] + moov[2], moov[1] + moov[3]) if b[0] == "trak"]
    mvhd = body(data, child(data, moov, "mvhd"))
    return {"top": top, "tracks": [track_tables(data, t) for t in traks],
            "creation": struct.unpack(">I", mvhd[4:8])[0]}


def full_box_value(data, box, at32, at64):
    """A 32- or 64-bit field of a version 0 or 1 full box, at its offset for that version."""
    b = body(data, box)
    return struct.unpack(">Q", b[at64:at64 + 8])[0] if b[0] == 1 else struct.unpack(">I", b[at32:at32 + 4])[0]


def track_samples(data, trak):
    """Every sample of one track as (file offset, size), with its durations, sync samples (None:
    every sample is one), time scale and the durations its headers state."""
    t = track_tables(data, trak)
    stbl = path(data, trak, "mdia", "minf", "stbl")
    stsc = body(data, child(data, stbl, "stsc"))
    entries = [struct.unpack(">III", stsc[8 + 12 * i:20 + 12 * i]) for i in range(struct.unpack(">I", stsc[4:8])[0])]
    samples, k = [], 0
    for c, offset in enumerate(t["offsets"]):
        per_chunk = [e[1] for e in entries if e[0] <= c + 1][-1]
        for _ in range(per_chunk):
            samples.append((offset, t["sizes"][k]))
            offset += t["sizes"][k]
            k += 1
    if k != len(t["sizes"]):
        raise ValueError("the chunks hold %d samples, the size table %d" % (k, len(t["sizes"])))
    stts = body(data, child(data, stbl, "stts"))
    deltas = []
    for i in range(struct.unpack(">I", stts[4:8])[0]):
        count, delta = struct.unpack(">II", stts[8 + 8 * i:16 + 8 * i])
        deltas += [delta] * count
    stss_box = child(data, stbl, "stss")
    sync = None
    if stss_box:
        stss = body(data, stss_box)
        sync = [n - 1 for n in struct.unpack(">%dI" % struct.unpack(">I", stss[4:8])[0], stss[8:])]
    mdhd = path(data, trak, "mdia", "mdhd")
    t.update(samples=samples, deltas=deltas, sync=sync, timescale=full_box_value(data, mdhd, 12, 20),
             media_duration=full_box_value(data, mdhd, 16, 24),
             track_duration=full_box_value(data, child(data, trak, "tkhd"), 20, 28))
    return t
