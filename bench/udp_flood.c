/* Load generator for the server benchmark: each thread keeps a window of keyed 28-byte datagrams in flight to
 * one port of an echo server and counts the echoes that come back.
 * Usage: udp_flood HOST BASE_PORT PORTS KEY THREADS SECONDS
 * Prints: sent=N received=N lost_windows=N seconds=S */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum { PACKET = 28, WINDOW = 32 };

struct worker {
    pthread_t thread;
    struct sockaddr_storage target;
    socklen_t target_len;
    uint64_t key, sent, received, lost_windows;
};

static atomic_int stopping;

static void put_be64(unsigned char *p, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = (unsigned char)v;
}

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
    unsigned char out[PACKET] = {0}, in[64];
    put_be64(out + 8, w->key);
    uint64_t seq = 0;
    int in_flight = 0;
    while (!atomic_load_explicit(&stopping, memory_order_relaxed)) {
        while (in_flight < WINDOW) {
            put_be64(out, ++seq);
            if (send(fd, out, PACKET, 0) != PACKET) break;
            ++w->sent;
            ++in_flight;
        }
        ssize_t n = recv(fd, in, sizeof in, 0);
        if (n == PACKET && memcmp(in + 8, out + 8, 8) == 0) {
            ++w->received;
            --in_flight;
        } else if (n < 0) {
            ++w->lost_windows;
            in_flight = 0;
        }
    }
    /* The echoes still in flight belong to this run. */
    while (in_flight > 0 && recv(fd, in, sizeof in, 0) == PACKET) {
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
    const char *host = argv[1];
    int base = atoi(argv[2]), ports = atoi(argv[3]), threads = atoi(argv[5]);
    uint64_t key = strtoull(argv[4], NULL, 0);
    double seconds = atof(argv[6]);
    if (ports < 1 || threads < 1) return 2;

    struct worker *workers = calloc((size_t)threads, sizeof *workers);
    for (int t = 0; t < threads; ++t) {
        struct worker *w = &workers[t];
        w->key = key;
        uint16_t port = htons((uint16_t)(base + t % ports));
        struct sockaddr_in *v4 = (struct sockaddr_in *)&w->target;
        struct sockaddr_in6 *v6 = (struct sockaddr_in6 *)&w->target;
        if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = port;
            w->target_len = sizeof *v4;
        } else if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = port;
            w->target_len = sizeof *v6;
        } else {
            fprintf(stderr, "udp_flood: not a numeric address: %s\n", host);
            return 2;
        }
    }

    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int t = 0; t < threads; ++t) pthread_create(&workers[t].thread, NULL, run, &workers[t]);
    struct timespec pause = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    nanosleep(&pause, NULL);
    atomic_store(&stopping, 1);
    uint64_t sent = 0, received = 0, lost = 0;
    for (int t = 0; t < threads; ++t) {
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
