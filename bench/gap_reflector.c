/* Reflector of the pacing benchmark. It answers every keyed 28-byte datagram on a range of ports as the server
 * does (bytes 0-23 back unchanged, the port range in bytes 24-27, so a probe gets the range too) and keeps each
 * datagram's kernel receive timestamp (SO_TIMESTAMPNS) by sender address: on loopback that is the moment the
 * datagram left its sender. Recording starts SKIP_MS after the first keyed datagram, which leaves out the
 * clients' start-up, and lasts DURATION_MS (0: until a signal). Then, or at SIGINT/SIGTERM, it prints the gaps
 * between consecutive datagrams of each sender, pooled over all senders, and those of the merged stream:
 *   senders=N datagrams=N drops=N
 *   session nominal_us=X gaps=N median_us=X p1_us=X p99_us=X mean_us=X bursts_pct=X
 *   merged nominal_us=X gaps=N median_us=X p1_us=X p99_us=X mean_us=X bursts_pct=X
 * The nominal gap is PERIOD_NS for one sender and PERIOD_NS / senders for the merged stream; a burst is a gap
 * shorter than 10 % of it. `drops` counts the datagrams the reflector's own sockets dropped (SO_RXQ_OVFL): each
 * would show as a false gap, so a run with drops is not to be trusted.
 * Usage: gap_reflector HOST BASE_PORT PORTS KEY PERIOD_NS SKIP_MS DURATION_MS */
#define _GNU_SOURCE
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "bench_udp.h"

enum { BATCH = 32, MAX_EVENTS = 256, RECEIVE_BUFFER = 1 << 20 };

struct record {
    uint64_t sender;
    int64_t time_ns; /* CLOCK_REALTIME, as the kernel stamps it */
};

struct recording {
    struct record *records;
    size_t count, capacity;
    int64_t start_ns, end_ns; /* 0 until the first keyed datagram */
    int64_t skip_ns, duration_ns;
};

static volatile sig_atomic_t stopping;

static void stop(int signal_number) {
    (void)signal_number;
    stopping = 1;
}

/* IPv4 senders exactly (address and port); IPv6 senders by an FNV-1a hash of address and port. */
static uint64_t sender_key(const struct sockaddr_storage *from) {
    if (from->ss_family == AF_INET) {
        const struct sockaddr_in *v4 = (const struct sockaddr_in *)from;
        return (uint64_t)ntohl(v4->sin_addr.s_addr) << 16 | ntohs(v4->sin_port);
    }
    const struct sockaddr_in6 *v6 = (const struct sockaddr_in6 *)from;
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < 16; ++i) hash = (hash ^ v6->sin6_addr.s6_addr[i]) * 1099511628211ull;
    return (hash ^ v6->sin6_port) * 1099511628211ull;
}

static int64_t realtime_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static void record(struct recording *r, uint64_t sender, int64_t time_ns) {
    if (r->start_ns == 0) {
        r->start_ns = time_ns + r->skip_ns;
        r->end_ns = r->duration_ns > 0 ? r->start_ns + r->duration_ns : INT64_MAX;
    }
    if (time_ns < r->start_ns || time_ns >= r->end_ns) return;
    if (r->count == r->capacity) {
        r->capacity = r->capacity ? 2 * r->capacity : 1 << 16;
        r->records = realloc(r->records, r->capacity * sizeof *r->records);
        if (!r->records) {
            perror("gap_reflector: realloc");
            exit(1);
        }
    }
    r->records[r->count++] = (struct record){sender, time_ns};
}

