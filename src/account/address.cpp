// The address codec: a Reed-Solomon code over GF(32) with 13 data and 4 parity symbols.
#include "account/address.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/util.h"

namespace {

const char address_alphabet[] = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";
const int address_symbol_order[17] = {3, 2, 1, 0, 7, 6, 5, 4, 13, 14, 15, 16, 12, 8, 9, 10, 11};
const uint8_t gf32_exp[32] = {1,  2,  4,  8,  16, 5,  10, 20, 13, 26, 17, 7,  14, 28, 29, 31,
                              27, 19, 3,  6,  12, 24, 21, 15, 30, 25, 23, 11, 22, 9,  18, 1};
const uint8_t gf32_log[32] = {0,  0,  1,  18, 2,  5,  19, 11, 3,  29, 6,  27, 20, 8,  12, 23,
                              4,  10, 30, 17, 7,  22, 28, 26, 21, 25, 9,  16, 13, 14, 24, 15};

uint8_t gmul(uint8_t a, uint8_t b) {
    if (a == 0 || b == 0) return 0;
    return gf32_exp[(gf32_log[a] + gf32_log[b]) % 31];
}

bool is_decimal_form(const char* text) {
    if (*text == 0) return false;
    for (const char* c = text; *c; ++c)
        if (!std::strchr("0123456789 \t", *c)) return false;
    return true;
}

// Reads a decimal id; a value past the 64-bit range is no account (clamping it would
// name a different one).
bool decode_decimal(account_address_s* address, const char* text) {
    const size_t length = std::strlen(text);
    if (length < 6 || length > 20) return false;
    if (length == 20 && text[0] != '1') return false;
    const char* digits = text;
    while (*digits == ' ' || *digits == '\t') ++digits;
    if (!std::isdigit((unsigned char)*digits)) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long id = std::strtoull(digits, &end, 10);
    if (errno == ERANGE) return false;
    // "1234567 89" is one mistyped id, not the account 1234567.
    while (*end == ' ' || *end == '\t') ++end;
    if (*end != 0) return false;
    address_encode(address, id);
    return true;
}

int symbol_value(char c) {
    c = (char)std::toupper((unsigned char)c);
    const char* at = std::strchr(address_alphabet, c);
    return at && c ? (int)(at - address_alphabet) : -1;
}

}  // namespace

void address_encode(account_address_s* address, uint64_t id) {
    for (int k = 0; k < 12; ++k) address->symbols[k] = (id >> (5 * k)) & 31;
    address->symbols[12] = (uint8_t)(id >> 60);
    uint8_t p0 = 0, p1 = 0, p2 = 0, p3 = 0;
    for (int k = 12; k >= 0; --k) {
        const uint8_t fb = address->symbols[k] ^ p3;
        p3 = p2 ^ gmul(30, fb);
        p2 = p1 ^ gmul(6, fb);
        p1 = p0 ^ gmul(9, fb);
        p0 = gmul(17, fb);
    }
    address->symbols[13] = p0;
    address->symbols[14] = p1;
    address->symbols[15] = p2;
    address->symbols[16] = p3;
}

bool address_decode(account_address_s* address, const char* text) {
    std::memset(address->symbols, 1, sizeof address->symbols);
    if (strncasecmp(text, "BURST-", 6) == 0) text += 6;
    if (is_decimal_form(text)) return decode_decimal(address, text);

    int found = 0;
    for (const char* c = text; *c; ++c) {
        const int value = symbol_value(*c);
        if (value < 0) continue;
        if (found == 17) return false;
        address->symbols[address_symbol_order[found++]] = (uint8_t)value;
    }
    if (found < 17) return false;

    bool valid = true;
    for (int i = 1; i <= 4; ++i) {
        uint8_t syndrome = 0;
        for (int j = 0; j <= 30; ++j) {
            if (j > 12 && j < 27) continue;
            const uint8_t symbol = j <= 12 ? address->symbols[j] : address->symbols[j - 14];
            syndrome ^= gmul(symbol, gf32_exp[(i * j) % 31]);
        }
        address->syndromes[i] = syndrome;
        if (syndrome != 0) valid = false;
    }
    // Symbol 12 carries only the top 4 bits of the id; 16 or more would need a 65th bit.
    return valid && address->symbols[12] < 16;
}

uint64_t address_to_id(const account_address_s* address) {
    uint64_t id = 0;
    for (int k = 0; k < 12; ++k) id |= (uint64_t)(address->symbols[k] & 31) << (5 * k);
    return id | (uint64_t)address->symbols[12] << 60;
}

bool address_parse_account(const char* text, uint64_t* id) {
    account_address_s address;
    if (!address_decode(&address, text)) return false;
    *id = address_to_id(&address);
    return true;
}

bool address_read_account(const char* text, uint64_t* id) {
    if (!text) return false;
    if (address_parse_account(text, id)) return true;
    while (*text == ' ' || *text == '\t') ++text;
    uint64_t value = 0;
    if (!str_read_u64(&text, &value)) return false;
    while (*text == ' ' || *text == '\t') ++text;
    if (*text != 0) return false;
    *id = value;
    return true;
}
