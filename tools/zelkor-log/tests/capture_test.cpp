#include <gtest/gtest.h>
TEST(ZelkorLog, Placeholder) {}