/* Answers what one socket holds, a batch at a time; returns the socket's drop count as the kernel last told. */
static uint32_t serve(int fd, uint16_t base, uint16_t last, uint64_t key, struct recording *r, uint32_t drops) {
    static unsigned char buffers[BATCH][RECEIVE_SIZE];
    static struct sockaddr_storage from[BATCH];
    static char controls[BATCH][CMSG_SPACE(sizeof(struct timespec)) + CMSG_SPACE(sizeof(uint32_t))];
    struct iovec in_iov[BATCH], out_iov[BATCH];
    struct mmsghdr in[BATCH], out[BATCH];
    for (int i = 0; i < BATCH; ++i) {
        in_iov[i] = (struct iovec){buffers[i], RECEIVE_SIZE};
        in[i].msg_hdr = (struct msghdr){.msg_name = &from[i], .msg_namelen = sizeof from[i], .msg_iov = &in_iov[i],
                                        .msg_iovlen = 1, .msg_control = controls[i],
                                        .msg_controllen = sizeof controls[i]};
    }
    int got = recvmmsg(fd, in, BATCH, MSG_DONTWAIT, NULL);
    unsigned replies = 0;
    for (int i = 0; i < got; ++i) {
        if (in[i].msg_len != PACKET_SIZE || get_be64(buffers[i] + PACKET_KEY) != key) continue;
        int64_t stamp = 0;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&in[i].msg_hdr); c; c = CMSG_NXTHDR(&in[i].msg_hdr, c)) {
            if (c->cmsg_level != SOL_SOCKET) continue;
            if (c->cmsg_type == SCM_TIMESTAMPNS) {
                struct timespec t;
                memcpy(&t, CMSG_DATA(c), sizeof t);
                stamp = (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
            } else if (c->cmsg_type == SO_RXQ_OVFL) {
                memcpy(&drops, CMSG_DATA(c), sizeof drops);
            }
        }
        record(r, sender_key(&from[i]), stamp);
        put_port_range(buffers[i] + PACKET_PORTS, base, last);
        out_iov[replies] = (struct iovec){buffers[i], PACKET_SIZE};
        out[replies].msg_hdr = (struct msghdr){.msg_name = &from[i], .msg_namelen = in[i].msg_hdr.msg_namelen,
                                               .msg_iov = &out_iov[replies], .msg_iovlen = 1};
        ++replies;
    }
    if (replies > 0) sendmmsg(fd, out, replies, 0);
    return drops;
}

static int by_time(const void *a, const void *b) {
    const struct record *x = a, *y = b;
    return (x->time_ns > y->time_ns) - (x->time_ns < y->time_ns);
}

static int by_sender_then_time(const void *a, const void *b) {
    const struct record *x = a, *y = b;
    if (x->sender != y->sender) return (x->sender > y->sender) - (x->sender < y->sender);
    return by_time(a, b);
}

static int by_value(const void *a, const void *b) {
    int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
    return (x > y) - (x < y);
}

/* The value below which a fraction `q` of the sorted gaps lie (nearest rank). */
static double quantile_us(const int64_t *sorted, size_t n, double q) {
    size_t rank = (size_t)(q * (double)n + 0.999999);
    return (double)sorted[rank == 0 ? 0 : rank - 1] / 1e3;
}

static void print_gaps(const char *label, int64_t *gaps, size_t n, double nominal_ns) {
    printf("%s nominal_us=%.3f gaps=%zu", label, nominal_ns / 1e3, n);
    if (n == 0) {
        printf("\n");
        return;
    }
    qsort(gaps, n, sizeof *gaps, by_value);
    double sum = 0;
    size_t bursts = 0;
    for (size_t i = 0; i < n; ++i) {
        sum += (double)gaps[i];
        if ((double)gaps[i] < 0.1 * nominal_ns) ++bursts;
    }
    printf(" median_us=%.3f p1_us=%.3f p99_us=%.3f mean_us=%.3f bursts_pct=%.3f\n", quantile_us(gaps, n, 0.5),
           quantile_us(gaps, n, 0.01), quantile_us(gaps, n, 0.99), sum / (double)n / 1e3,
           100.0 * (double)bursts / (double)n);
}

