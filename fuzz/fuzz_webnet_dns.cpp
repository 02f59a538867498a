// Arbitrary bytes as a DNS message: the parse, the answer walk, the record data and every name's
// decompression must stay inside the message and inside their buffers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "wn_dns.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> bytes(data, data + size);
    wn_dns_message message;
    if (wn_parse_dns(bytes.data(), static_cast<int>(bytes.size()), &message) != 0) return 0;
    char name[64];
    for (int i = 0; i < message.num_questions; ++i) {
        const size_t n = wn_dns_uncompress_name(&message, &message.questions[i].name, name, sizeof name);
        if (n >= sizeof name || name[n] != '\0') __builtin_trap();
    }
    for (wn_dns_resource_record* rr = wn_dns_next_record(&message, WN_DNS_A_RECORD, nullptr); rr != nullptr;
         rr = wn_dns_next_record(&message, WN_DNS_A_RECORD, rr)) {
        unsigned char address[4];
        wn_dns_parse_record_data(&message, rr, address, sizeof address);
    }
    for (int i = 0; i < message.num_answers; ++i) {
        char small[8];
        const size_t n = wn_dns_uncompress_name(&message, &message.answers[i].name, small, sizeof small);
        if (n >= sizeof small) __builtin_trap();
        wn_dns_parse_record_data(&message, &message.answers[i], name, sizeof name);
    }
    return 0;
}
