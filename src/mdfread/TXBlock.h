// Text-carrying blocks: text (TX), XML metadata (MD, with the comment forms of
// channel groups and channels) and source information (SI). They are read
// into temporary objects; only their texts are kept in the tree.
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

class CMDBlockOp : public CBlockOp {
public:
    CMDBlockOp(CMdfStream* file, CBlockOp* parent) : CBlockOp(file, parent, "MD") {}
    bool ReadData(unsigned long long offset, bool littleEndian) override;
    virtual std::string GetText() { return m_text; }

protected:
    std::string m_text;
};

// Channel-group and channel comments: the text of the TX element.
class CCGMDBlockOp : public CMDBlockOp {
public:
    using CMDBlockOp::CMDBlockOp;
    std::string GetText() override;
};

class CCNMDBlockOp : public CMDBlockOp {
public:
    using CMDBlockOp::CMDBlockOp;
    std::string GetText() override;
    bool GetRaster(double& rate);
};

class CSIBlockOp : public CBlockOp {
public:
    CSIBlockOp(CMdfStream* file, CBlockOp* parent) : CBlockOp(file, parent, "SI") {}
    bool ReadData(unsigned long long offset, bool littleEndian) override;
    const std::string& GetTxName() const { return m_name; }

private:
    std::string m_name;
};

// The text between <TX> and </TX> of an XML comment; without "</TX>" the
// result is empty.
std::string TextOfTxElement(const std::string& xml);
