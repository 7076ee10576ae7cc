"""Cards of two recordings written at once beyond the fixed two-at-once scenarios: runs of one
cluster to several MiB, clusters of 16 to 128 KiB, AVC and HEVC, B-frames and key frame
intervals, a movie box lost, quick-formatted or the FAT zeroed. Every salvaged file passes the
oracle's checks (no byte of another recording, no sound that is not its picture's); a recording is
whole only with all its sound, in the documented rules' file or in a salvaged one beside it; and
each card gives back at least as many recordings whole and frames as it does today: a change to
how cut chunks are joined that loses any, or takes a wrong byte, fails here.
bench/salvage/fragments_sweep.py prints their table."""

import os
import unittest

import harness
import test_salvage

FORMAT = ("--random-free", "--reformat")
ZEROED = ("--random-free", "--file-tree", "deleted-fat-zeroed")
# name: the generator's options (the first two recordings alternate in runs of --alternate clusters;
# --damage takes the movie box of the last, so the cards that lose one hold two recordings)
CARDS = {
    "run1-c32": ("--count", "3", "--frames", "96,84,48", "--alternate", "1", "--seed", "5") + FORMAT,
    "run2-c32-hevc": ("--count", "3", "--frames", "96,84,48", "--alternate", "2", "--hevc", "--seed", "6") + FORMAT,
    "run5-c16": ("--count", "3", "--frames", "120,96,48", "--alternate", "5", "--cluster-kib", "16",
                 "--seed", "7") + ZEROED,
    # no video chunk cut: the documented rules write the first two recordings, but leave the sound
    # chunks that runs cut silent; a salvaged file beside each brings their sound back
    "run7-c64-b2": ("--count", "3", "--frames", "120,96,48", "--alternate", "7", "--cluster-kib", "64",
                    "--bframes", "2", "--gop", "12", "--seed", "8") + FORMAT,
    "run4-c32-b3-hevc": ("--count", "3", "--frames", "96,96,48", "--alternate", "4", "--hevc", "--bframes", "3",
                         "--gop", "24", "--seed", "9") + ZEROED,
    "run64-c128-mbps": ("--count", "3", "--frames", "300,240,48", "--alternate", "64", "--cluster-kib", "128",
                        "--video", "640x360", "--video-mbps", "20", "--size-mib", "256", "--seed", "10") + FORMAT,
    "run3-c32-lost": ("--count", "2", "--frames", "96,84", "--alternate", "3", "--damage", "moov-lost",
                      "--seed", "11") + FORMAT,
    "run9-c32-lost-b2": ("--count", "2", "--frames", "96,84", "--alternate", "9", "--damage", "moov-lost",
                         "--bframes", "2", "--gop", "15", "--seed", "12") + ZEROED,
    "run2-c64-lost-hevc": ("--count", "2", "--frames", "72,96", "--alternate", "2", "--cluster-kib", "64",
                           "--damage", "moov-lost", "--hevc", "--seed", "13") + FORMAT,
    "run20-c32-lost": ("--count", "2", "--frames", "144,120", "--alternate", "20", "--damage", "moov-lost",
                       "--video", "640x360", "--video-mbps", "10", "--size-mib", "128", "--seed", "14") + FORMAT,
    "run6-c32-gop6": ("--count", "3", "--frames", "96,72,48", "--alternate", "6", "--gop", "6",
                      "--seed", "15") + FORMAT,
    # the two begin 20 clusters before the heap's end and go on at its start: a run boundary at
    # the card's last cluster, their clip headers' media data past the image's end
    "run3-c32-wrap": ("--count", "3", "--frames", "96,84,48", "--alternate", "3", "--wrap", "20",
                      "--seed", "16") + FORMAT,
    # files that write at paces of their own: a proxy's short runs beside the main stream's, and
    # runs of lengths drawn around the given ones (sound between two pieces of a recording may then
    # lie in more runs than one boundary makes, and two recordings' sound placed by the room the
    # other leaves may take the same bytes: neither is then taken)
    "run5:1-c32": ("--count", "3", "--frames", "96,84,48", "--alternate", "5:1", "--seed", "21") + FORMAT,
    # the camera's edit list starts the showing three frames in, past its first picture: a salvaged
    # file starts its own at the first picture it keeps
    "run6:2-jitter-c32-b2": ("--count", "3", "--frames", "96,84,48", "--alternate", "6:2", "--jitter-runs",
                             "--bframes", "2", "--gop", "12", "--seed", "23", "--edit-media-frames", "3") + ZEROED,
    # the first recording's movie box cut 147 bytes in, inside its first track's header
    "run3-jitter-c32": ("--count", "3", "--frames", "96,84,48", "--alternate", "3", "--jitter-runs",
                        "--seed", "22") + FORMAT,
    # the first recording's first run one cluster, shorter than what precedes its first chunk: its
    # first kkad box lies behind the second's clip header
    "run6-jitter-c16-first-short": ("--count", "3", "--frames", "120,96,48", "--alternate", "6", "--jitter-runs",
                                    "--cluster-kib", "16", "--seed", "322") + ZEROED,
    # the second recording's first chunk cut after its third sample, without its movie box: the
    # chunk's end is not shown, so its sound is not placed from there (music, which no two places
    # of a recording share)
    "run8:3-jitter-c64-lost-music": ("--count", "2", "--frames", "96,84", "--alternate", "8:3", "--jitter-runs",
                                     "--cluster-kib", "64", "--damage", "moov-lost", "--sound", "music",
                                     "--seed", "52") + ZEROED,
    # the second recording's first chunk cut after one cluster, without its movie box: its chunk
    # holds no more than its samples show, so the first's sound is not joined over the cluster past it
    "run5:2-jitter-c32-lost-hevc-music": ("--count", "2", "--frames", "96,84", "--alternate", "5:2", "--jitter-runs",
                                          "--damage", "moov-lost", "--hevc", "--sound", "music", "--seed", "60") + ZEROED,
    # each recording's sound placed by the room the other leaves, over a cluster of the other's:
    # the two joins bore each other out until the waveform's step at the edge refused them
    "run2:5-jitter-c32-hevc": ("--count", "3", "--frames", "96,84,48", "--alternate", "2:5", "--jitter-runs",
                               "--hevc", "--seed", "343") + FORMAT,
    # runs of one to five clusters, the second recording's movie box lost: its chunks are found by
    # their kkad boxes' sample sizes, nearly every one cut, its sound often in three runs
    "run3-jitter-c32-lost": ("--count", "2", "--frames", "96,84", "--alternate", "3", "--jitter-runs",
                             "--cluster-kib", "32", "--damage", "moov-lost", "--seed", "315") + ZEROED,
    # the second recording without its movie box, its last chunk cut inside its first sample: no
    # sample walks where it starts, and the box in front of it and the media data's end place it
    "run3-jitter-c32-lost-last": ("--count", "2", "--frames", "48,48", "--alternate", "3", "--jitter-runs",
                                  "--cluster-kib", "32", "--damage", "moov-lost", "--seed", "3") + FORMAT,
    # the same in 24-bit stereo: the waveform is weighed in the layout the first one's movie box
    # states, for the second's sound too
    "run3-jitter-c32-lost-last-24bit": ("--count", "2", "--frames", "48,48", "--alternate", "3", "--jitter-runs",
                                        "--cluster-kib", "32", "--damage", "moov-lost", "--seed", "3",
                                        "--sound-format", "24x2") + FORMAT,
    # the second recording without its movie box, its first two chunks each cut twice and only one
    # lying whole in a run: the distance from its first kkad box, behind the clip header, to its
    # first chunk places each cut chunk behind the box in front of it
    "run6:2-jitter-c32-lost-music": ("--count", "2", "--frames", "48,48", "--alternate", "6:2", "--jitter-runs",
                                     "--damage", "moov-lost", "--sound", "music", "--seed", "50") + ZEROED,
    # clusters of 128 KiB, frames of one unit up to 100 KB: the last sample of the first recording's
    # eighth chunk crosses a boundary 5,901 bytes before its end, inside its one unit's payload, so
    # its length fields walk whole either way; the cluster that holds the next chunk holds that tail
    # and the sound behind it
    "run4-jitter-c128-20mbps-music": ("--count", "3", "--frames", "96,84,48", "--alternate", "4", "--jitter-runs",
                                      "--cluster-kib", "128", "--video", "640x360", "--video-mbps", "20",
                                      "--size-mib", "40", "--sound", "music", "--seed", "1") + FORMAT,
    # the second recording's last chunk lies in three runs, its last sample's one unit crossing the
    # second boundary: the cluster that holds the movie box holds the chunk's last bytes
    "run4-jitter-c128-20mbps-last-music": ("--count", "3", "--frames", "96,84,48", "--alternate", "4",
                                           "--jitter-runs", "--cluster-kib", "128", "--video", "640x360",
                                           "--video-mbps", "20", "--size-mib", "40", "--sound", "music",
                                           "--seed", "2") + ZEROED,
    # a camera of 30000/1001 frames a second: the sound behind twelve frames 19,219 samples, every
    # fifth chunk's 19,220; the second recording without its movie box sizes each chunk's sound by
    # the room its descriptions leave, and its last two by the clock the first's movie box proves
    "run3-c32-lost-2997": ("--count", "2", "--frames", "96,84", "--alternate", "3", "--damage", "moov-lost",
                           "--fps", "30000/1001", "--seed", "11") + FORMAT,
    # a sound chunk cut twice, its gap noted in one pass and settled in a later one, against the
    # pieces located by then
    "run12:3-jitter-c16": ("--count", "3", "--frames", "120,96,48", "--alternate", "12:3", "--jitter-runs",
                           "--cluster-kib", "16", "--seed", "25") + ZEROED,
    # at 29.97 the first recording's movie box is cut 334 bytes before its end: salvage joins it,
    # and the card map draws it where its two pieces lie
    "run6:2-jitter-c32-b2-2997": ("--count", "3", "--frames", "96,84,48", "--alternate", "6:2", "--jitter-runs",
                                  "--bframes", "2", "--gop", "12", "--seed", "23", "--fps", "30000/1001") + ZEROED,
    # frames of some 250 KB at 50 Mbit/s, each one slice unit: every run boundary cuts a chunk inside
    # payload on both sides, where no length field walks across; the count of the clusters the two
    # recordings share between their located pieces leaves one way for each
    "run16-c32-720p-50mbps": ("--count", "2", "--frames", "24,24", "--alternate", "16", "--video", "1280x720",
                              "--video-mbps", "50", "--size-mib", "24", "--seed", "7") + FORMAT,
    # a main clip and its proxy, begun in one second, each of its own picture size, bit rate and
    # codec: the scan gives each one's run the other's movie box, which fits the other's header
    # only; the third recording, without its movie box, interleaves 24-bit four-channel sound,
    # not the 16-bit stereo of the two movie boxes of its parameter sets' shape; at 29.97 its chunks'
    # sound is sized by the clock those boxes prove, in its own format
    "proxy4:1-c32-same-second": ("--count", "3", "--frames", "48,36,36", "--alternate", "4:1", "--video",
                                 "640x360,256x144", "--video-mbps", "6,0", "--codec", "hevc,avc", "--sound-format",
                                 "16x2,16x2,24x4", "--same-second", "--damage", "moov-lost", "--seed", "31",
                                 "--fps", "30000/1001") + FORMAT,
    # a main clip at 50 Mbit/s in runs of about four clusters, its proxy in runs of one: the main clip's
    # key frames cut three times and more inside payload, placed only by counting the clusters the
    # two share, every run of such a sample kept (one run dropped reads the proxy's cluster in its place)
    "proxy4:1-jitter-c32-b2-50mbps-same-second": ("--count", "3", "--frames", "36,36,24", "--alternate", "4:1",
                                                  "--jitter-runs", "--video", "1280x720,640x360", "--video-mbps",
                                                  "50,3", "--codec", "avc", "--same-second", "--size-mib", "128",
                                                  "--seed", "12", "--bframes", "2", "--gop", "12") + FORMAT,
    # clusters of 128 KiB taken in turn by two recordings of 720p samples of some 110 KB: the last
    # sample of the second's first chunk crosses into the first's cluster, whose bytes walk as well;
    # the kkad box behind the chunk's sound says which cluster holds the file's bytes there; the
    # second chunk's key frame, longer than a cluster, is cut twice: the count places it
    "run1-c128-720p-lost": ("--count", "2", "--frames", "36,36", "--alternate", "1", "--video", "1280x720",
                            "--video-mbps", "25", "--cluster-kib", "128", "--size-mib", "48", "--damage",
                            "moov-lost", "--seed", "301") + FORMAT,
    # 1080p key frames of some 450 KB, one slice unit each, in runs of eight clusters taken in turn:
    # a whole run of each file's key frame is payload, and the two swapped walk alike; the join
    # that reads the other's run in one run with its own next one, twice as long as the runs shown
    # there, is not made. The decoder takes the one way of the key frame that decodes; without it
    # the chunk stays a gap
    "run8-c32-1080p-50mbps": ("--count", "2", "--frames", "24,24", "--alternate", "8", "--video", "1920x1080",
                              "--video-mbps", "50", "--size-mib", "24", "--seed", "101") + FORMAT,
    # the same at 29.97 in runs of 64 clusters: a slice's payload crosses each boundary and walks
    # with the cut one or two cluster edges on; between two located pieces of a file it owns as many
    # clusters as its file offsets say, so the clusters no other piece holds there are its own
    "run64-c32-1080p-2997": ("--count", "2", "--frames", "36,36", "--alternate", "64", "--video", "1920x1080",
                             "--video-mbps", "50", "--size-mib", "32", "--seed", "101",
                             "--fps", "30000/1001") + FORMAT,
    # the same at 23.976: a chunk is longer than a run. Between two pieces of one file the clusters
    # no other piece holds are one more than its file has there (the other's last cluster of its
    # run): each file's count leaves one cluster over, and only counted together, where the free
    # clusters are exactly as many as the files need, does each fall to one file. Each third
    # chunk lies in three runs, and a way that reads its middle run on into the other's clusters
    # walks too: it is not joined
    "run64-c32-1080p-23976": ("--count", "2", "--frames", "36,36", "--alternate", "64", "--video", "1920x1080",
                              "--video-mbps", "50", "--size-mib", "32", "--seed", "101",
                              "--fps", "24000/1001") + FORMAT,
    # runs of eight, the second recording's movie box lost: the heads of its described chunks' samples,
    # claimed as the chunks are joined, let the first's count place its chunks, and the count of the
    # clusters between the second's own pieces joins its first chunk
    "run8-c32-1080p-lost": ("--count", "2", "--frames", "36,36", "--alternate", "8", "--video", "1920x1080",
                            "--video-mbps", "50", "--size-mib", "32", "--seed", "101", "--damage",
                            "moov-lost") + FORMAT,
    # the same in 24-bit four-channel sound: each first chunk's last sample crosses into a run that
    # holds only its payload and the head of the sound, which pushes the kkad box behind it a run
    # further. The second's is placed up to the open tail of that sample, and the tail and the sound
    # together where the others' pieces and the sound's waveform leave one way
    "run8-c32-1080p-lost-24x4": ("--count", "2", "--frames", "36,36", "--alternate", "8", "--video", "1920x1080",
                                 "--video-mbps", "50", "--size-mib", "32", "--seed", "101", "--damage",
                                 "moov-lost", "--sound-format", "24x4") + FORMAT,
    # runs of about 32 clusters, the second recording's movie box lost: its last chunk lies in three
    # runs, the first cut inside its key frame; the ways tried behind the two cuts need more reads
    # than a chunk a third its size may make
    "run32-jitter-c32-1080p-lost": ("--count", "2", "--frames", "36,36", "--alternate", "32", "--jitter-runs",
                                    "--video", "1920x1080", "--video-mbps", "50", "--size-mib", "32", "--seed", "1",
                                    "--damage", "moov-lost") + FORMAT,
    # runs of about 16 clusters at 50 Mbit/s: a chunk's P frames lie in several runs, and a run of the
    # other recording holding only payload may lie in front of a cut or behind it alike; the ways
    # the walk leaves are judged by decoding the whole chunk (without the check none is taken)
    "run16-jitter-c32-1080p": ("--count", "2", "--frames", "36,36", "--alternate", "16", "--jitter-runs",
                               "--video", "1920x1080", "--video-mbps", "50", "--size-mib", "32",
                               "--seed", "1") + FORMAT,
    # a 1080p main clip beside its 720p proxy (without its movie box): the main clip's first and last
    # chunks each hold a sample cut twice inside payload that neither structure nor decoder places;
    # the head of each one's last sample lies in the run of the piece behind its sound, which places
    # that sound, so their leading samples are kept with it beside the whole second chunk
    "proxy32:2-jitter-1080-hevc-lost": ("--count", "2", "--frames", "36,36,24", "--alternate", "32:2",
                                        "--jitter-runs", "--video", "1920x1080,1280x720", "--video-mbps", "50,9",
                                        "--codec", "hevc,avc,hevc", "--same-second", "--size-mib", "128",
                                        "--seed", "21", "--damage", "moov-lost") + FORMAT,
    # runs of two 64 KiB clusters at 29.97 with 24-bit four-channel sound: each sound chunk lies in
    # three runs; the first recording's piece placed by one boundary where there are two reaches over
    # the second's runs, and must not make the first's pieces look out of order there
    "run2-c64-lost-hevc-2997-24x4": ("--count", "2", "--frames", "72,96", "--alternate", "2", "--cluster-kib", "64",
                                     "--damage", "moov-lost", "--hevc", "--seed", "13", "--fps", "30000/1001",
                                     "--sound-format", "24x4") + FORMAT,
    # an encoder's defaults (open GOPs, parameter sets only in the sample entry, B-frames): on the
    # first pass the first recording places a sound chunk by room over the second's, on the next by
    # its own pieces elsewhere; the second's sound there, the one edge the others' pieces leave, stands
    "run2:5-jitter-lost-hevc-open": ("--count", "2", "--frames", "96,84", "--alternate", "2:5", "--jitter-runs",
                                     "--open-gop", "--params-out-of-band", "--bframes", "2", "--gop", "24",
                                     "--hevc", "--damage", "moov-lost", "--seed", "93") + FORMAT,
    # the same defaults in 64 KiB clusters, the FAT zeroed: the second recording's first chunk walks
    # whole in its first run, but its last sample's payload runs on past a cluster edge no length
    # field shows; that tail and the sound behind it lie in the one way the others' pieces leave
    "run5:2-jitter-c64-lost-open": ("--count", "2", "--frames", "96,84", "--alternate", "5:2", "--jitter-runs",
                                    "--open-gop", "--params-out-of-band", "--bframes", "2", "--gop", "24",
                                    "--damage", "moov-lost", "--cluster-kib", "64", "--seed", "96") + ZEROED,
    # a 720p main clip and its proxy (without its movie box) in runs of one cluster each: the proxy's
    # last sample reaches a cluster over, only its payload there, and the sound in front of the
    # chunk (placed behind the chunk before) tells which cluster; its sound behind, proven by its
    # waveform, and the proxy's other sound so proven count for the main clip, whose first chunk
    # the count then places
    "proxy1:1-720-lost": ("--count", "2", "--frames", "36,36,24", "--alternate", "1:1", "--jitter-runs",
                          "--video", "1280x720,640x360", "--video-mbps", "25,3", "--codec", "avc",
                          "--same-second", "--size-mib", "128", "--seed", "14", "--damage", "moov-lost") + FORMAT,
    # three recordings written at once in runs of about four clusters, the last without its movie
    # box: a cluster none of the pieces shows may be any of the three's, and the count of the two
    # whose pieces lie around a cut weighs where the third may lie (0/3 whole, 61 frames while it
    # took every such cluster for one of the two)
    "three4-jitter-c32-360-lost": ("--count", "3", "--at-once", "3", "--frames", "48,36,24", "--alternate", "4",
                                   "--jitter-runs", "--video", "640x360", "--video-mbps", "8", "--size-mib", "64",
                                   "--damage", "moov-lost", "--seed", "12") + ZEROED,
    # the same at 29.97 with 24-bit four-channel sound: the proxy's file is as long as the main clip's
    # first chunk, which so lies in 37 runs of one cluster, placed by the count
    "proxy1:1-720-lost-2997-24x4": ("--count", "2", "--frames", "36,36,24", "--alternate", "1:1", "--jitter-runs",
                                    "--video", "1280x720,640x360", "--video-mbps", "25,3", "--codec", "avc",
                                    "--same-second", "--size-mib", "128", "--seed", "14", "--damage", "moov-lost",
                                    "--fps", "30000/1001", "--sound-format", "24x4") + FORMAT,
    # runs of one 128 KiB cluster at 29.97 with 24-bit four-channel sound: the first recording's
    # second sound chunk lies in three runs, placed by the room the second leaves and proven by its
    # waveform, so the second counts by it and its key frame cut twice is placed. Each one's last
    # chunk waits on the other's (the second's, without its movie box, undescribed)
    "run1-c128-720p-lost-2997-24x4": ("--count", "2", "--frames", "36,36", "--alternate", "1", "--video", "1280x720",
                                      "--video-mbps", "25", "--cluster-kib", "128", "--size-mib", "48", "--damage",
                                      "moov-lost", "--seed", "301", "--fps", "30000/1001",
                                      "--sound-format", "24x4") + FORMAT,
}

