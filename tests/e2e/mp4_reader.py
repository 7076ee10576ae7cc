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
