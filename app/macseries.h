// The MAC series and the settings the tools keep: shared by every tool that
// hands out addresses, so that they all continue one series.
//
// Every address of the series begins with 5A 3C 19; the last three bytes
// count, the sixth fastest, each from 0 to 250 (251 values). The settings
// hold the last address a device accepted.
#pragma once

#include <cstddef>
#include <cstdint>

// The per-user settings key and its values.
extern const char* const SETTINGS_KEY;      // below HKEY_CURRENT_USER
extern const char* const SETTINGS_LAST_FILE;  // text: the firmware file chosen last
extern const char* const SETTINGS_LAST_MAC;   // 6 bytes: the series' last address

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

// "MAC изменен на 5A.3C.19.11.46.02" into out.
void mac_changed_text(char* out, size_t size, const unsigned char mac[6]);

// A group address (the lowest bit of the first byte set, the broadcast
// address among them) or all zeros: a device given one can no longer be
// reached, so it is written only when the user insists.
bool mac_is_group_or_zero(const unsigned char mac[6]);
// What the window tool asks before writing such an address.
extern const char* const MAC_GROUP_QUESTION;

struct ledger_device;
// One step of the series on the device at ip, through the MAC ledger
// (app/ledger.h, ledger_series_mac): under the settings lock (so that a
// second tool on the same account waits and continues the series) the next
// address past "LastMac" and past every address of the ledger is reserved
// in the ledger, written to the device and, once the device took it,
// confirmed in the ledger and stored. Settings that cannot be read, locked
// or written refuse the step before anything is sent: without "LastMac" the
// series would start again below addresses already handed out. What the
// user is told goes through show: that the MAC changed (and, if so, that it
// could not be stored in the settings), or why the step could not begin
// (the settings or the ledger cannot be used). Nothing is shown when the
// device did not take the address (the device call reports its own
// failures). True when the device took it; assigned (when given) gets the
// address. device, when given, is what the ledger records about the device
// beside the address.
bool assign_next_mac(const char* ip, uint16_t port, void (*show)(const char* text),
                     unsigned char* assigned = nullptr, const ledger_device* device = nullptr);
// An address typed by hand, through the same ledger (reserved, sent,
// confirmed or failed): an address of the series' prefix thereby pushes the
// series past it. The settings are not touched. show as above.
bool assign_typed_mac(const char* ip, uint16_t port, void (*show)(const char* text), const unsigned char mac[6],
                      const ledger_device* device = nullptr);
