// The device link: every operation on a device's network boot loader.
//
// Each operation is one blocking call that opens its own UDP socket bound to
// the loader port, shows the hourglass while it runs, repeats its exchanges
// within a time budget and closes the socket again.
#pragma once

#include <cstdint>

#include "netdvc/records.h"

// The device password; its first 16 bytes are sent.
extern char DEV_PASS[100];

// Programming mode: on (after the password), confirmed by an answer to
// identify within 30 s, and off again.
bool set_programm_mode(const char* ip, uint16_t port);
bool check_device_found(const char* ip, uint16_t port);
bool exit_programm_mode(const char* ip, uint16_t port);

// Writes a new MAC address (first byte the leftmost one shown).
bool set_mac(const char* ip, uint16_t port, const unsigned char* mac);

// Writes the firmware image page by page with read-back verification, into
// the coprocessor when write_to_SP is set. An image with data past the
// device's memory is burnt only when the user agrees to the cut. A page is
// repeated until it is confirmed, as long as the device answers at all.
bool burn_device(const char* ip, uint16_t port, char write_to_SP);
// When a burn gives up on a page: after BURN_SILENCE_MS without any answer
// from the device, or BURN_STALL_MS without a confirmed page (10 s and
// 5 minutes; tests shorten them).
extern uint32_t BURN_SILENCE_MS;
extern uint32_t BURN_STALL_MS;
