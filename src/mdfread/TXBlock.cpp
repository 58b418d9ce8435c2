#include "mdfread/TXBlock.h"

#include <cstring>
#include <vector>

namespace {

// The block's bytes after its head, up to the first NUL.
bool ReadBodyText(CMdfStream* file, unsigned long long offset, unsigned long long length, unsigned headerSize,
                  std::string& text)
{
    if (length < headerSize)
        return false;
    std::vector<char> bytes(size_t(length - headerSize));
    if (!file->ReadAt(offset + headerSize, bytes.data(), bytes.size()))
        return false;
    size_t end = 0;
    while (end < bytes.size() && bytes[end] != '\0')
        ++end;
    text.assign(bytes.data(), end);
    return true;
}

}  // namespace

bool CTXBlockOp::ReadData(unsigned long long offset, bool littleEndian)
{
    m_text.clear();
    BLOCKHEAD head;
    if (ReadBlock(head, offset, littleEndian) == 0) {
        if (offset == 0)
            return false;
        m_identifier = "MD";
        if (ReadBlock(head, offset, littleEndian) == 0)
            return false;
    }
    if (!ReadBodyText(m_file, m_blockOffset, m_blockLength, m_headerSize, m_text))
        return false;
    if (std::strncmp(m_identifier, "TX", 2) == 0)
        return true;
    size_t close = m_text.find("</TX>");
    if (close != std::string::npos) {
        m_text.erase(close);
        size_t open = m_text.find("<TX>");
        if (open != std::string::npos)
            m_text.erase(0, open + 4);
    }
    return !m_text.empty();
}

bool CTXBlockOp::ReadText(CMdfStream* file, CBlockOp* parent, unsigned long long link, bool littleEndian,
                          std::string& text)
{
    text.clear();
    if (link == 0)
        return false;
    CTXBlockOp block(file, parent);
    if (!block.ReadData(link, littleEndian))
        return false;
    text = block.GetText();
    return true;
}
