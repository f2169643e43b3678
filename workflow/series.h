// The MAC series: addresses as the tools hand them out, and the arithmetic
// of the running series. Nothing here reads or writes a file.
//
// Every address of the series begins with 5A 3C 19; the last three bytes
// count, the sixth fastest, each from 0 to 250 (251 values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern const unsigned char MAC_SERIES_PREFIX[3];
// Where the series starts when the settings hold none of its addresses: the
// first address handed out is then ...:46:02.
extern const unsigned char MAC_SERIES_DEFAULT[6];

// The series' last address from what the settings held (size bytes at
// stored, null when there was nothing readable): stored when it is six
// bytes with the series' prefix, else the default.
void mac_series_last(const unsigned char* stored, unsigned size, unsigned char mac[6]);
// The address after mac. The prefix never changes: after ...:FA:FA:FA
// comes ...:00:00:00.
void mac_series_advance(unsigned char mac[6]);
// Whether mac carries the series' prefix, and its place in the series (the
// three counting bytes as one number).
bool mac_in_series(const unsigned char* mac);
uint32_t mac_series_number(const unsigned char* mac);

// The place of mac in the series, counting from ...:00:00:00 (the series
// holds 251 * 251 * 251 addresses).
uint32_t mac_series_index(const unsigned char* mac);
constexpr uint32_t MAC_SERIES_SIZE = 251u * 251u * 251u;

// The part of the series one bench hands out, so that several benches of a
// line never give one address twice: from first to last, both included.
struct mac_block {
  unsigned char first[6] = {};
  unsigned char last[6] = {};
};
// Whether both ends are addresses of the series (prefix, bytes up to 250)
// and first does not come after last.
bool mac_block_valid(const mac_block& b);
// "5A:3C:19:20:00:00-5A:3C:19:2F:FA:FA"; false (b untouched) unless it
// names a valid block.
bool parse_mac_block(const char* text, mac_block& b);
std::string format_mac_block(const mac_block& b);
// Whether mac lies in the block.
bool mac_in_block(const mac_block& b, const unsigned char* mac);

// "MAC изменен на 5A.3C.19.11.46.02" into out.
void mac_changed_text(char* out, size_t size, const unsigned char mac[6]);

// A group address (the lowest bit of the first byte set, the broadcast
// address among them) or all zeros: a device given one can no longer be
// reached, so it is written only when the user insists.
bool mac_is_group_or_zero(const unsigned char mac[6]);
// What the window tool asks before writing such an address.
extern const char* const MAC_GROUP_QUESTION;

// MAC text: six pairs of hexadecimal digits, separated all by ':', all by
// '-' or not at all. False (mac untouched) for anything else.
bool parse_mac(const char* text, unsigned char* mac);
// "AA:BB:CC:DD:EE:FF".
std::string format_mac(const unsigned char* mac);
