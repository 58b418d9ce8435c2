#include "hits/HitList.h"

#include <cmath>

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
