"""Gives a generated card the file system a camera would have left: the folders PRIVATE/M4ROOT/CLIP
and THMBNL with an entry set for each recording where the generator put it (one contiguous run)
and sidecar files beside it, live, deleted as Linux deletes (InUse bits and bitmap cleared), or
under a quick format. Entry sets carry their real checksum and name hash, so fsck.exfat accepts the
live tree."""

import struct

XML = (b'<?xml version="1.0" encoding="UTF-8"?>\n<NonRealTimeMeta xmlns="urn:schemas-professionalDisc:'
       b'nonRealTimeMeta:ver.2.00"><Duration value="24"/><KlvPacketTable/></NonRealTimeMeta>\n')
JPEG = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00" + bytes(range(64)) + b"\xff\xd9"


def rotate16(total, byte):
    return (((total & 1) << 15) | (total >> 1)) + byte & 0xFFFF


def set_checksum(data):
    total = 0
    for i, b in enumerate(data):
        if i in (2, 3):
            continue
        total = rotate16(total, b | 0x80 if i % 32 == 0 else b)
    return total


def stamp(t):
    """(year, month, day, hour, minute, second, hundredths, offset minutes) as the entry's fields."""
    year, month, day, hour, minute, second, centis, offset = t
    value = (year - 1980) << 25 | month << 21 | day << 16 | hour << 11 | minute << 5 | second // 2
    return value, (second % 2) * 100 + centis, 0x80 | ((offset // 15) & 0x7F)


class Volume:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = bytearray(f.read())
        d = self.data
        self.fat = struct.unpack_from("<I", d, 80)[0] << d[108]
        self.heap = struct.unpack_from("<I", d, 88)[0] << d[108]
        self.cluster = 1 << (d[108] + d[109])
        self.count = struct.unpack_from("<I", d, 92)[0]
        self.root = struct.unpack_from("<I", d, 96)[0]
        root = self.at(self.root)
        self.bitmap = upcase = None
        for i in range(0, self.cluster, 32):
            if d[root + i] == 0x81:
                self.bitmap = self.at(struct.unpack_from("<I", d, root + i + 20)[0])
            if d[root + i] == 0x82:
                first, length = struct.unpack_from("<IQ", d, root + i + 20)
                upcase = bytes(d[self.at(first):self.at(first) + length])
        self.upcase = list(range(65536))
        unit, i = 0, 0
        while upcase and i + 1 < len(upcase) and unit < 65536:
            value = struct.unpack_from("<H", upcase, i)[0]
            if value == 0xFFFF and i + 3 < len(upcase):
                unit += struct.unpack_from("<H", upcase, i + 2)[0]
                i += 4
            else:
                self.upcase[unit] = value
                unit += 1
                i += 2
        self.next_free = self.count + 1  # folders and sidecars from the heap's end down

    def at(self, cluster):
        return self.heap + (cluster - 2) * self.cluster

    def mark(self, first, length, allocated=True):
        for c in range(first, first + max(1, -(-length // self.cluster))):
            byte, bit = self.bitmap + (c - 2) // 8, 1 << ((c - 2) % 8)
            self.data[byte] = self.data[byte] | bit if allocated else self.data[byte] & ~bit

    def take(self, length):
        clusters = max(1, -(-length // self.cluster))
        self.next_free -= clusters
        return self.next_free

    def name_hash(self, name):
        total = 0
        for ch in name.encode("utf-16-le").decode("utf-16-le", "surrogatepass"):
            unit = self.upcase[ord(ch)] if ord(ch) < 65536 else ord(ch)
            total = rotate16(rotate16(total, unit & 0xFF), unit >> 8)
        return total

    def entry_set(self, name, first, length, directory=False, contiguous=True, times=None):
        times = times or (2024, 5, 17, 10, 20, 30, 45, 120)
        units = name.encode("utf-16-le", "surrogatepass")
        count = len(units) // 2
        names = -(-count // 15)
        data = bytearray(32 * (2 + names))
        value, centis, offset = stamp(times)
        struct.pack_into("<BBHH", data, 0, 0x85, 1 + names, 0, 0x10 if directory else 0x20)
        struct.pack_into("<IIIBBBBB", data, 8, value, value, value, centis, centis, offset, offset, offset)
        flags = 0x01 | (0x02 if contiguous else 0)
        struct.pack_into("<BBBBHHQIIQ", data, 32, 0xC0, flags, 0, count, self.name_hash(name), 0, length, 0, first,
                         length)
        for i in range(names):
            data[64 + 32 * i] = 0xC1
            piece = units[30 * i:30 * i + 30]
            data[64 + 32 * i + 2:64 + 32 * i + 2 + len(piece)] = piece
        struct.pack_into("<H", data, 2, set_checksum(data))
        return data

    def folder(self, parent_at, name):
        """A one-cluster folder in the folder at image offset parent_at; its image offset."""
        cluster = self.take(self.cluster)
        struct.pack_into("<I", self.data, self.fat + 4 * cluster, 0xFFFFFFFF)
        self.mark(cluster, self.cluster)
        self.append(parent_at, self.entry_set(name, cluster, self.cluster, directory=True, contiguous=False))
        return self.at(cluster)

    def append(self, folder_at, data):
        at = folder_at
        while self.data[at] != 0:
            at += 32
        self.data[at:at + len(data)] = data
        return at

    def save(self, path=None):
        with open(path or self.path, "wb") as f:
            f.write(self.data)


def add_camera_tree(card, state="live", names=None, extra_sets=()):
    """Writes the tree into card.img. names: the file name of each recording (C0001.MP4 ...);
    extra_sets: (recording index, name, length, live, times) for further sets naming a recording's
    cluster. Returns the entry sets' image offsets by name."""
    v = Volume(card.image)
    private = v.folder(v.at(v.root), "PRIVATE")
    m4root = v.folder(private, "M4ROOT")
    clip = v.folder(m4root, "CLIP")
    thumbs = v.folder(m4root, "THMBNL")
    placed = {}
    for i, rec in enumerate(card.recordings):
        name = names[i] if names else "C%04d.MP4" % (i + 1)
        first = (rec["image_offset"] - v.heap) // v.cluster + 2
        placed[name] = (clip, v.append(clip, v.entry_set(name, first, rec["size"])), first, rec["size"])
        stem = name.rsplit(".", 1)[0]
        for folder, side, data in ((clip, stem + "M01.XML", XML), (thumbs, stem + "T01.JPG", JPEG)):
            cluster = v.take(len(data))
            v.data[v.at(cluster):v.at(cluster) + len(data)] = data
            placed[side] = (folder, v.append(folder, v.entry_set(side, cluster, len(data))), cluster, len(data))
    for index, name, length, live, times in extra_sets:
        rec = card.recordings[index]
        first = (rec["image_offset"] - v.heap) // v.cluster + 2
        data = v.entry_set(name, first, length, times=times)
        if not live:
            for i in range(0, len(data), 32):
                data[i] &= 0x7F
        v.append(clip, data)
    for name, (_, at, first, length) in placed.items():
        live = state == "live" or state == "reformat"
        if not live:
            count = v.data[at + 1] + 1
            for i in range(count):
                v.data[at + 32 * i] &= 0x7F
        v.mark(first, length, live)
    v.save()
    return placed
