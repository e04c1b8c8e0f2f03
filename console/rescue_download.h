// The rescue downloads: an image fetched over TFTP (menu letter T), received
// over the serial console with XMODEM (X) or picked from the USB stick (U),
// then installed with install_image (no preset slot, no same-version skip)
// and, when that succeeds, recorded in the install log with its source.
//
// TFTP and XMODEM download into /tmp/image. It is removed before every
// attempt and after every failed one, so neither an earlier download nor
// the remains of a failed transfer can be installed in place of the file
// asked for.
#pragma once

#include <string>

// Asks for the port's addresses, the server and the file name (q quits),
// brings up eth0 and fetches the file with up to 3 tftp attempts. Returns
// install_image's result; 0 when the operator quit, the link is down, the
// download failed or the installer failed.
int tftp_rescue();

// The download command of one TFTP attempt: the file name and the server
// address each quoted as one shell word, with its line end.
std::string tftp_command(const char* file_name, const std::string& server);

// Switches the console to download mode and receives the file with
// /usr/bin/rx (with the built-in receiver when the board has no rx), puts
// the console back and installs what was received. Returns install_image's
// result; 0 when the line could not be switched, the transfer failed or the
// installer failed.
int xmodem_rescue();

// Lists the stick's entries that are not directories, numbered from 1, and
// installs the one whose number the operator gives (q quits). The number
// names the entry as listed, even if the stick changes meanwhile. Returns
// install_image's result; 0 when the stick cannot be read, the operator
// quit, the number is 0, negative or beyond the list, or the installer failed.
int usb_choose_image();

// Reads a file number as the C library's "%d" does (leading white space, a
// sign, digits; anything after them ignored) without overflow: values
// beyond the range of int become INT_MAX or INT_MIN. False when the line
// does not begin with a number.
bool usb_parse_choice(const char* line, int* number);
