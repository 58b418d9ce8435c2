#include "hits/HitList.h"

#include <cmath>
#include <cstring>

#include "access/ChannelInfo.h"

namespace {

// A JSON number as a double: false when it lies beyond the double range
// (it would become infinite) or is no number at all.
bool NarrowNumber(jsonxx::Number number, double& out)
{
    if (std::isnan(number) || std::fabs(number) > static_cast<jsonxx::Number>(DBL_MAX))
        return false;
    out = static_cast<double>(number);
    return true;
}

// A member counts only with its listed type; absent, it keeps out.
bool ReadNumber(jsonxx::Object const& object, char const* key, double& out)
{
    return !object.has<jsonxx::Number>(key) || NarrowNumber(object.get<jsonxx::Number>(key), out);
}

bool ReadHit(jsonxx::Object const& entry, HitInfo& hit)
{
    double start = 0.0, end = 0.0, spacing = DBL_MAX;
    if (!ReadNumber(entry, "StartTime", start) || !ReadNumber(entry, "EndTime", end) ||
        !ReadNumber(entry, "Spacing", spacing) || spacing < 0.0)
        return false;
    std::string description;
    if (entry.has<jsonxx::String>("Description"))
        description = entry.get<jsonxx::String>("Description");
    hit = HitInfo(start, end, std::move(description));
    hit.SetSpacing(spacing);
    return true;
}

bool ReadFile(jsonxx::Object const& entry, FileHitInfo& file)
{
    if (!entry.has<jsonxx::Array>("Hits"))
        return true;
    jsonxx::Array const& hits = entry.get<jsonxx::Array>("Hits");
    file.ReserveHits(hits.size());
    for (auto const& element : hits.values()) {
        if (!element->is<jsonxx::Object>())
            continue;
        HitInfo hit(0.0, 0.0, std::string());
        if (!ReadHit(element->get<jsonxx::Object>(), hit))
            return false;
        file.AddHit(hit);
    }
    return true;
}

}  // namespace

bool ReadFileHitsFromObject(jsonxx::Object const& hitList, std::vector<FileHitInfo>& files)
{
    if (hitList.empty() || !hitList.has<jsonxx::Array>("HitList"))
        return false;
    std::vector<FileHitInfo> read;
    for (auto const& element : hitList.get<jsonxx::Array>("HitList").values()) {
        if (!element->is<jsonxx::Object>())
            continue;
        jsonxx::Object const& entry = element->get<jsonxx::Object>();
        if (!entry.has<jsonxx::String>("FilenameAndPath"))
            continue;
        FileHitInfo file(entry.get<jsonxx::String>("FilenameAndPath"));
        if (!ReadFile(entry, file))
            return false;
        read.push_back(std::move(file));
    }
    files = std::move(read);
    return true;
}

bool ReadDefaultSpacing(jsonxx::Object const& hitList, double& spacing)
{
    spacing = 1.0;
    return ReadNumber(hitList, "SpacingBetweenHitsInOutputFile", spacing) && spacing >= 0.0;
}

namespace {

// FNV-1a over the bytes of each item; texts carry their length, so no two
// lists of texts feed the same bytes.
class Digest {
public:
    void Add(void const* data, size_t size)
    {
        for (size_t i = 0; i < size; ++i)
            m_hash = (m_hash ^ static_cast<unsigned char const*>(data)[i]) * 0x100000001b3ull;
    }
    void Add(std::string const& text)
    {
        Add(static_cast<uint64_t>(text.size()));
        Add(text.data(), text.size());
    }
    template <typename Number>
    void Add(Number number)
    {
        unsigned char bytes[sizeof number];
        std::memcpy(bytes, &number, sizeof number);
        Add(bytes, sizeof bytes);
    }
    // -0 and 0 are the same time.
    void AddTime(double time) { Add(time == 0.0 ? 0.0 : time); }
    int32_t Value() const
    {
        const auto folded = static_cast<uint32_t>(m_hash ^ (m_hash >> 32));
        int32_t value;
        std::memcpy(&value, &folded, sizeof value);
        return value != 0 ? value : 1;
    }

private:
    uint64_t m_hash = 0xcbf29ce484222325ull;
};

}  // namespace

int32_t HitListDigest(double defaultSpacing, std::vector<CChannelInfo> const& channels,
                      std::vector<FileHitInfo> const& files)
{
    Digest digest;
    digest.AddTime(defaultSpacing);
    digest.Add(static_cast<uint64_t>(channels.size()));
    for (CChannelInfo const& channel : channels) {
        for (std::string const* text : {&channel.name_in_script, &channel.name, &channel.message_name, &channel.network_name})
            digest.Add(*text);
        digest.Add(static_cast<char>(channel.required));
        digest.Add(static_cast<uint64_t>(channel.definitions.size()));
        for (CChannelDefinition const& alternative : channel.definitions) {
            for (std::string const* text : {&alternative.channel_name, &alternative.message_name, &alternative.network_name})
                digest.Add(*text);
            digest.Add(static_cast<char>(alternative.plainEntry));
        }
    }
    digest.Add(static_cast<uint64_t>(files.size()));
    for (FileHitInfo const& file : files) {
        digest.Add(file.GetPath());
        digest.Add(static_cast<uint64_t>(file.GetNumHits()));
        for (size_t h = 0; h < file.GetNumHits(); ++h) {
            HitInfo const& hit = *file.GetHit(h);
            digest.AddTime(hit.GetStart());
            digest.AddTime(hit.GetEnd());
            digest.AddTime(hit.GetSpacing());
        }
    }
    return digest.Value();
}
