// Output channels, their grouping into message tables, the output time axis
// and the rows written for each record.
#include "hits/AggregateHits.h"

#include <algorithm>
#include <cmath>

#include "access/ChannelInfo.h"
#include "support/CFormat.h"
#include "support/MeasurementDb.h"
#include "support/TargetFile.h"

namespace {

// A commit after this many writing calls keeps the journal small without
// paying for a commit per record.
constexpr long long kWritesPerTransaction = 100000;

}  // namespace

// ---- Channels and messages ---------------------------------------------------

bool ChannelStats::ProcessValue(double value, bool accumulate)
{
    const double v = std::isfinite(value) ? value : 0.0;
    if (count == 0) {
        count = 1;
        Start(v);
        last = v;
        return false;
    }
    ++count;
    const bool changed = v != last;
    if (changed) {
        ++changes;
        last = v;
    }
    if (v > max)
        max = v;
    if (v < min)
        min = v;
    if (accumulate)
        Accumulate(v, static_cast<long long>(count - 1), 1.0 / static_cast<double>(count));
    return changed;
}

bool AggregateChannelData::AddPoint(double point)
{
    value = point;
    hasPoint = true;
    return stats.ProcessValue(point, true);
}

uint64_t AggregateChannelData::GetNumRows() const
{
    return message ? message->rowCount : 0;
}

std::string AggregateMessage::Name() const
{
    std::string const& name = channels.front()->messageName;
    return name.empty() ? FormatC("Message%d", tableNumber) : name;
}

std::string AggregateMessage::Network() const
{
    std::string const& network = channels.front()->network;
    return network.empty() ? std::string("HS CAN") : network;
}

int AggregateMessage::PartCount() const
{
    return channels.empty() ? 1 : MeasurementDb::PartOfSignal(static_cast<int>(channels.size()));
}

void AggregateMessage::AddRow(double time, bool changedRow)
{
    const size_t perPart = MeasurementDb::kSignalsPerPart;
    for (size_t part = 0; part < inserts.size(); ++part) {
        CppSQLite3Statement& insert = inserts[part];
        insert.bind(1, time);
        const size_t first = part * perPart;
        const size_t end = std::min(channels.size(), first + perPart);
        for (size_t k = first; k < end; ++k) {
            const int parameter = static_cast<int>(k - first) + 2;
            if (channels[k]->hasPoint)
                insert.bind(parameter, channels[k]->value);
            else
                insert.bindNull(parameter);
        }
        insert.execDML();
    }
    ++rowCount;
    if (changedRow)
        ++changeCount;
}

AggregateHits::AggregateHits(unsigned channelCount, std::wstring outputPath)
    : m_outputPath(std::move(outputPath)), m_channels(channelCount)
{
}

AggregateHits::~AggregateHits()
{
    // Statements go before their connection, the connection before its file.
    m_messages.clear();
    m_db.reset();
    m_pending.reset();
}

void AggregateHits::SetChannel(CChannelInfo const* channel, int index)
{
    AggregateChannelData& out = m_channels[static_cast<size_t>(index)];
    out.name = channel->name_in_script;
    if (channel->definitions.empty()) {
        out.unit = channel->units;
        out.network = channel->network_name;
        out.messageName = channel->message_name;
        out.description = out.messageName + " | " + out.network;
    } else {
        // An alternative carries no unit. Alternatives naming other messages
        // mark the description with "*" and the first differing one names
        // the table.
        CChannelDefinition const& first = channel->definitions.front();
        out.messageName = first.message_name;
        out.network = first.network_name;
        out.description = out.messageName + " | " + out.network;
        for (CChannelDefinition const& other : channel->definitions) {
            if (other.message_name + " | " + other.network_name != out.description) {
                out.description = "*" + out.description;
                out.messageName = other.message_name;
                out.network = other.network_name;
                break;
            }
        }
    }
    for (int i = index - 1; i >= 0; --i) {
        if (m_channels[static_cast<size_t>(i)].HasSameMessage(out)) {
            out.message = m_channels[static_cast<size_t>(i)].message;
            break;
        }
    }
    if (!out.message) {
        m_messages.push_back(std::make_unique<AggregateMessage>());
        out.message = m_messages.back().get();
        out.message->tableNumber = static_cast<int>(m_messages.size());
    }
    out.message->channels.push_back(&out);
    out.column = static_cast<int>(out.message->channels.size());
}

