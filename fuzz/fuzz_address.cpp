// Fuzz target: account text decoding. Any text the codec accepts must survive the round
// trip decode -> id -> codeword -> address text -> decode with the same id, and a decimal
// id must come back as the same codeword.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "account/address.h"

namespace {

const char alphabet[] = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";
const int symbol_order[17] = {3, 2, 1, 0, 7, 6, 5, 4, 13, 14, 15, 16, 12, 8, 9, 10, 11};

// The text form users type: "BURST-" and the 17 symbols in groups of 4-4-4-5.
std::string address_text(const account_address_s& address) {
    std::string text = "BURST-";
    for (int t = 0; t < 17; ++t) {
        text += alphabet[address.symbols[symbol_order[t]] & 31];
        if (t == 3 || t == 7 || t == 11) text += '-';
    }
    return text;
}

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);  // stops at an inner NUL
    account_address_s decoded;
    if (!address_decode(&decoded, text.c_str())) return 0;
    for (uint8_t symbol : decoded.symbols) require(symbol < 32);
    const uint64_t id = address_to_id(&decoded);

    account_address_s encoded;
    address_encode(&encoded, id);
    // A codeword whose symbol 12 is 16 or more carries only its low 4 bits into the id.
    if (decoded.symbols[12] < 16)
        for (int k = 0; k < 17; ++k) require(encoded.symbols[k] == decoded.symbols[k]);

    account_address_s again;
    require(address_decode(&again, address_text(encoded).c_str()));
    require(address_to_id(&again) == id);
    uint64_t parsed = 0;
    require(address_parse_account(text.c_str(), &parsed) && parsed == id);
    return 0;
}
