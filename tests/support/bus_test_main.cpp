// main() for suites that need a private system bus for their whole run.
#include <gtest/gtest.h>

#include "private_bus.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new zeltest::BusEnvironment);
    return RUN_ALL_TESTS();
}