static void report(struct recording *r, int64_t period_ns, uint64_t drops) {
    int64_t *gaps = malloc((r->count + 1) * sizeof *gaps);
    if (!gaps) {
        perror("gap_reflector: malloc");
        exit(1);
    }
    qsort(r->records, r->count, sizeof *r->records, by_sender_then_time);
    size_t senders = 0, n = 0;
    for (size_t i = 0; i < r->count; ++i) {
        if (i == 0 || r->records[i].sender != r->records[i - 1].sender) {
            ++senders;
        } else {
            gaps[n++] = r->records[i].time_ns - r->records[i - 1].time_ns;
        }
    }
    printf("senders=%zu datagrams=%zu drops=%llu\n", senders, r->count, (unsigned long long)drops);
    print_gaps("session", gaps, n, (double)period_ns);
    qsort(r->records, r->count, sizeof *r->records, by_time);
    n = 0;
    for (size_t i = 1; i < r->count; ++i) gaps[n++] = r->records[i].time_ns - r->records[i - 1].time_ns;
    print_gaps("merged", gaps, n, (double)period_ns / (double)(senders ? senders : 1));
    free(gaps);
}

int main(int argc, char **argv) {
    if (argc != 8) {
        fprintf(stderr, "usage: %s HOST BASE_PORT PORTS KEY PERIOD_NS SKIP_MS DURATION_MS\n", argv[0]);
        return 2;
    }
    uint16_t base = parse_port(argv[2], "BASE_PORT");
    uint64_t ports = parse_number(argv[3], "PORTS");
    uint64_t key = parse_number(argv[4], "KEY");
    int64_t period_ns = (int64_t)parse_number(argv[5], "PERIOD_NS");
    struct recording r = {.skip_ns = (int64_t)parse_number(argv[6], "SKIP_MS") * 1000000,
                          .duration_ns = (int64_t)parse_number(argv[7], "DURATION_MS") * 1000000};
    if (ports < 1 || base + ports > 65536 || period_ns < 1) {
        fprintf(stderr, "gap_reflector: no ports, a range past 65535, or no period\n");
        return 2;
    }
    uint16_t last = (uint16_t)(base + ports - 1);
    raise_open_file_limit((rlim_t)ports + 64);

    struct sigaction action = {.sa_handler = stop};
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    int epoll = epoll_create1(0);
    int *fds = calloc(ports, sizeof *fds);
    uint32_t *drops = calloc(ports, sizeof *drops);
    if (epoll < 0 || !fds || !drops) {
        perror("gap_reflector");
        return 1;
    }
    for (uint32_t i = 0; i < ports; ++i) {
        struct sockaddr_storage address;
        socklen_t length = parse_address(argv[1], (uint16_t)(base + i), &address);
        int one = 1, size = RECEIVE_BUFFER;
        int fd = socket(address.ss_family, SOCK_DGRAM, 0);
        if (fd < 0 || bind(fd, (struct sockaddr *)&address, length) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
            fprintf(stderr, "gap_reflector: port %u: %s\n", base + i, strerror(errno));
            return 1;
        }
        struct epoll_event event = {.events = EPOLLIN, .data.u32 = i};
        epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
        fds[i] = fd;
    }

    /* Datagrams stamped just before the end may still be queued: they are served once the end has passed. */
    const int64_t grace_ns = 20000000;
    struct epoll_event events[MAX_EVENTS];
    while (!stopping && !(r.start_ns != 0 && r.end_ns != INT64_MAX && realtime_ns() > r.end_ns + grace_ns)) {
        int n = epoll_wait(epoll, events, MAX_EVENTS, 100);
        for (int e = 0; e < n; ++e) {
            uint32_t i = events[e].data.u32;
            drops[i] = serve(fds[i], base, last, key, &r, drops[i]);
        }
    }
    uint64_t dropped = 0;
    for (uint32_t i = 0; i < ports; ++i) dropped += drops[i];
    report(&r, period_ns, dropped);
    return 0;
}
