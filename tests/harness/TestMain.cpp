#include "TestSupport.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    zenta::test::InitTestEnvironment();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
