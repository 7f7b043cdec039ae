// The address codec against the network's reference addresses and rejects, typed forms,
// decimal ids and every single-symbol error.

#include <algorithm>

#include "account/address.h"
#include "test_support.h"

// The reference vectors, and every address one symbol away from a valid one.
TEST(Address, ReferenceAddressesRejectsAndEverySingleChangedSymbol) {
    const auto good = test_read_vectors("address.tsv"), bad = test_read_vectors("address_bad.tsv");
    ASSERT_GE(std::min(good.size(), bad.size()), 10u);
    uint64_t id = 0;
    for (const auto& row : good) {
        ASSERT_TRUE(address_parse_account(row[1].c_str(), &id)) << row[1];
        EXPECT_EQ(id, std::stoull(row[0])) << row[1];
    }
    for (const auto& row : bad) EXPECT_FALSE(address_parse_account(row[0].c_str(), &id)) << row[0] << ", " << row[1];
    const std::string valid = "BURST-Z8PQ-LFLU-CWUJ-D5LXX";
    for (size_t position = 6; position < valid.size(); ++position) {
        for (const char* c = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ"; *c && valid[position] != '-'; ++c) {
            std::string changed = valid;
            changed[position] = *c;
            EXPECT_EQ(address_parse_account(changed.c_str(), &id), changed == valid) << changed;
        }
    }
}

// Typed forms of an address, decimal ids at five digits, 64-bit overflow, 16 and 18 symbols,
// and blanks: around one number they are fine, but a number broken by a blank must not be
// read as its first part, which would name another account and make plots nobody can mine.
TEST(Address, TypedFormsAndDecimalIds) {
    const char* const Z8PQ = "13760260011822389942";
    const std::pair<const char*, const char*> cases[] = {  // what the user typed; the account, or "bad"
        {"BURST-Z8PQ-LFLU-CWUJ-D5LXX", Z8PQ}, {"burst-z8pq-lflu-cwuj-d5lxx", Z8PQ}, {"Z8PQ-LFLU-CWUJ-D5LXX", Z8PQ},
        {"BURST-Z8PQLFLUCWUJD5LXX", Z8PQ}, {"BURST-Z8PQ LFLU CWUJ D5LXX", Z8PQ}, {"Z8PQLFLUCWUJD5LXX", Z8PQ},
        {"BURST-2222-2222-2222-22222", "0"}, {"BURST-Z8PQ-LFLU-CWUJ-D5LXX2", "bad"},
        {"BURST-Z8PQ-LFLU-CWUJ-D5LX", "bad"}, {"12345", "bad"}, {"123456", "123456"},
        {"18446744073709551615", "18446744073709551615"}, {"18446744073709551616", "bad"}, {"19999999999999999999", "bad"}, {"28446744073709551615", "bad"},
        {"123456789012345678901", "bad"}, {"BURST-7900104405094198526", "7900104405094198526"},
        {"  123456", "123456"}, {"      ", "bad"}, {"1234567 89", "bad"}, {"1234567\t89", "bad"},
        {"BURST-123456 7", "bad"}, {"1234567  ", "1234567"}, {"\t7900104405094198 ", "7900104405094198"},
    };
    for (const auto& c : cases) {
        uint64_t id = 0;
        EXPECT_EQ(address_parse_account(c.first, &id) ? std::to_string(id) : "bad", c.second) << c.first;
    }
}
