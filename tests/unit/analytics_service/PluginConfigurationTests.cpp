#include "transports/Sink.h"

#include <gtest/gtest.h>

namespace {

TEST(PluginConfiguration, ProfileTreeAsTheDispatchBuildsIt)
{
    auto options = std::make_shared<Taliro::PluginConfiguration>(L"trackerId", L"UA-9");
    auto profile = std::make_shared<Taliro::PluginConfiguration>(L"options", options);
    EXPECT_EQ(L"UA-9", profile->GetConfiguration(L"options")->GetString(L"trackerId"));
    EXPECT_EQ(L"", options->GetString(L"TrackerId"));
    EXPECT_EQ(nullptr, options->GetConfiguration(L"options"));
    EXPECT_EQ(nullptr, profile->GetConfiguration(L"Options"));
    EXPECT_EQ(L"", profile->GetString(L"name"));
    EXPECT_TRUE(profile->GetConfigurationList(L"keyMap").empty());
    EXPECT_TRUE(profile->GetList(L"keyMap").empty());

    Taliro::PluginTracker tracker(KeyValueMap{{L"a", L"1"}});
    KeyValueMap data = tracker.GetData();
    data[L"a"] = L"changed";
    EXPECT_EQ(KeyValueMap({{L"a", L"1"}}), tracker.GetData());
}

} // namespace
