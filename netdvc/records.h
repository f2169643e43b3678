// The loader's wire records, flag words and model signatures.
//
// Self-contained on purpose: the loader simulator includes it too, and it
// must not drag the toolkit or SDL along. Records travel packed, byte for
// byte, with multi-byte fields little-endian as the loader expects them; the
// host's own byte order is little-endian, so the fields are used as they are.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the loader records are laid out for a little-endian host");

// The loader's UDP port, on both sides.
constexpr uint16_t LOADER_PORT = 48900;

// Every record the host sends begins with this, without terminator.
constexpr char LOADER_SIGNATURE[9] = "KvelLoad";
// Accepted beside the model table in exactly one place: the answer to the
// password during burning.
constexpr char EXTRA_PASSWORD_SIGNATURE[9] = "Y7KE____";
constexpr int SIGNATURE_SIZE = 8;

// Request flag words: one per request, REQ_SP added to a page request.
constexpr uint16_t REQ_IDENTIFY = 0x0001;
constexpr uint16_t REQ_PASSWORD = 0x0002;
constexpr uint16_t REQ_SET_MAC = 0x0008;
constexpr uint16_t REQ_WRITE_PAGE = 0x0010;
constexpr uint16_t REQ_READ_PAGE = 0x0020;
constexpr uint16_t REQ_SP = 0x2000;
constexpr uint16_t REQ_EXIT_PROGRAMM = 0x4000;
constexpr uint16_t REQ_ENTER_PROGRAMM = 0x8000;

// Reply flag bits the host tests, one at a time.
constexpr uint16_t RSP_OK = 0x0001;
constexpr uint16_t RSP_BAD_PASSWORD = 0x0004;
constexpr uint16_t RSP_PAGE = 0x0020;
constexpr uint16_t RSP_EXIT_PROGRAMM = 0x4000;
constexpr uint16_t RSP_ENTER_PROGRAMM = 0x8000;

constexpr int DATA_SIZE = 512;

#pragma pack(push, 1)

// The short request: identify, enter and leave programming mode.
struct host_request {
  char signature[8];
  uint16_t flags;
};

// The request with payload; often only a prefix of it is sent.
struct host_data {
  char signature[8];
  uint16_t flags;
  uint32_t page_number;
  uint8_t data[DATA_SIZE];
};

// The reply. Its header differs from the host's: flags stand behind packet.
struct device_respond_t {
  char signature[8];
  uint32_t packet;
  uint16_t flags;
  uint8_t data[DATA_SIZE];
};

#pragma pack(pop)

static_assert(sizeof(host_request) == 10, "host_request is 10 bytes on the wire");
static_assert(sizeof(host_data) == 526, "host_data is 526 bytes on the wire");
static_assert(sizeof(device_respond_t) == 526, "device_respond_t is 526 bytes on the wire");
static_assert(offsetof(host_data, page_number) == 10 && offsetof(host_data, data) == 14,
              "host_data header");
static_assert(offsetof(device_respond_t, flags) == 12 && offsetof(device_respond_t, data) == 14,
              "device_respond_t header");

// A reply shorter than its header (signature, packet, flags) is no reply.
constexpr int REPLY_HEADER_SIZE = (int)offsetof(device_respond_t, data);

// Lengths actually sent.
constexpr int HOST_DATA_HEADER = 14;                  // read-page request
constexpr int SET_MAC_REQUEST_SIZE = HOST_DATA_HEADER + 6;
constexpr int PASSWORD_SIZE = 16;                     // password bytes at data[0..15]

// Payload of the identification reply.
constexpr int IDENT_NAME_OFFSET = 0;
constexpr int IDENT_NAME_SIZE = 16;
constexpr int IDENT_REV_OFFSET = 16;
constexpr int IDENT_MAC_OFFSET = 17;
constexpr int IDENT_PAYLOAD_SIZE = 23;

// The device models served, by the signature that begins their replies.
constexpr int MODEL_COUNT = 12;
extern const char MODEL_SIGNATURES[MODEL_COUNT][8];

// True when the 8 bytes at p equal one entry of MODEL_SIGNATURES exactly.
bool is_model_signature(const void* p);
// True when the 8 bytes at p equal the 8 characters of sig.
bool signature_is(const void* p, const char* sig);

// True when a datagram of len bytes is an identification answer: a model's
// signature, RSP_OK, and a payload behind the header. Every other answer of
// the loader is the bare header, and a page comes back with RSP_PAGE, so a
// late answer to a page write, the password, a MAC or programming mode
// (RSP_OK too) is never taken for a board. One cut inside its payload is
// still an identification; the bytes it lacks read as zero.
bool is_identification(const device_respond_t& r, int len);
