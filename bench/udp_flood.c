/* Load generator for the server benchmark: each thread keeps a window of keyed 28-byte datagrams in flight to
 * one port of an echo server and counts the echoes that come back.
 * Usage: udp_flood HOST BASE_PORT PORTS KEY THREADS SECONDS
 * Prints: sent=N received=N lost_windows=N seconds=S */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdatomic.h>
#include <sys/time.h>
#include <unistd.h>

#include "bench_udp.h"

enum { WINDOW = 32 };

struct worker {
    pthread_t thread;
    struct sockaddr_storage target;
    socklen_t target_len;
    uint64_t key, sent, received, lost_windows;
};

static atomic_int stopping;

static void *run(void *arg) {
    struct worker *w = arg;
    int fd = socket(w->target.ss_family, SOCK_DGRAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&w->target, w->target_len) != 0) {
        perror("udp_flood: socket");
        exit(1);
    }
    /* A window whose echoes stay away this long is written off and refilled. */
    struct timeval timeout = {0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    unsigned char out[PACKET_SIZE], in[64];
    uint64_t seq = 0;
    int in_flight = 0;
    while (!atomic_load_explicit(&stopping, memory_order_relaxed)) {
        while (in_flight < WINDOW) {
            put_datagram(out, ++seq, w->key, 0);
            if (send(fd, out, PACKET_SIZE, 0) != PACKET_SIZE) break;
            ++w->sent;
            ++in_flight;
        }
        ssize_t n = recv(fd, in, sizeof in, 0);
        if (n == PACKET_SIZE && get_be64(in + PACKET_KEY) == w->key) {
            ++w->received;
            --in_flight;
        } else if (n < 0) {
            ++w->lost_windows;
            in_flight = 0;
        }
    }
    /* The echoes still in flight belong to this run. */
    while (in_flight > 0 && recv(fd, in, sizeof in, 0) == PACKET_SIZE) {
        ++w->received;
        --in_flight;
    }
    close(fd);
    return NULL;
}

int main(int argc, char **argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s HOST BASE_PORT PORTS KEY THREADS SECONDS\n", argv[0]);
        return 2;
    }
    uint16_t base = parse_port(argv[2], "BASE_PORT");
    uint64_t ports = parse_number(argv[3], "PORTS");
    uint64_t key = parse_number(argv[4], "KEY");
    uint64_t threads = parse_number(argv[5], "THREADS");
    double seconds = atof(argv[6]);
    if (ports < 1 || threads < 1 || base + ports > 65536) return 2;

    struct worker *workers = calloc(threads, sizeof *workers);
    for (uint64_t t = 0; t < threads; ++t) {
        workers[t].key = key;
        workers[t].target_len = parse_address(argv[1], (uint16_t)(base + t % ports), &workers[t].target);
    }

    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (uint64_t t = 0; t < threads; ++t) pthread_create(&workers[t].thread, NULL, run, &workers[t]);
    struct timespec pause = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    nanosleep(&pause, NULL);
    atomic_store(&stopping, 1);
    uint64_t sent = 0, received = 0, lost = 0;
    for (uint64_t t = 0; t < threads; ++t) {
        pthread_join(workers[t].thread, NULL);
        sent += workers[t].sent;
        received += workers[t].received;
        lost += workers[t].lost_windows;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    printf("sent=%llu received=%llu lost_windows=%llu seconds=%.3f\n", (unsigned long long)sent,
           (unsigned long long)received, (unsigned long long)lost,
           (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9);
    free(workers);
    return 0;
}