# recordings whole and video samples kept, at least, per card (with runs shorter than a sound
# chunk, the chunks whose sound lies in three runs or more are left out: no run of either
# recording shows a run as long as a one-cut join of that sound would need)
KEPT = {"run1-c32": (3, 228), "run2-c32-hevc": (3, 228), "run5-c16": (3, 264), "run7-c64-b2": (3, 264),
        "run4-c32-b3-hevc": (3, 240), "run64-c128-mbps": (3, 588), "run3-c32-lost": (2, 180),
        "run9-c32-lost-b2": (2, 180), "run2-c64-lost-hevc": (2, 168), "run20-c32-lost": (2, 264),
        "run6-c32-gop6": (3, 216), "run3-c32-wrap": (3, 228), "run5:1-c32": (3, 228),
        "run6:2-jitter-c32-b2": (3, 228), "run3-jitter-c32": (3, 228),
        "run6-jitter-c16-first-short": (3, 264), "run8:3-jitter-c64-lost-music": (2, 180),
        "run3-jitter-c32-lost": (2, 180), "run3-jitter-c32-lost-last": (2, 96), "run12:3-jitter-c16": (3, 264),
        "run5:2-jitter-c32-lost-hevc-music": (2, 180),
        "run2:5-jitter-c32-hevc": (3, 228), "run6:2-jitter-c32-lost-music": (2, 96),
        "run4-jitter-c128-20mbps-music": (3, 228),
        "run4-jitter-c128-20mbps-last-music": (3, 228), "run3-c32-lost-2997": (2, 180),
        "run3-jitter-c32-lost-last-24bit": (2, 96), "run6:2-jitter-c32-b2-2997": (3, 228),
        "run16-c32-720p-50mbps": (2, 48), "proxy4:1-c32-same-second": (3, 120),
        "proxy4:1-jitter-c32-b2-50mbps-same-second": (3, 96), "run1-c128-720p-lost": (2, 72),
        "run8-c32-1080p-50mbps": (2, 48), "run64-c32-1080p-2997": (2, 72), "run8-c32-1080p-lost": (0, 36),
        "proxy32:2-jitter-1080-hevc-lost": (0, 48), "run64-c32-1080p-23976": (2, 72),
        "run2:5-jitter-lost-hevc-open": (2, 180), "run2-c64-lost-hevc-2997-24x4": (2, 168),
        "proxy1:1-720-lost": (2, 72), "run32-jitter-c32-1080p-lost": (2, 72), "run8-c32-1080p-lost-24x4": (0, 24),
        "run5:2-jitter-c64-lost-open": (2, 180), "run16-jitter-c32-1080p": (2, 72),
        "three4-jitter-c32-360-lost": (2, 84),
        "proxy1:1-720-lost-2997-24x4": (2, 72), "run1-c128-720p-lost-2997-24x4": (0, 48)}
