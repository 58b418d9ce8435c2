#include "mdfread/HDBlock.h"

#include <cstring>
#include <ctime>

#include "mdfread/CGBlock.h"
#include "mdfread/CNBlock.h"
#include "mdfread/DGBlock.h"
#include "mdfread/TXBlock.h"
#include "support/CFormat.h"
#include "support/LibUtils.h"
#include "support/Paths.h"

namespace {

// 2007-01-01 00:00:00 UTC in seconds since 1970.
constexpr double Epoch2007 = 1167609600.0;

constexpr size_t Mdf3Minimum = 12;
constexpr size_t Mdf3Layout = 36;  // up to the end of the time field

std::string FixedText(const uint8_t* p, size_t size)
{
    size_t length = 0;
    while (length < size && p[length] != 0)
        ++length;
    return std::string(reinterpret_cast<const char*>(p), length);
}

// atoi of a few characters, whatever the host's locale.
int NumberAt(const std::string& text, size_t at, size_t count)
{
    std::string part = text.substr(at, count);
    size_t i = 0;
    while (i < part.size() && (part[i] == ' ' || part[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < part.size() && (part[i] == '-' || part[i] == '+'))
        negative = part[i++] == '-';
    int value = 0;
    for (; i < part.size() && part[i] >= '0' && part[i] <= '9'; ++i)
        value = value * 10 + (part[i] - '0');
    return negative ? -value : value;
}

}  // namespace

// ---- Header ----------------------------------------------------------------

CHDBlockOp::~CHDBlockOp()
{
    while (m_firstDG) {
        CDGBlockOp* next = m_firstDG->GetNextDG();
        m_firstDG->SetNextDG(nullptr);
        delete m_firstDG;
        m_firstDG = next;
    }
}

bool CHDBlockOp::ReadData(unsigned long long offset, bool littleEndian)
{
    BLOCKHEAD head;
    if (ReadBlock(head, offset, littleEndian) == 0)
        return false;
    std::vector<uint8_t> bytes;
    if (!LoadBlock(bytes, Mdf3Minimum, Mdf3Layout, 6, 8))
        return false;
    uint64_t firstGroup;
    if (IsMdf4()) {
        firstGroup = ReadU64(&bytes[24], true);
        uint64_t nanoseconds = ReadU64(&bytes[DataSectionStart()], true);
        m_startTime = double(nanoseconds) * 1e-9 - Epoch2007;
    } else if (!ReadMdf3(bytes, firstGroup)) {
        return false;
    }
    if (firstGroup == 0) {
        DebugOutput("MDF file without data groups");
        return false;
    }
    return ReadDataGroups(firstGroup, littleEndian);
}

bool CHDBlockOp::ReadMdf3(const std::vector<uint8_t>& bytes, uint64_t& firstGroup)
{
    firstGroup = ReadU32(&bytes[4], m_littleEndian);
    uint64_t commentLink = ReadU32(&bytes[8], m_littleEndian);
    m_date = FixedText(&bytes[18], 10);
    m_time = FixedText(&bytes[28], 8);
    std::string comment;
    if (CTXBlockOp::ReadText(m_file, this, commentLink, m_littleEndian, comment))
        StartTimeFromComment(comment);
    StartTimeFromDate();
    return true;
}

// The first "Timestamp:" line before the first empty line.
void CHDBlockOp::StartTimeFromComment(const std::string& comment)
{
    size_t begin = 0;
    while (begin <= comment.size()) {
        size_t end = comment.find('\n', begin);
        std::string line = comment.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (line.empty())
            return;
        if (line.compare(0, 10, "Timestamp:") == 0) {
            m_startTime = StrtodC(line.c_str() + 10, nullptr);
            return;
        }
        if (end == std::string::npos)
            return;
        begin = end + 1;
    }
}

// Date DD:MM:YYYY and time HH:MM:SS, local time, override the comment.
void CHDBlockOp::StartTimeFromDate()
{
    if (m_date.size() != 10 || m_time.size() != 8)
        return;
    tm broken = {};
    broken.tm_mday = NumberAt(m_date, 0, 2);
    broken.tm_mon = NumberAt(m_date, 3, 2) - 1;
    broken.tm_year = NumberAt(m_date, 6, 4) - 1900;
    broken.tm_hour = NumberAt(m_time, 0, 2);
    broken.tm_min = NumberAt(m_time, 3, 2);
    broken.tm_sec = NumberAt(m_time, 6, 2);
    broken.tm_isdst = 0;
    m_startTime = double(std::mktime(&broken)) - Epoch2007;
}

bool CHDBlockOp::ReadDataGroups(uint64_t link, bool littleEndian)
{
    CDGBlockOp* last = nullptr;
    while (link != 0) {
        if (!m_file->Visit(link)) {
            ReportBlock("Data group chain loops back to the group", link);
            return false;
        }
        auto* dg = new CDGBlockOp(m_file, this);
        if (last)
            last->SetNextDG(dg);
        else
            m_firstDG = dg;
        last = dg;
        if (!dg->ReadData(link, littleEndian)) {
            ReportBlock("Data group cannot be read", link);
            return false;
        }
        link = dg->GetNextDGOffset();
    }
    return true;
}

CCNBlockOp* CHDBlockOp::GetNextChannel(bool restart)
{
    Cursor& c = m_channelCursor;
    if (restart) {
        c = Cursor();
        c.dg = m_firstDG;
        c.cg = c.dg ? c.dg->GetFirstCG() : nullptr;
        c.active = c.atStart = true;
    }
    if (!c.active)
        return nullptr;
    CCNBlockOp* cn = c.atStart ? (c.cg ? c.cg->GetFirstCN() : nullptr) : (c.cn ? c.cn->GetNextCN() : nullptr);
    c.atStart = false;
    while (!cn) {
        if (c.cg)
            c.cg = c.cg->GetNextCG();
        while (!c.cg) {
            c.dg = c.dg ? c.dg->GetNextDG() : nullptr;
            if (!c.dg) {
                c.active = false;
                return nullptr;
            }
            c.cg = c.dg->GetFirstCG();
        }
        cn = c.cg->GetFirstCN();
    }
    c.cn = cn;
    return cn;
}

// ---- Identification --------------------------------------------------------

CIDBlockOp::CIDBlockOp(const std::wstring& path) : CBlockOp(nullptr, nullptr, "MDF     "), m_path(path)
{
    m_file = &m_stream;
}

CIDBlockOp::~CIDBlockOp() { delete m_header; }

bool CIDBlockOp::ReadData(unsigned long long, bool)
{
    delete m_header;
    m_header = nullptr;
    std::optional<std::string> bytes = PathBytes(m_path);
    if (!bytes || !m_stream.Open(*bytes))
        return false;
    if (!m_stream.ReadAt(0, m_image, sizeof m_image))
        return false;
    if (std::memcmp(m_image, "MDF     ", 8) != 0) {
        m_unfinalized = std::memcmp(m_image, "UnFinMF ", 8) == 0;
        return false;
    }
    bool littleEndian = (m_image[24] | m_image[25]) == 0;
    m_header = new CHDBlockOp(&m_stream, this);
    return m_header->ReadData(64, littleEndian);
}

double CIDBlockOp::GetTimestamp() const { return m_header ? m_header->GetTimestamp() : 0.0; }
CCNBlockOp* CIDBlockOp::GetNextChannel(bool restart) { return m_header ? m_header->GetNextChannel(restart) : nullptr; }
