/* The baseline of the server benchmark: one thread per port in a blocking recvfrom/sendto loop that does the
 * server's per-datagram work (length and key check, the port range written into the echo) and nothing more.
 * Usage: minimal_echo HOST BASE_PORT PORTS KEY    (runs until killed) */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { PACKET = 28 };

struct port {
    pthread_t thread;
    struct sockaddr_storage address;
    socklen_t address_len;
    unsigned char key[8], range[4];
};

static void *serve(void *arg) {
    struct port *p = arg;
    int fd = socket(p->address.ss_family, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&p->address, p->address_len) != 0) {
        perror("minimal_echo: bind");
        exit(1);
    }
    /* One spare byte tells a longer datagram from a 28-byte one, as the server does. */
    unsigned char buffer[PACKET + 1];
    for (;;) {
        struct sockaddr_storage from;
        socklen_t from_len = sizeof from;
        ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, (struct sockaddr *)&from, &from_len);
        if (n != PACKET || memcmp(buffer + 8, p->key, 8) != 0) continue;
        memcpy(buffer + 24, p->range, 4);
        sendto(fd, buffer, PACKET, 0, (struct sockaddr *)&from, from_len);
    }
    return NULL;
}

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s HOST BASE_PORT PORTS KEY\n", argv[0]);
        return 2;
    }
    int base = atoi(argv[2]), count = atoi(argv[3]);
    uint64_t key = strtoull(argv[4], NULL, 0);
    if (count < 1) return 2;
    unsigned last = (unsigned)(base + count - 1);
    struct port *ports = calloc((size_t)count, sizeof *ports);
    for (int i = 0; i < count; ++i) {
        struct port *p = &ports[i];
        for (int b = 0; b < 8; ++b) p->key[b] = (unsigned char)(key >> (56 - 8 * b));
        unsigned char range[4] = {(unsigned char)(base >> 8), (unsigned char)base, (unsigned char)(last >> 8),
                                  (unsigned char)last};
        memcpy(p->range, range, 4);
        uint16_t port = htons((uint16_t)(base + i));
        struct sockaddr_in *v4 = (struct sockaddr_in *)&p->address;
        struct sockaddr_in6 *v6 = (struct sockaddr_in6 *)&p->address;
        if (inet_pton(AF_INET, argv[1], &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = port;
            p->address_len = sizeof *v4;
        } else if (inet_pton(AF_INET6, argv[1], &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = port;
            p->address_len = sizeof *v6;
        } else {
            fprintf(stderr, "minimal_echo: not a numeric address: %s\n", argv[1]);
            return 2;
        }
        pthread_create(&p->thread, NULL, serve, p);
    }
    for (int i = 0; i < count; ++i) pthread_join(ports[i].thread, NULL);
    return 0;
}