# what the oracle still finds wrong, per card
WRONG = {}


# frames kept at least without the decode check where that is fewer, per card (None: not run so);
# elsewhere as many recordings whole and frames as with it.
# Unchecked, the documented rules write any chunk of the right structure: a recording they write
# may take a cut chunk's place from another recording's salvage
UNCHECKED_KEPT = {"run20-c32-lost": 228, "run8-c32-1080p-50mbps": 24, "run8-c32-1080p-lost": 24,
                  "run16-jitter-c32-1080p": 18,
                  # the documented rules write the first recording from its movie box read as one
                  # piece, and the report draws it so, over the second's cluster behind its first piece
                  "run6:2-jitter-c32-b2-2997": None}
# the plain build runs the cards with the check, the sanitizers' build without it: each makes the
# joins the other's run leaves out, and the files of both are judged alike
CHECKED = (False,) if os.environ.get("MENDORA_SANITIZED") else (True,)


class FragmentCards(unittest.TestCase):
    def test_cards(self):
        """Each card with the decode check or without it: the check refuses a wrongly joined chunk
        before it is written, so only a run without it shows what the structure alone joins. That
        run too takes no byte of another recording, and keeps as many recordings whole and frames
        but where UNCHECKED_KEPT says (the documented rules' files it writes count the camera's
        pictures in them)."""
        for name, options in CARDS.items():
            least = (KEPT[name], (0, UNCHECKED_KEPT[name]) if name in UNCHECKED_KEPT else KEPT[name])
            for checked in CHECKED if least[1][1] is not None else (True,):
                with self.subTest(card=name, checked=checked), harness.scratch():
                    problems = []
                    row = test_salvage.fragment_row(self, harness.make_card(None, *options), problems, checked)
                    self.assertLessEqual(set(problems), WRONG.get(name, set()), "the oracle finds")
                    whole, kept = row[4], row[6]
                    self.assertTrue(whole >= least[not checked][0] and kept >= least[not checked][1],
                                    "recordings whole %d, frames kept %d" % (whole, kept))


if __name__ == "__main__":
    unittest.main()