void AggregateHits::AddFileMarker(char const* path, double fileStart, double hitStart, double hitEnd)
{
    FileMarker marker;
    marker.fileStart = fileStart;
    marker.outputTime = m_outputTime;
    marker.hitStart = hitStart;
    marker.hitEnd = hitEnd;
    if (!m_markers.empty() && *m_markers.back().description == path)
        marker.description = m_markers.back().description;
    else
        marker.description = std::make_shared<std::string const>(path);
    m_markers.push_back(std::move(marker));
}

std::wstring AggregateHits::DatabasePath() const
{
    const size_t dot = m_outputPath.rfind(L'.');
    if (dot == std::wstring::npos)
        return m_outputPath;
    return m_outputPath.substr(0, dot) + L".db";
}

// ---- The output axis -----------------------------------------------------------

void AggregateHits::BeginHit()
{
    if (!std::isfinite(m_outputTime))
        m_axisBroken = true;
    if (m_nextMarker < m_markers.size())
        m_markers[m_nextMarker++].outputTime = m_outputTime;
}

void AggregateHits::StartOfHit(double t)
{
    m_hitStart = t;
}

bool AggregateHits::WriteData(double t, char const* points, double const* values)
{
    for (size_t i = 0; i < m_channels.size(); ++i) {
        if (!points[i])
            continue;
        AggregateChannelData& channel = m_channels[i];
        const bool changed = channel.AddPoint(values[i]);
        AggregateMessage* message = channel.message;
        if (!message->touched) {
            message->touched = true;
            m_touched.push_back(message);
        }
        message->changed = message->changed || changed;
    }
    if (m_touched.empty())
        return false;
    const double outputTime = (t - m_hitStart) + m_outputTime;
    if (!RowFollows(t, outputTime)) {
        for (AggregateMessage* message : m_touched)
            message->touched = message->changed = false;
        m_touched.clear();
        return false;
    }
    if (m_writesInTransaction > kWritesPerTransaction) {
        Run(L"COMMIT TRANSACTION");
        Run(L"BEGIN TRANSACTION");
        m_writesInTransaction = 0;
    }
    for (AggregateMessage* message : m_touched) {
        message->AddRow(outputTime, message->changed);
        message->touched = message->changed = false;
    }
    m_touched.clear();
    ++m_writesInTransaction;
    m_lastTime = t;
    m_lastOutput = outputTime;
    m_wroteInHit = m_anyRow = true;
    m_spacedSinceRow = false;
    return true;
}

// Far from 0 the output times lose their fractions: rows that follow each
// other would share a time, so such an axis is refused rather than written.
bool AggregateHits::RowFollows(double t, double outputTime)
{
    const bool later = m_wroteInHit ? t > m_lastTime : m_spacedSinceRow;
    if (!std::isfinite(outputTime) || (m_anyRow && later && outputTime <= m_lastOutput))
        m_axisBroken = true;
    return !m_axisBroken;
}

void AggregateHits::EndOfHit(double spacing)
{
    if (m_wroteInHit)
        m_outputTime += m_lastTime - m_hitStart;
    m_outputTime += spacing;
    m_spacedSinceRow = m_spacedSinceRow || spacing > 0.0;
    m_wroteInHit = false;
}

bool AggregateHits::AxisHolds() const
{
    if (m_axisBroken)
        return false;
    for (FileMarker const& marker : m_markers)
        if (!std::isfinite(marker.outputTime))
            return false;
    return m_markers.empty() || std::isfinite(EndOfOutput());
}
