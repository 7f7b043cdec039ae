// Decimal ids typed with blanks: a number broken by a blank must not be read as its first
// part, which would name another account and make plots nobody can mine.
#include <gtest/gtest.h>

#include <string>

#include "account/address.h"

namespace {

bool parse(const std::string& text, uint64_t* id) { return address_parse_account(text.c_str(), id); }

}  // namespace

TEST(AddressDecimal, DigitsAfterABlankAreRefused) {
    uint64_t id = 0;
    EXPECT_FALSE(parse("1234567 89", &id));
    EXPECT_FALSE(parse("1234567\t89", &id));
    EXPECT_FALSE(parse("BURST-123456 7", &id));
}

TEST(AddressDecimal, BlanksAroundOneNumberAreAccepted) {
    uint64_t id = 0;
    ASSERT_TRUE(parse("  1234567", &id));
    EXPECT_EQ(id, 1234567u);
    ASSERT_TRUE(parse("1234567  ", &id));
    EXPECT_EQ(id, 1234567u);
    ASSERT_TRUE(parse("\t7900104405094198 ", &id));
    EXPECT_EQ(id, 7900104405094198ull);
}
