// The input dialogs of the workflow: the device password, a device address
// typed by hand and a MAC address. Each is modal, returns 0 when confirmed
// and -2 when cancelled (Esc, Cancel or the close box while no field is
// being edited).
#pragma once

// The password into password (room for at least 17 bytes), normalised to
// exactly 16 characters whatever the result.
int get_password(char* password);
// The typed address into ip (room for at least 17 bytes), trailing blanks
// and line ends removed, whatever the result. Not checked: the device call
// that uses it refuses what is not an address.
int get_ip_addr(char* ip);
// Six fields with the two hexadecimal digits of each byte of mac; on
// confirmation mac gets the converted fields, on cancel it stays as it was.
int get_mac_addr(unsigned char* mac);

// The password as the device expects it: trailing blanks and line ends
// dropped, cut at 16 characters, padded with '_' to 16. password holds at
// least 17 bytes.
void normalise_password(char* password);
// One MAC field's byte: its first two characters as hexadecimal digits,
// anything else (and a position past the end) counting as 0.
unsigned char mac_field_value(const char* text);
