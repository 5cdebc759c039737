#include "data/SettingData.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"

using velk::data::SettingData;
using velk::test::TempDir;

TEST(SettingData, MissingFileKeepsDefaults) {
    TempDir dir;
    SettingData settings(dir.file("absent.conf"), "true");
    EXPECT_EQ(settings.getString("log_file"), "velk.log");
    EXPECT_EQ(settings.getInt("check_interval_sec", -1), 3600);
}
