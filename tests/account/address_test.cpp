// The address codec against the network's reference addresses and rejects.
#include <gtest/gtest.h>

#include <string>

#include "account/address.h"
#include "test_support.h"

namespace {

bool decode_id(const std::string& text, uint64_t* id) { return address_parse_account(text.c_str(), id); }

const char alphabet[] = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";

}  // namespace

TEST(Address, ReferenceAddressesDecodeToTheirIds) {
    const auto rows = test_read_vectors("address.tsv");
    ASSERT_GE(rows.size(), 10u);
    for (const auto& row : rows) {
        uint64_t id = 0;
        ASSERT_TRUE(decode_id(row[1], &id)) << row[1];
        EXPECT_EQ(id, std::stoull(row[0])) << row[1];
    }
}

TEST(Address, EveryAcceptedFormOfOneAddress) {
    const uint64_t expected = 13760260011822389942ull;
    for (const char* text : {"BURST-Z8PQ-LFLU-CWUJ-D5LXX", "burst-z8pq-lflu-cwuj-d5lxx", "Z8PQ-LFLU-CWUJ-D5LXX",
                             "BURST-Z8PQLFLUCWUJD5LXX", "BURST-Z8PQ LFLU CWUJ D5LXX", "Z8PQLFLUCWUJD5LXX"}) {
        uint64_t id = 0;
        EXPECT_TRUE(decode_id(text, &id)) << text;
        EXPECT_EQ(id, expected) << text;
    }
}

TEST(Address, ReferenceRejectsAreRejected) {
    const auto rows = test_read_vectors("address_bad.tsv");
    ASSERT_GE(rows.size(), 10u);
    for (const auto& row : rows) {
        uint64_t id = 0;
        EXPECT_FALSE(decode_id(row[0], &id)) << row[0] << " (" << row[1] << ")";
    }
}

TEST(Address, EverySingleChangedCharacterIsRejected) {
    const std::string valid = "BURST-Z8PQ-LFLU-CWUJ-D5LXX";
    for (size_t position = 6; position < valid.size(); ++position) {
        if (valid[position] == '-') continue;
        for (const char* c = alphabet; *c; ++c) {
            if (*c == valid[position]) continue;
            std::string changed = valid;
            changed[position] = *c;
            uint64_t id = 0;
            EXPECT_FALSE(decode_id(changed, &id)) << changed;
        }
    }
}

TEST(Address, EncodedCodewordsRoundTrip) {
    for (uint64_t id : {0ull, 1ull, 12345ull, 1ull << 63, ~0ull, 9972263954482545370ull}) {
        account_address_s address;
        address_encode(&address, id);
        std::string text = "BURST-";
        const int order[17] = {3, 2, 1, 0, 7, 6, 5, 4, 13, 14, 15, 16, 12, 8, 9, 10, 11};
        for (int t = 0; t < 17; ++t) {
            text += alphabet[address.symbols[order[t]]];
            if (t == 3 || t == 7 || t == 11) text += '-';
        }
        uint64_t decoded = 1;
        ASSERT_TRUE(decode_id(text, &decoded)) << text;
        EXPECT_EQ(decoded, id) << text;
        if (id == 0) {
            EXPECT_EQ(text, "BURST-2222-2222-2222-22222");
        }
    }
}

// Decimal ids and symbol counts: five digits, 64-bit overflow, 16 and 18 symbols, and blanks:
// around one number they are fine, but a number broken by a blank must not be read as its
// first part, which would name another account and make plots nobody can mine.
TEST(Address, DecimalIdsAndSymbolCounts) {
    struct case_s {
        const char* text;  // what the user typed
        bool valid;        // whether it names an account
        uint64_t id;       // the account when valid
    };
    const case_s cases[] = {
        {"12345", false, 0}, {"123456", true, 123456}, {"18446744073709551615", true, 18446744073709551615ull},
        {"18446744073709551616", false, 0}, {"19999999999999999999", false, 0}, {"28446744073709551615", false, 0},
        {"123456789012345678901", false, 0}, {"BURST-7900104405094198526", true, 7900104405094198526ull},
        {"  123456", true, 123456}, {"      ", false, 0}, {"BURST-Z8PQ-LFLU-CWUJ-D5LXX2", false, 0},
        {"BURST-Z8PQ-LFLU-CWUJ-D5LX", false, 0}, {"1234567 89", false, 0}, {"1234567\t89", false, 0},
        {"BURST-123456 7", false, 0}, {"1234567  ", true, 1234567}, {"\t7900104405094198 ", true, 7900104405094198ull},
    };
    for (const case_s& c : cases) {
        uint64_t id = 0;
        EXPECT_EQ(decode_id(c.text, &id), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(id, c.id) << c.text;
        }
    }
}
