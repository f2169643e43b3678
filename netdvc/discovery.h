// Finding boards: one identify request to the whole bench segment, and every
// loader that answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "netdvc/link.h"

// How long the answers to an identify request are given to queue up
// before they are read.
constexpr unsigned IDENTIFY_PAUSE_MS = 400;

// Listening for the answers to one identify request, sent at the tick
// sent_at: the pause above, then every datagram box receives, in order of
// arrival, handed to heard (which says whether to go on), until 100 ms pass
// without any datagram or 2 s after the request, whichever comes first: a
// host that sends something every 50 ms must not keep the tool listening
// for ever. Which datagrams are answers is heard's business (see
// is_identification).
void listen_after_identify(loader_mailbox& box, uint32_t sent_at, const std::function<bool(const datagram&)>& heard);

// One board that answered.
struct found_device {
  char ip[16];    // the sender's address as the chooser shows it, "%d.%d.%d.%d"
  char name[16];  // as the board sent it, not terminated
  unsigned char mac[6];
  unsigned char rev;
  uint32_t addr;  // the same address, as the core works with it
};

// One round on link: the identify request to the broadcast address of every
// interface that can broadcast (only the interface named only, when given),
// a 400 ms pause, then every valid identification answer in order of
// arrival (a board answering twice is there twice) until 100 ms pass
// without any datagram, 2 s after the request, or max are found. Boards a
// session is working on are not heard. -1 when no request could be sent,
// else how many were found.
int discover_round(loader_link& link, std::vector<found_device>& found, size_t max, const char* only = nullptr);
