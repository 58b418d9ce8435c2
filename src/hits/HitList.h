// The hit list: a JSON document naming measurement databases and, for each,
// time windows ("hits") in seconds from that database's measurement start,
// with an alias list ("Channels") of the channels to cut out.
//
// {"SpacingBetweenHitsInOutputFile": 1.0,
//  "Channels": [alias list],
//  "HitList": [{"FilenameAndPath": "a.db",
//               "Hits": [{"Description": "", "StartTime": 2.5, "EndTime": 7.5, "Spacing": 0.5}]}]}
#pragma once

#include <cfloat>
#include <cstdint>
#include <string>
#include <vector>

#include "jsonxx/jsonxx.h"

class CChannelInfo;

class HitInfo {
public:
    HitInfo(double start, double end, std::string description)
        : m_description(std::move(description)), m_start(start), m_end(end)
    {
    }

    void SetSpacing(double spacing) { m_spacing = spacing; }
    double GetStart() const { return m_start; }
    // Records up to and including this time belong to the hit.
    double GetEnd() const { return m_end; }
    // The gap placed after the hit on the output axis; DBL_MAX when the hit
    // list gives none for this hit.
    double GetSpacing() const { return m_spacing; }
    std::string const& GetDescription() const { return m_description; }

private:
    std::string m_description;
    double m_start;
    double m_end;
    double m_spacing = DBL_MAX;
};

class FileHitInfo {
public:
    explicit FileHitInfo(std::string path) : m_path(std::move(path)) {}

    // The driver replaces the listed name by the bytes of the file it names.
    void SetPath(std::string path) { m_path = std::move(path); }
    void AddHit(HitInfo const& hit) { m_hits.push_back(hit); }
    void ReserveHits(size_t count) { m_hits.reserve(count); }
    std::string GetPath() const { return m_path; }
    size_t GetNumHits() const { return m_hits.size(); }
    // Null when i is not below the count.
    HitInfo const* GetHit(size_t i) const { return i < m_hits.size() ? &m_hits[i] : nullptr; }

private:
    std::string m_path;
    std::vector<HitInfo> m_hits;
};

// Fills files with one entry per "HitList" element that has a
// "FilenameAndPath" text (elements that are no object are skipped), each
// with its hits in list order. False, leaving files untouched, when the
// document is empty or has no "HitList" array, or when a hit's number does
// not fit a double or a "Spacing" is negative.
bool ReadFileHitsFromObject(jsonxx::Object const& hitList, std::vector<FileHitInfo>& files);

// "SpacingBetweenHitsInOutputFile", 1.0 when absent. False for a number that
// does not fit a double or is negative.
bool ReadDefaultSpacing(jsonxx::Object const& hitList, double& spacing);

// A digest of everything in a hit list that shapes its subset: the default
// spacing, the alias list as read, and every listed database's path (as the
// driver set it: the bytes of the file it names) with its hits' start, end
// and spacing, in list order (descriptions do not count).
// Never 0, the value of a database that records none.
int32_t HitListDigest(double defaultSpacing, std::vector<CChannelInfo> const& channels,
                      std::vector<FileHitInfo> const& files);
