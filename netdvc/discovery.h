// Finding boards: one identify request to the whole bench segment, and every
// loader that answers.
#pragma once

#include <cstddef>
#include <vector>

#include "netdvc/link.h"

// One board that answered.
struct found_device {
  char ip[16];    // the sender's address, "%d.%d.%d.%d"
  char name[16];  // as the board sent it, not terminated
  unsigned char mac[6];
  unsigned char rev;
};

// One round on link: the identify request to the broadcast address of every
// interface that can broadcast (only the interface named only, when given),
// a 400 ms pause, then every valid identification answer in order of
// arrival (a board answering twice is there twice) until 100 ms pass
// without any datagram, 2 s after the request, or max are found. Boards a
// session is working on are not heard. -1 when no request could be sent,
// else how many were found.
int discover_round(loader_link& link, std::vector<found_device>& found, size_t max, const char* only = nullptr);
