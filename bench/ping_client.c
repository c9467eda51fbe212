/* The RTT baseline of the client benchmark: one datagram in flight at a time, RATE per second on a fixed grid
 * (clock_nanosleep to each deadline), to PORT of an echo server. Like the client, it reads its clock right
 * after send() returns and again when the echo's recv() returns; a reply counts when it carries the sequence
 * number, key and payload sent. A reply missing for 1 s is written off and the next deadline taken. Datagrams
 * sent in the first SKIP_MS are left out; after SECONDS more (0: at SIGINT/SIGTERM) it prints
 *   sent=N received=N rtt_avg_us=X rtt_min_us=X rtt_max_us=X
 * Usage: ping_client HOST PORT KEY RATE SKIP_MS SECONDS */
#define _GNU_SOURCE
#include <signal.h>
#include <sys/random.h>
#include <sys/time.h>
#include <unistd.h>

#include "bench_udp.h"

static volatile sig_atomic_t stopping;

static void stop(int signal_number) {
    (void)signal_number;
    stopping = 1;
}

int main(int argc, char **argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s HOST PORT KEY RATE SKIP_MS SECONDS\n", argv[0]);
        return 2;
    }
    struct sockaddr_storage address;
    socklen_t length = parse_address(argv[1], parse_port(argv[2], "PORT"), &address);
    uint64_t key = parse_number(argv[3], "KEY");
    uint64_t rate = parse_number(argv[4], "RATE");
    int64_t skip_ns = (int64_t)parse_number(argv[5], "SKIP_MS") * 1000000;
    int64_t seconds = (int64_t)parse_number(argv[6], "SECONDS");
    if (rate < 1 || rate > 1000000000) {
        fprintf(stderr, "ping_client: RATE must lie between 1 and 1000000000\n");
        return 2;
    }
    int fd = socket(address.ss_family, SOCK_DGRAM, 0);
    uint64_t payload = 0;
    struct timeval timeout = {1, 0};
    if (fd < 0 || connect(fd, (struct sockaddr *)&address, length) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        getrandom(&payload, sizeof payload, 0) != sizeof payload) {
        perror("ping_client");
        return 1;
    }
    struct sigaction action = {.sa_handler = stop};
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    const int64_t period_ns = 1000000000 / (int64_t)rate;
    const int64_t start_ns = monotonic_ns();
    const int64_t end_ns = seconds > 0 ? start_ns + skip_ns + seconds * 1000000000 : INT64_MAX;
    uint64_t seq = 0, sent = 0, received = 0;
    int64_t rtt_sum = 0, rtt_min = INT64_MAX, rtt_max = 0;
    for (int64_t deadline = start_ns; !stopping && deadline < end_ns; deadline += period_ns) {
        sleep_until_ns(deadline);
        unsigned char out[PACKET_SIZE], in[RECEIVE_SIZE];
        put_datagram(out, ++seq, key, payload);
        if (send(fd, out, sizeof out, 0) != PACKET_SIZE) continue;
        const int64_t sent_ns = monotonic_ns();
        const int measured = sent_ns - start_ns >= skip_ns;
        sent += (uint64_t)measured;
        for (;;) {
            ssize_t n = recv(fd, in, sizeof in, 0);
            const int64_t now = monotonic_ns();
            if (n < 0 && errno == EINTR && !stopping) continue;
            if (n < 0) break;
            if (n != PACKET_SIZE || get_be64(in) != seq || get_be64(in + PACKET_KEY) != key ||
                get_be64(in + PACKET_PAYLOAD) != payload)
                continue;
            if (measured) {
                const int64_t rtt = now - sent_ns;
                ++received;
                rtt_sum += rtt;
                rtt_min = rtt < rtt_min ? rtt : rtt_min;
                rtt_max = rtt > rtt_max ? rtt : rtt_max;
            }
            break;
        }
        /* A late echo leaves the grid behind: resume at the next deadline still ahead. */
        const int64_t now = monotonic_ns();
        if (now > deadline + period_ns) deadline += (now - deadline) / period_ns * period_ns;
    }
    printf("sent=%llu received=%llu rtt_avg_us=%.3f rtt_min_us=%.3f rtt_max_us=%.3f\n", (unsigned long long)sent,
           (unsigned long long)received, received ? (double)rtt_sum / (double)received / 1e3 : 0.0,
           received ? (double)rtt_min / 1e3 : 0.0, (double)rtt_max / 1e3);
    return 0;
}
