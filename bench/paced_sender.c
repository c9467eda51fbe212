/* The CPU baseline of the client benchmark: the least a sender can do to keep SESSIONS sessions at RATE
 * datagrams per INTERVAL_MS each, every send on its exact deadline. One thread per available core; session i
 * belongs to thread i % threads and owns a UDP socket connected to BASE_PORT + i. Each thread keeps its
 * sessions in deadline order, sleeps to the earliest deadline with clock_nanosleep(TIMER_ABSTIME), takes the
 * replies that have arrived meanwhile (epoll_wait with timeout 0, one non-blocking recv per ready socket,
 * checked for length, key and payload), then sends every datagram that is due. Session i sends first at
 * INTERVAL / (RATE + 1) + i * PERIOD / SESSIONS after the start, then every PERIOD = INTERVAL / RATE: the phases
 * are spread evenly over one period, so no two sessions share a deadline and each send costs its own wake-up,
 * as for sessions whose start times fall at random. A deadline missed by more than 5 ms is skipped to the next
 * one on its grid, as the client's send timer does.
 * Once a second, and when it ends after SECONDS (0: at SIGINT/SIGTERM), it prints the totals so far:
 *   elapsed_s=X sent=N received=N
 * Usage: paced_sender HOST BASE_PORT SESSIONS RATE INTERVAL_MS KEY SECONDS */
#define _GNU_SOURCE
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdatomic.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <unistd.h>

#include "bench_udp.h"

/* A deadline missed by more than this is skipped. */
static const int64_t max_lateness_ns = 5000000;

struct session {
    int fd;
    uint64_t seq, payload;
    int64_t deadline_ns;
};

struct worker {
    pthread_t thread;
    struct session *sessions;
    size_t count;
    size_t *heap; /* indices into sessions, a binary min-heap on the deadline */
    int64_t period_ns;
    uint64_t key;
    _Atomic uint64_t sent, received; /* written by the worker only */
};

static atomic_int stopping;
static volatile sig_atomic_t interrupted;

static void interrupt(int signal_number) {
    (void)signal_number;
    interrupted = 1;
}

static void sift_down(struct worker *w, size_t i) {
    for (;;) {
        size_t least = i, left = 2 * i + 1, right = left + 1;
        if (left < w->count && w->sessions[w->heap[left]].deadline_ns < w->sessions[w->heap[least]].deadline_ns)
            least = left;
        if (right < w->count && w->sessions[w->heap[right]].deadline_ns < w->sessions[w->heap[least]].deadline_ns)
            least = right;
        if (least == i) return;
        size_t t = w->heap[i];
        w->heap[i] = w->heap[least];
        w->heap[least] = t;
        i = least;
    }
}

static void take_replies(struct worker *w, int epoll, struct epoll_event *events) {
    int ready = epoll_wait(epoll, events, (int)w->count, 0);
    uint64_t received = atomic_load_explicit(&w->received, memory_order_relaxed);
    for (int e = 0; e < ready; ++e) {
        struct session *s = &w->sessions[events[e].data.u64];
        unsigned char in[RECEIVE_SIZE];
        if (recv(s->fd, in, sizeof in, MSG_DONTWAIT) == PACKET_SIZE && get_be64(in + PACKET_KEY) == w->key &&
            get_be64(in + PACKET_PAYLOAD) == s->payload)
            ++received;
    }
    atomic_store_explicit(&w->received, received, memory_order_relaxed);
}

static void send_due(struct worker *w, int64_t now) {
    uint64_t sent = atomic_load_explicit(&w->sent, memory_order_relaxed);
    for (;;) {
        struct session *s = &w->sessions[w->heap[0]];
        if (s->deadline_ns > now) break;
        unsigned char out[PACKET_SIZE];
        put_datagram(out, s->seq++, w->key, s->payload);
        send(s->fd, out, sizeof out, 0);
        ++sent;
        int64_t late = now - s->deadline_ns;
        s->deadline_ns += w->period_ns * (late > max_lateness_ns ? late / w->period_ns + 1 : 1);
        sift_down(w, 0);
    }
    atomic_store_explicit(&w->sent, sent, memory_order_relaxed);
}

static void *run(void *arg) {
    struct worker *w = arg;
    int epoll = epoll_create1(0);
    struct epoll_event *events = calloc(w->count, sizeof *events);
    if (epoll < 0 || !events) {
        perror("paced_sender: epoll");
        exit(1);
    }
    for (size_t i = 0; i < w->count; ++i) {
        struct epoll_event event = {.events = EPOLLIN, .data.u64 = i};
        epoll_ctl(epoll, EPOLL_CTL_ADD, w->sessions[i].fd, &event);
    }
    while (!atomic_load_explicit(&stopping, memory_order_relaxed)) {
        sleep_until_ns(w->sessions[w->heap[0]].deadline_ns);
        take_replies(w, epoll, events);
        send_due(w, monotonic_ns());
    }
    free(events);
    return NULL;
}

