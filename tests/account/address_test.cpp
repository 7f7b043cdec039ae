// The address codec against the network's reference addresses and rejects, typed forms,
// decimal ids and every single-symbol error.
#include <gtest/gtest.h>

#include <string>

#include "account/address.h"
#include "test_support.h"

namespace {

bool decode_id(const std::string& text, uint64_t* id) { return address_parse_account(text.c_str(), id); }

TEST(Address, ReferenceAddressesAndRejects) {
    const auto good = test_read_vectors("address.tsv"), bad = test_read_vectors("address_bad.tsv");
    ASSERT_GE(good.size(), 10u);
    ASSERT_GE(bad.size(), 10u);
    uint64_t id = 0;
    for (const auto& row : good) {
        ASSERT_TRUE(decode_id(row[1], &id)) << row[1];
        EXPECT_EQ(id, std::stoull(row[0])) << row[1];
    }
    for (const auto& row : bad) EXPECT_FALSE(decode_id(row[0], &id)) << row[0] << " (" << row[1] << ")";
}

TEST(Address, EverySingleChangedSymbolIsRejected) {
    const std::string valid = "BURST-Z8PQ-LFLU-CWUJ-D5LXX";
    for (size_t position = 6; position < valid.size(); ++position) {
        for (const char* c = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ"; *c && valid[position] != '-'; ++c) {
            std::string changed = valid;
            changed[position] = *c;
            uint64_t id = 0;
            EXPECT_EQ(decode_id(changed, &id), changed == valid) << changed;
        }
    }
}

// Typed forms of an address, decimal ids at five digits, 64-bit overflow, 16 and 18 symbols,
// and blanks: around one number they are fine, but a number broken by a blank must not be
// read as its first part, which would name another account and make plots nobody can mine.
TEST(Address, TypedFormsAndDecimalIds) {
    struct case_s {
        const char* text;  // what the user typed
        bool valid;        // whether it names an account
        uint64_t id;       // the account when valid
    };
    const uint64_t Z8PQ = 13760260011822389942ull;
    const case_s cases[] = {
        {"BURST-Z8PQ-LFLU-CWUJ-D5LXX", true, Z8PQ}, {"burst-z8pq-lflu-cwuj-d5lxx", true, Z8PQ},
        {"Z8PQ-LFLU-CWUJ-D5LXX", true, Z8PQ}, {"BURST-Z8PQLFLUCWUJD5LXX", true, Z8PQ},
        {"BURST-Z8PQ LFLU CWUJ D5LXX", true, Z8PQ}, {"Z8PQLFLUCWUJD5LXX", true, Z8PQ},
        {"BURST-2222-2222-2222-22222", true, 0},
        {"BURST-Z8PQ-LFLU-CWUJ-D5LXX2", false, 0}, {"BURST-Z8PQ-LFLU-CWUJ-D5LX", false, 0},
        {"12345", false, 0}, {"123456", true, 123456}, {"18446744073709551615", true, 18446744073709551615ull},
        {"18446744073709551616", false, 0}, {"19999999999999999999", false, 0}, {"28446744073709551615", false, 0},
        {"123456789012345678901", false, 0}, {"BURST-7900104405094198526", true, 7900104405094198526ull},
        {"  123456", true, 123456}, {"      ", false, 0}, {"1234567 89", false, 0}, {"1234567\t89", false, 0},
        {"BURST-123456 7", false, 0}, {"1234567  ", true, 1234567}, {"\t7900104405094198 ", true, 7900104405094198ull},
    };
    for (const case_s& c : cases) {
        uint64_t id = 0;
        EXPECT_EQ(decode_id(c.text, &id), c.valid) << c.text;
        EXPECT_EQ(id, c.valid ? c.id : 0) << c.text;
    }
}

}  // namespace
