// Text blocks (TX, or in their place XML metadata blocks, MD, whose TX element
// is the text). They are read into temporary objects; only their texts are
// kept in the tree.
#pragma once

#include <string>

#include "mdfread/BlockOp.h"

class CTXBlockOp : public CBlockOp {
public:
    CTXBlockOp(CMdfStream* file, CBlockOp* parent) : CBlockOp(file, parent, "TX") {}
    // A TX block, or in its place an MD block whose TX element is taken.
    bool ReadData(unsigned long long offset, bool littleEndian) override;
    const std::string& GetText() const { return m_text; }

    // The text of the block at link; false (text empty) when there is none.
    static bool ReadText(CMdfStream* file, CBlockOp* parent, unsigned long long link, bool littleEndian,
                         std::string& text);

private:
    std::string m_text;
};
