#include "tools/mkcard_fs_truth.h"

#include "tools/mkcard_sha256.h"

#include <cstdio>

namespace mkcard {

namespace {

const char* state_name(FsState s)
{
    switch (s) {
    case FsState::live: return "live";
    case FsState::deleted: return "deleted";
    case FsState::deleted_fat_zeroed: return "deleted-fat-zeroed";
    case FsState::deleted_tree: return "deleted-tree";
    case FsState::formatted: return "formatted";
    default: return "none";
    }
}

const char* yes(bool b) { return b ? "true" : "false"; }

std::string runs_json(const std::vector<ClusterRun>& runs)
{
    std::string s = "[";
    for (size_t i = 0; i < runs.size(); i++)
        s += (i ? ", [" : "[") + std::to_string(runs[i].first) + ", " + std::to_string(runs[i].count) + "]";
    return s + "]";
}

// A JSON string of UTF-16 units: printable ASCII as it is, everything else escaped, so a name
// that is no valid UTF-16 (a lone surrogate) still comes through unit for unit.
std::string json_units(const std::u16string& units)
{
    std::string s;
    for (char16_t u : units) {
        if (u == '"' || u == '\\') {
            s += '\\';
            s += char(u);
        } else if (u >= 0x20 && u < 0x7F) {
            s += char(u);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(u));
            s += buf;
        }
    }
    return s;
}

// "path", "folder" and "name": the name may hold a separator of its own, so a reader takes the
// folder and name as they are rather than splitting the path.
std::string path_json(const Card& card, const FsEntry& e)
{
    std::string folder;
    if (e.dir != 0)
        folder = json_units(utf16_of(card.fs.entries[card.fs.dirs[e.dir].entry].path));
    std::string name = json_units(e.fields.name);
    std::string s = "\"";
    s += folder.empty() ? name : folder + "/" + name;
    s += "\", \"folder\": \"";
    s += folder;
    s += "\", \"name\": \"";
    s += name;
    s += "\"";
    return s;
}

std::string entry_json(const Card& card, const FsEntry& e)
{
    char buf[1024];
    std::snprintf(buf, sizeof buf,
                  "{\"path\": %s, \"kind\": \"%s\", \"recording\": %s%s%s, \"in_use\": %s, \"set_intact\": %s, "
                  "\"trusted\": %s, \"created\": \"%s\", \"modified\": \"%s\", \"size\": %llu, \"valid_size\": %llu, "
                  "\"first_cluster\": %u, \"no_fat_chain\": %s, \"fat\": \"%s\", \"slot\": %zu, \"chain\": ",
                  path_json(card, e).c_str(), e.kind.c_str(), e.recording >= 0 ? "\"" : "",
                  e.recording >= 0 ? card.placed[size_t(e.recording)].what.name.c_str() : "null",
                  e.recording >= 0 ? "\"" : "", yes(e.in_use), yes(e.set_intact), yes(e.trusted),
                  entry_time_text(e.fields.created).c_str(), entry_time_text(e.fields.modified).c_str(),
                  (unsigned long long)e.fields.data_length, (unsigned long long)e.fields.valid_data_length,
                  e.fields.first_cluster, yes(e.fields.no_fat_chain), e.fat.c_str(), e.slot);
    std::string s = buf + runs_json(e.runs);
    if (!e.content.empty())
        s += ", \"sha256\": \"" + sha256_hex(e.content) + "\"";
    return s + "}";
}

} // namespace

std::string recording_file_json(const Card& card, size_t k)
{
    if (card.fs_state == FsState::none)
        return "null";
    std::string clip = "null", sidecars;
    for (const FsEntry& e : card.fs.entries) {
        if (e.recording != int(k))
            continue;
        if (e.kind == "clip")
            clip = entry_json(card, e);
        else if (e.kind != "twin")
            sidecars += (sidecars.empty() ? "" : ", ") + entry_json(card, e);
    }
    if (clip == "null")
        return clip;
    return clip.substr(0, clip.size() - 1) + ", \"sidecars\": [" + sidecars + "]}";
}

std::string file_system_json(const Card& card)
{
    if (card.fs_state == FsState::none)
        return "null";
    const ExfatVolume& v = card.fs.volume;
    char head[256];
    std::snprintf(head, sizeof head,
                  "{\"state\": \"%s\", \"volume_offset\": %llu, \"heap_offset\": %llu, \"root_cluster\": %u,\n"
                  "    \"directories\": [",
                  state_name(card.fs_state), (unsigned long long)card.volume_offset,
                  (unsigned long long)v.heap_offset, v.root_cluster);
    std::string s = head;
    for (size_t d = 1; d < card.fs.dirs.size(); d++) {
        const FsDirectory& dir = card.fs.dirs[d];
        s += std::string(d > 1 ? ", " : "") + "{\"path\": \"" + card.fs.entries[dir.entry].path + "\", \"clusters\": [";
        for (size_t i = 0; i < dir.clusters.size(); i++)
            s += (i ? ", " : "") + std::to_string(dir.clusters[i]);
        s += "]}";
    }
    s += "],\n    \"entries\": [\n";
    for (size_t i = 0; i < card.fs.entries.size(); i++)
        s += "      " + entry_json(card, card.fs.entries[i]) + (i + 1 < card.fs.entries.size() ? ",\n" : "\n");
    return s + "    ]}";
}

} // namespace mkcard
