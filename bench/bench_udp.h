/* What the stand-alone benchmark tools share: command-line numbers, numeric socket addresses, the 28-byte
 * datagram, monotonic time and the open-file limit. Every tool defines _GNU_SOURCE before its first include. */
#ifndef BENCH_UDP_H
#define BENCH_UDP_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>

/* The datagram: seq, key and payload (8 bytes each), then the server's lowest and highest port (2 bytes each),
 * all big-endian. Receivers read into one spare byte more, so that a longer datagram is not taken for one. */
enum { PACKET_SIZE = 28, PACKET_KEY = 8, PACKET_PAYLOAD = 16, PACKET_PORTS = 24, RECEIVE_SIZE = PACKET_SIZE + 1 };

static inline void put_be64(unsigned char *p, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = (unsigned char)v;
}

static inline uint64_t get_be64(const unsigned char *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

/* A data datagram as a client sends it: both port fields 0. */
static inline void put_datagram(unsigned char *p, uint64_t seq, uint64_t key, uint64_t payload) {
    put_be64(p, seq);
    put_be64(p + PACKET_KEY, key);
    put_be64(p + PACKET_PAYLOAD, payload);
    memset(p + PACKET_PORTS, 0, 4);
}

/* The server's port range as an echo carries it in its last four bytes. */
static inline void put_port_range(unsigned char *p, uint16_t lo, uint16_t hi) {
    p[0] = (unsigned char)(lo >> 8);
    p[1] = (unsigned char)lo;
    p[2] = (unsigned char)(hi >> 8);
    p[3] = (unsigned char)hi;
}

/* A whole unsigned number in decimal or 0x-hexadecimal; anything else ends the tool with status 2. */
static inline uint64_t parse_number(const char *text, const char *what) {
    char *end = NULL;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') {
        fprintf(stderr, "not a number for %s: %s\n", what, text);
        exit(2);
    }
    return (uint64_t)v;
}

/* A port number, checked like parse_number. */
static inline uint16_t parse_port(const char *text, const char *what) {
    uint64_t v = parse_number(text, what);
    if (v > 65535) {
        fprintf(stderr, "not a port for %s: %s\n", what, text);
        exit(2);
    }
    return (uint16_t)v;
}

/* A numeric IPv4 or IPv6 address with a port; ends the tool with status 2 for anything else. */
static inline socklen_t parse_address(const char *host, uint16_t port, struct sockaddr_storage *out) {
    memset(out, 0, sizeof *out);
    struct sockaddr_in *v4 = (struct sockaddr_in *)out;
    struct sockaddr_in6 *v6 = (struct sockaddr_in6 *)out;
    if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        return sizeof *v4;
    }
    if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        return sizeof *v6;
    }
    fprintf(stderr, "not a numeric address: %s\n", host);
    exit(2);
}

static inline int64_t monotonic_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static inline struct timespec timespec_of_ns(int64_t ns) {
    struct timespec t = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
    return t;
}

/* Sleeps until the monotonic instant `ns` (at once when it has passed); a signal ends the sleep early. */
static inline void sleep_until_ns(int64_t ns) {
    struct timespec deadline = timespec_of_ns(ns);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL);
}

/* Lets the process hold at least `needed` open files: the soft limit goes up to the hard one, and as root the
 * hard one too when that is short. Ends the tool with status 1 when the limit stays too low. */
static inline void raise_open_file_limit(rlim_t needed) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed) return;
    limit.rlim_cur = needed;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) limit.rlim_max = needed;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        perror("setrlimit(RLIMIT_NOFILE)");
        exit(1);
    }
}

#endif
