/* The baseline of the server benchmark: one thread per port in a blocking recvfrom/sendto loop that does the
 * server's per-datagram work (length and key check, the port range written into the echo) and nothing more.
 * Usage: minimal_echo HOST BASE_PORT PORTS KEY    (runs until killed) */
#define _GNU_SOURCE
#include <pthread.h>
#include <unistd.h>

#include "bench_udp.h"

struct port {
    pthread_t thread;
    struct sockaddr_storage address;
    socklen_t address_len;
    uint64_t key;
    uint16_t base, last;
};

static void *serve(void *arg) {
    struct port *p = arg;
    int fd = socket(p->address.ss_family, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&p->address, p->address_len) != 0) {
        perror("minimal_echo: bind");
        exit(1);
    }
    unsigned char buffer[RECEIVE_SIZE];
    for (;;) {
        struct sockaddr_storage from;
        socklen_t from_len = sizeof from;
        ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, (struct sockaddr *)&from, &from_len);
        if (n != PACKET_SIZE || get_be64(buffer + PACKET_KEY) != p->key) continue;
        put_port_range(buffer + PACKET_PORTS, p->base, p->last);
        sendto(fd, buffer, PACKET_SIZE, 0, (struct sockaddr *)&from, from_len);
    }
    return NULL;
}

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s HOST BASE_PORT PORTS KEY\n", argv[0]);
        return 2;
    }
    uint16_t base = parse_port(argv[2], "BASE_PORT");
    uint64_t count = parse_number(argv[3], "PORTS");
    uint64_t key = parse_number(argv[4], "KEY");
    if (count < 1 || base + count > 65536) return 2;
    struct port *ports = calloc(count, sizeof *ports);
    for (uint64_t i = 0; i < count; ++i) {
        struct port *p = &ports[i];
        p->key = key;
        p->base = base;
        p->last = (uint16_t)(base + count - 1);
        p->address_len = parse_address(argv[1], (uint16_t)(base + i), &p->address);
        pthread_create(&p->thread, NULL, serve, p);
    }
    for (uint64_t i = 0; i < count; ++i) pthread_join(ports[i].thread, NULL);
    return 0;
}
