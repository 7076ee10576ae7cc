#include "tools/mkcard_sidecar.h"

#include "tools/mkcard_exfat.h"

#include <cstdio>
#include <unistd.h>

namespace mkcard {

namespace {

std::string codec_text(const VideoFormat& v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s_%u_%u", v.hevc ? "HEVC" : "AVC", v.width, v.height);
    return buf;
}

// "2024-05-17T19:20:30+09:00": the camera's local clock with its offset from UTC.
std::string creation_text(const RecordingPlan& p)
{
    std::string t = entry_time_text(EntryTime{p.utc_unix, 0, p.tz_hours * 60});
    return t.erase(19, 3);
}

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

} // namespace

Bytes clip_metadata_xml(const Recording& r, const std::string& clip)
{
    const RecordingPlan& p = r.plan;
    char buf[2048];
    std::snprintf(buf, sizeof buf,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                  "<NonRealTimeMeta xmlns=\"urn:schemas-professionalDisc:nonRealTimeMeta:ver.2.00\" "
                  "lastUpdate=\"%s\">\r\n"
                  "\t<TargetMaterial umidRef=\"%s\"/>\r\n"
                  "\t<Duration value=\"%u\"/>\r\n"
                  "\t<CreationDate value=\"%s\"/>\r\n"
                  "\t<VideoFormat>\r\n"
                  "\t\t<VideoFrame videoCodec=\"%s\" captureFps=\"%s\" formatFps=\"%s\"/>\r\n"
                  "\t\t<VideoLayout pixel=\"%u\" numOfVerticalLine=\"%u\" aspectRatio=\"16:9\"/>\r\n"
                  "\t</VideoFormat>\r\n"
                  "\t<AudioFormat numOfChannel=\"2\">\r\n"
                  "\t\t<AudioRecPort port=\"INTERNAL\" audioCodec=\"LPCM16\" trackDst=\"CH1\"/>\r\n"
                  "\t\t<AudioRecPort port=\"INTERNAL\" audioCodec=\"LPCM16\" trackDst=\"CH2\"/>\r\n"
                  "\t</AudioFormat>\r\n"
                  "\t<RecordingMode type=\"normal\" cacheRec=\"false\"/>\r\n"
                  "</NonRealTimeMeta>\r\n",
                  creation_text(p).c_str(), clip.c_str(), p.frames, creation_text(p).c_str(),
                  codec_text(p.video).c_str(), fps_text(p).c_str(), fps_text(p).c_str(), p.video.width, p.video.height);
    return bytes_of(buf);
}

Bytes clip_thumbnail(const RecordingPlan& plan)
{
    std::string dir = "/tmp/mendora-mkcard-cache";
    run_command("mkdir -p " + dir);
    char name[128];
    std::snprintf(name, sizeof name, "/t1_%ux%u_%u.jpg", plan.video.width, plan.video.height, plan.seed);
    std::string path = dir + name;
    Bytes jpeg;
    if (read_file(path, &jpeg) && !jpeg.empty())
        return jpeg;
    // the encoder's own source picture, so the thumbnail shows the recording's first frame
    char cmd[1024];
    std::snprintf(cmd, sizeof cmd,
                  "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=%ux%u:rate=25,"
                  "noise=alls=12:allf=t:all_seed=%u -frames:v 1 -vf scale=160:90 -q:v 4 -f image2 '%s.%d.tmp' && "
                  "mv '%s.%d.tmp' '%s'",
                  plan.video.width, plan.video.height, plan.seed + 1, path.c_str(), int(getpid()), path.c_str(),
                  int(getpid()), path.c_str());
    if (!run_command(cmd) || !read_file(path, &jpeg) || jpeg.size() < 4)
        die("ffmpeg could not make a thumbnail");
    return jpeg;
}

Bytes media_index_xml(const std::vector<IndexedClip>& clips)
{
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                    "<MediaProfile xmlns=\"urn:schemas-professionalDisc:mediaProfile:ver.2.00\" createdAt=\"";
    s += clips.empty() ? std::string("2024-01-01T00:00:00+00:00") : creation_text(clips.front().recording->plan);
    s += "\" version=\"2.00\">\r\n\t<Contents>\r\n";
    for (const IndexedClip& c : clips) {
        char buf[512];
        std::snprintf(buf, sizeof buf,
                      "\t\t<Material uri=\"./Clip/%s.MP4\" type=\"%s\" videoType=\"%s\" dur=\"%u\" fps=\"%s\">\r\n"
                      "\t\t\t<RelevantInfo uri=\"./Clip/%sM01.XML\" type=\"XML\"/>\r\n"
                      "\t\t\t<RelevantInfo uri=\"./Thmbnl/%sT01.JPG\" type=\"JPG\"/>\r\n"
                      "\t\t</Material>\r\n",
                      c.clip.c_str(), "XAVC", codec_text(c.recording->plan.video).c_str(), c.recording->plan.frames,
                      fps_text(c.recording->plan).c_str(), c.clip.c_str(), c.clip.c_str());
        s += buf;
    }
    s += "\t</Contents>\r\n</MediaProfile>\r\n";
    return bytes_of(s);
}

} // namespace mkcard
