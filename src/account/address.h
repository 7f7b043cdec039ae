// Burst account addresses ("BURST-" + 17 Reed-Solomon symbols) and decimal ids to account ids.
#pragma once
#include <cstdint>

struct account_address_s {
    uint8_t symbols[17];   // 0..12 data symbols, 13..16 parity p0..p3; each 0..31
    uint8_t syndromes[5];  // filled by decoding; 1..4 hold the four syndromes
};

void address_encode(account_address_s* address, uint64_t id);
bool address_decode(account_address_s* address, const char* text);
uint64_t address_to_id(const account_address_s* address);

// Decodes an address or decimal id text into an account id; false when it is no account.
bool address_parse_account(const char* text, uint64_t* id);

// What the program accepts as an account: a text the codec decodes, or a whole decimal
// number with at most blanks around it (short ids the codec leaves out included).
// Anything else, such as "12345678x", is no account: false.
bool address_read_account(const char* text, uint64_t* id);
