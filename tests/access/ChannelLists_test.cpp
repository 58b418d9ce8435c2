#include <gtest/gtest.h>

#include "access/ChannelInfo.h"
#include "support/LibUtils.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

namespace {

std::vector<CChannelInfo> channelList(std::string const& json, bool* ok = nullptr)
{
    std::vector<CChannelInfo> out;
    bool result = ReadChannelsFromJson(widestring(json).c_str(), out);
    if (ok)
        *ok = result;
    return out;
}

std::vector<CChannelInfo> aliasList(std::string const& json, bool* ok = nullptr)
{
    std::vector<CChannelInfo> out;
    bool result = ReadAliasesFromJson(widestring(json).c_str(), out);
    if (ok)
        *ok = result;
    return out;
}

}  // namespace

TEST(ChannelLists, ChannelListEntriesAndDefaults)
{
    bool ok = false;
    auto list = channelList(R"({"Channels": [
        {"name": "A", "required": "no"},
        {"name": 5},
        7,
        {"name": "B", "message_name": "M*", "network_name": "HS CAN", "required": false},
        {"message_name": "only"}]})",
                            &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "A");
    EXPECT_TRUE(list[0].required);  // a string is no boolean
    EXPECT_EQ(list[0].message_name, "");
    EXPECT_EQ(list[1].message_name, "M*");
    EXPECT_EQ(list[1].network_name, "HS CAN");
    EXPECT_FALSE(list[1].required);
    EXPECT_TRUE(list[1].name_in_script.empty());
    EXPECT_TRUE(list[1].definitions.empty());
    EXPECT_EQ(list[1].curTime, DBL_MAX);
    EXPECT_EQ(list[1].decimals, -1);
    EXPECT_EQ(list[1].slope, 1.0);
}

TEST(ChannelLists, UnusableListsFailAndCountZero)
{
    for (char const* json : {R"({"Channels": []})", R"({"Channels": [{"message_name": "M"}]})",
                             R"({"Channels": [{"name": 5}]})", R"({"Channels": {"name": "A"}})", "{}"}) {
        bool ok = true;
        channelList(json, &ok);
        EXPECT_FALSE(ok) << json;
        EXPECT_EQ(GetNumChannels(json), 0) << json;
    }
    testlib::StdoutCapture capture;
    EXPECT_EQ(GetNumChannels("/no/such/list.json"), 0);
    EXPECT_EQ(GetNumChannels(nullptr), 0);
    EXPECT_EQ(GetNumChannelsW(nullptr), 0);
    EXPECT_EQ(capture.text(), "Could not open file /no/such/list.json\n");
}

TEST(ChannelLists, GetNumChannelsCountsEntriesFromTextOrFile)
{
    char const* json = R"({"Channels": [{"name": "A"}, {"name": "A"}, {"name": "Ä"}]})";
    EXPECT_EQ(GetNumChannels(json), 3);
    EXPECT_EQ(GetNumChannelsW(widestring(json).c_str()), 3);
    testlib::TempDir dir;
    testlib::writeText(dir.file("list.json"), json);
    EXPECT_EQ(GetNumChannels(dir.file("list.json").c_str()), 3);
    // The readers append.
    std::vector<CChannelInfo> twice;
    ReadChannelsFromJson(widestring(json).c_str(), twice);
    ReadChannelsFromJson(widestring(json).c_str(), twice);
    EXPECT_EQ(twice.size(), 6u);
}

TEST(ChannelLists, AliasFormsAndPlainForms)
{
    bool ok = false;
    auto list = aliasList(R"({"Channels": [
        {"name_in_script": "X", "required": false, "OptionalList": [
            {"channel_name": "EngSpeed", "message_name": "Engine*"},
            {"network_name": "Body"},
            "not an object",
            {}]},
        {"name_in_script": "Y", "OptionalList": []},
        {"name_in_script": "Z", "name": "Zed", "message_name": "M", "network_name": "N"},
        {"OptionalList": [{"channel_name": "lost"}]}]})",
                          &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].name_in_script, "X");
    EXPECT_FALSE(list[0].required);
    EXPECT_TRUE(list[0].name.empty());
    ASSERT_EQ(list[0].definitions.size(), 3u);
    EXPECT_EQ(list[0].definitions[0].channel_name, "EngSpeed");
    EXPECT_EQ(list[0].definitions[0].message_name, "Engine*");
    EXPECT_EQ(list[0].definitions[1].network_name, "Body");
    EXPECT_EQ(list[0].definitions[2].channel_name, "");
    EXPECT_TRUE(list[1].definitions.empty());
    EXPECT_TRUE(list[1].required);
    // Without an OptionalList the entry is read in the plain form.
    EXPECT_EQ(list[2].name, "Zed");
    EXPECT_EQ(list[2].name_in_script, "Zed");
    ASSERT_EQ(list[2].definitions.size(), 1u);
    EXPECT_EQ(list[2].definitions[0].channel_name, "Zed");
    EXPECT_EQ(list[2].definitions[0].message_name, "M");
    EXPECT_EQ(list[2].definitions[0].network_name, "N");

    jsonxx::Object document;
    document.parse(R"({"Channels": [{"name": "A"}], "HitList": []})");
    std::vector<CChannelInfo> fromObject;
    EXPECT_TRUE(ReadAliasesFromObject(document, fromObject));
    EXPECT_EQ(fromObject.size(), 1u);
    bool failed = true;
    aliasList(R"({"HitList": []})", &failed);
    EXPECT_FALSE(failed);
}

TEST(ChannelLists, ChannelFilterAndTheGroupPlaceholder)
{
    CChannelInfo placeholder("Speed", "Group0003", "");
    EXPECT_TRUE(placeholder.DoesChannelMatch("HS CAN", "Engine"));
    CChannelInfo shortName("Speed", "Grou", "");
    EXPECT_FALSE(shortName.DoesChannelMatch("HS CAN", "Engine"));
    EXPECT_TRUE(shortName.DoesChannelMatch("HS CAN", "Grou"));
    CChannelInfo withNetwork("Speed", "Group0003", "HS CAN");
    EXPECT_FALSE(withNetwork.DoesChannelMatch("HS CAN", "Engine"));
    EXPECT_TRUE(withNetwork.DoesChannelMatch("HS CAN", "Group0003"));
    CChannelInfo wildcard("Speed", "Eng*", "HS?CAN");
    EXPECT_TRUE(wildcard.DoesChannelMatch("HS CAN", "Engine"));
    EXPECT_FALSE(wildcard.DoesChannelMatch("Body", "Engine"));
    CChannelInfo any("Speed", "", "");
    EXPECT_TRUE(any.DoesChannelMatch("", ""));
}
