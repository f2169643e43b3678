// The model table and the signature checks.
#include "netdvc/records.h"

#include <cstring>

const char MODEL_SIGNATURES[MODEL_COUNT][8] = {
    {'G', 'X', 'o', 'n', 'T', 'a', 'q', '_'}, {'R', '8', 'M', 'W', 'K', '_', '_', '_'},
    {'D', '2', 'H', 'Z', 'B', '_', '_', '_'}, {'F', '6', 'J', 'Q', 'C', '_', '_', '_'},
    {'O', 'U', 'V', 'M', '9', '_', '_', '_'}, {'Z', 'O', 'T', 'A', '_', 'U', 'V', '_'},
    {'W', 'I', 'B', 'Q', 'E', '7', '1', '5'}, {'H', 'Y', 'F', 'R', 'O', '5', '2', '9'},
    {'N', '3', 'T', 'E', 'J', '8', 'Y', '_'}, {'C', '5', 'X', 'I', 'G', '2', 'W', '_'},
    {'L', '9', 'P', 'O', 'D', '6', 'S', '_'}, {'J', 'A', 'V', 'U', '_', '_', '_', '_'},
};

bool is_model_signature(const void* p) {
  for (const auto& sig : MODEL_SIGNATURES)
    if (memcmp(p, sig, SIGNATURE_SIZE) == 0) return true;
  return false;
}

bool signature_is(const void* p, const char* sig) {
  return memcmp(p, sig, SIGNATURE_SIZE) == 0;
}

bool is_identification(const device_respond_t& r, int len) {
  return len > REPLY_HEADER_SIZE && (r.flags & RSP_OK) && is_model_signature(r.signature);
}
