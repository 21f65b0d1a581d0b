// The "<IPv4>[:<port>]" text of the command line, and the bounded decimal
// reading that both the endpoint and the numeric options use.
#pragma once

#include <netinet/in.h>

#include <cstdint>

// Fills address from text. 0 on success; -1 when the text is no endpoint, in
// which case address is cleared but may hold a family and a port.
int parse_endpoint(const char *text, sockaddr_in *address);

// atoi without its undefined behaviour: optional white space and sign, then
// leading digits; no digits gives 0. Values beyond int saturate at INT_MAX or
// INT_MIN, so every value that fits reads exactly as atoi reads it and an
// oversized one still fails an upper-bound check rather than wrapping.
int parse_int(const char *text);

// strtoul in base 0 as a 32-bit unsigned long reads it (-D, --block-worker):
// decimal, 0x hexadecimal or leading-0 octal; a minus sign negates modulo
// 2^32 and a magnitude beyond 32 bits gives 4294967295. *end (may be null)
// is where the number stopped, or text when there was none.
uint32_t parse_u32_base0(const char *text, const char **end);
