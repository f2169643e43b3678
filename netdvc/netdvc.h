// The device calls of the window tool: every operation on a device's
// network boot loader, as the workflow of the main window uses it.
//
// Each operation is one blocking call that opens its own link on the loader
// port, shows the hourglass while it runs, repeats its exchanges within a
// time budget and closes the link again. Beneath them a board session
// (session.h) does the work; these calls bind it to the program-wide
// password, image and page geometry, to the message boxes and to the
// progress window.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "netdvc/discovery.h"
#include "netdvc/records.h"

class tdbquery;

// True when another socket holds the loader port on this host (binding the
// wildcard address on it fails with EADDRINUSE): then every device call fails
// at once, and the caller can say why instead of blaming the device.
bool loader_port_busy(uint16_t port);

// The device password; its first 16 bytes are sent.
extern char DEV_PASS[100];

// Discovery: the identify request to the broadcast address of every bench
// interface, the devices that answer listed in the chooser. 0 with ip (the
// address padded with blanks to 16 characters), name (16 bytes) and mac (6
// bytes), each NUL-terminated, and rev written; 1 when nothing answered or
// nothing could be sent; 2 when the user closed the chooser. ip and name
// hold at least 17 bytes, mac at least 7.
int find_dhcp_devices(char* ip, char* name, unsigned char* mac, unsigned char* rev, uint16_t port);
// Identifies the device at the typed address: true with name (16 bytes and
// a NUL), mac (6 bytes, no NUL) and rev from the last valid answer.
bool get_device_name(const char* ip, char* name, unsigned char* mac, unsigned char* rev, uint16_t port);

// One discovery round without any window: every valid answer in the order
// of arrival (a device answering twice is there twice) until 100 ms pass in
// silence or max are found. -1 when the link could not be opened or no
// request could be sent, else how many were found.
int discover_devices(uint16_t port, std::vector<found_device>& found, size_t max);
// The chooser over a query of "s16 s16 s48 c s6" records (name, address,
// MAC text, version, MAC bytes) with at least one row: sorts it by address
// and lets the user pick. 0 with the outputs written as find_dhcp_devices
// writes them, 2 when closed without choosing.
int choose_device(tdbquery& DHCP, char* ip, char* name, unsigned char* mac, unsigned char* rev);

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
// repeated until it is confirmed, as long as the device answers at all,
// except one whose read-back keeps differing (a worn cell): the burn then
// stops, naming the address.
bool burn_device(const char* ip, uint16_t port, char write_to_SP);
// When a burn gives up on a page: after BURN_SILENCE_MS without a sign of
// life from the device (an answer of the kind asked for, a write confirmed
// or a page read back, signed as it signed its password answer), or BURN_STALL_MS without a confirmed page (10 s and
// 5 minutes; tests shorten them).
extern uint32_t BURN_SILENCE_MS;
extern uint32_t BURN_STALL_MS;
// Set (from a signal handler, say) to end a burn after the page in hand: the
// burn closes its progress window and returns false without a message.
extern volatile sig_atomic_t BURN_STOP;
