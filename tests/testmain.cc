// Every test program runs its tests inside its own private /home.
#include "testutil.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    enterPrivateHome();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