static size_t available_cores(void) {
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? (size_t)CPU_COUNT(&set) : 1;
}

static void print_totals(const struct worker *workers, size_t threads, int64_t start_ns) {
    uint64_t sent = 0, received = 0;
    for (size_t t = 0; t < threads; ++t) {
        sent += atomic_load_explicit(&workers[t].sent, memory_order_relaxed);
        received += atomic_load_explicit(&workers[t].received, memory_order_relaxed);
    }
    printf("elapsed_s=%.3f sent=%llu received=%llu\n", (double)(monotonic_ns() - start_ns) / 1e9,
           (unsigned long long)sent, (unsigned long long)received);
    fflush(stdout);
}

int main(int argc, char **argv) {
    if (argc != 8) {
        fprintf(stderr, "usage: %s HOST BASE_PORT SESSIONS RATE INTERVAL_MS KEY SECONDS\n", argv[0]);
        return 2;
    }
    uint16_t base = parse_port(argv[2], "BASE_PORT");
    uint64_t sessions = parse_number(argv[3], "SESSIONS");
    uint64_t rate = parse_number(argv[4], "RATE");
    int64_t interval_ns = (int64_t)parse_number(argv[5], "INTERVAL_MS") * 1000000;
    uint64_t key = parse_number(argv[6], "KEY");
    int64_t seconds = (int64_t)parse_number(argv[7], "SECONDS");
    if (sessions < 1 || base + sessions > 65536 || rate < 1 || (uint64_t)interval_ns < rate) {
        fprintf(stderr, "paced_sender: no sessions, ports past 65535, or a rate of 0 or above 1 per ns\n");
        return 2;
    }
    size_t threads = available_cores();
    if (threads > sessions) threads = sessions;
    raise_open_file_limit((rlim_t)(sessions + threads + 64));

    struct session *all = calloc(sessions, sizeof *all);
    size_t *heaps = calloc(sessions, sizeof *heaps);
    struct worker *workers = calloc(threads, sizeof *workers);
    if (!all || !heaps || !workers) {
        perror("paced_sender");
        return 1;
    }
    /* Thread t's sessions are t, t + threads, ...: kept side by side so each thread indexes its own block. */
    const int64_t start_ns = monotonic_ns() + 10000000;
    size_t next = 0;
    for (size_t t = 0; t < threads; ++t) {
        struct worker *w = &workers[t];
        w->sessions = &all[next];
        w->heap = &heaps[next];
        w->period_ns = interval_ns / (int64_t)rate;
        w->key = key;
        for (uint64_t i = t; i < sessions; i += threads, ++next) {
            struct session *s = &all[next];
            struct sockaddr_storage address;
            socklen_t length = parse_address(argv[1], (uint16_t)(base + i), &address);
            s->fd = socket(address.ss_family, SOCK_DGRAM, 0);
            if (s->fd < 0 || connect(s->fd, (struct sockaddr *)&address, length) != 0 ||
                getrandom(&s->payload, sizeof s->payload, 0) != sizeof s->payload) {
                fprintf(stderr, "paced_sender: session %llu: %s\n", (unsigned long long)i, strerror(errno));
                return 1;
            }
            s->seq = 1;
            s->deadline_ns =
                start_ns + interval_ns / (int64_t)(rate + 1) + (int64_t)i * w->period_ns / (int64_t)sessions;
            w->heap[w->count] = w->count;
            ++w->count;
        }
        for (size_t i = w->count / 2; i-- > 0;) sift_down(w, i);
    }

    /* Signals go to the main thread, whose sleep they cut short. */
    struct sigaction action = {.sa_handler = interrupt};
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    for (size_t t = 0; t < threads; ++t) pthread_create(&workers[t].thread, NULL, run, &workers[t]);
    pthread_sigmask(SIG_SETMASK, &previous, NULL);

    for (int64_t second = 1; !interrupted && (seconds == 0 || second <= seconds); ++second) {
        sleep_until_ns(start_ns + second * 1000000000);
        if (!interrupted) print_totals(workers, threads, start_ns);
    }
    atomic_store(&stopping, 1);
    for (size_t t = 0; t < threads; ++t) pthread_join(workers[t].thread, NULL);
    print_totals(workers, threads, start_ns);
    return 0;
}
