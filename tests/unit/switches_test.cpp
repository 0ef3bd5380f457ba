#include <gtest/gtest.h>

#include "app/switches.h"

TEST(Switches, Placeholder)
{
    EXPECT_EQ(FindSwitch(L"/POP")->id, SwitchId::Pop);
}
