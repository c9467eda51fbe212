/* LD_PRELOAD library of the hot-path benchmark: counts the heap allocations (malloc, calloc, realloc,
 * aligned_alloc, posix_memalign, memalign; operator new reaches malloc) and the mutex lock operations
 * (pthread_mutex_lock, pthread_mutex_trylock) of the process it is loaded into, between a SIGUSR1 (zero the
 * counts and start) and a SIGUSR2 (stop and write "allocations=N mutex_locks=N" to the file that
 * HOT_PATH_COUNTS names). The start-up of the program, and everything after the stop, is not counted. Calls
 * from inside the C library itself (its own locks) pass by unseen. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void *(*real_malloc)(size_t);
static void *(*real_calloc)(size_t, size_t);
static void *(*real_realloc)(void *, size_t);
static void (*real_free)(void *);
static void *(*real_aligned_alloc)(size_t, size_t);
static int (*real_posix_memalign)(void **, size_t, size_t);
static void *(*real_memalign)(size_t, size_t);
static int (*real_mutex_lock)(pthread_mutex_t *);
static int (*real_mutex_trylock)(pthread_mutex_t *);

static atomic_bool counting;
static atomic_uint_fast64_t allocations, mutex_locks;
static char counts_path[4096];

/* dlsym may allocate while the real allocator is being looked up; such calls are served from here. */
static _Alignas(max_align_t) unsigned char bootstrap[8192];
static size_t bootstrap_used;
static _Thread_local int resolving;

static int from_bootstrap(const void *p) {
    return (const unsigned char *)p >= bootstrap && (const unsigned char *)p < bootstrap + sizeof bootstrap;
}

static void *bootstrap_alloc(size_t size) {
    size_t start = (bootstrap_used + _Alignof(max_align_t) - 1) & ~(_Alignof(max_align_t) - 1);
    if (start + size > sizeof bootstrap) return NULL;
    bootstrap_used = start + size;
    return bootstrap + start; /* zero, as calloc needs: never handed out twice */
}

/* Stores the next definition of `name` after this library in the function pointer at `slot`. */
static void look_up(void *slot, const char *name) {
    void *found = dlsym(RTLD_NEXT, name);
    memcpy(slot, &found, sizeof found);
}

static void resolve(void) {
    resolving = 1;
    look_up(&real_malloc, "malloc");
    look_up(&real_calloc, "calloc");
    look_up(&real_realloc, "realloc");
    look_up(&real_free, "free");
    look_up(&real_aligned_alloc, "aligned_alloc");
    look_up(&real_posix_memalign, "posix_memalign");
    look_up(&real_memalign, "memalign");
    look_up(&real_mutex_lock, "pthread_mutex_lock");
    look_up(&real_mutex_trylock, "pthread_mutex_trylock");
    resolving = 0;
}

/* Looks the real functions up on first use; false while that look-up is under way on this thread. */
static int ready(void) {
    if (real_mutex_trylock) return 1;
    if (resolving) return 0;
    resolve();
    return 1;
}

static void count(atomic_uint_fast64_t *counter) {
    if (atomic_load_explicit(&counting, memory_order_relaxed))
        atomic_fetch_add_explicit(counter, 1, memory_order_relaxed);
}

void *malloc(size_t size) {
    if (!ready()) return bootstrap_alloc(size);
    count(&allocations);
    return real_malloc(size);
}

void *calloc(size_t n, size_t size) {
    if (!ready()) return size && n > SIZE_MAX / size ? NULL : bootstrap_alloc(n * size);
    count(&allocations);
    return real_calloc(n, size);
}

void *realloc(void *p, size_t size) {
    if (!ready()) return NULL;
    count(&allocations);
    if (!from_bootstrap(p)) return real_realloc(p, size);
    void *moved = real_malloc(size);
    size_t room = sizeof bootstrap - (size_t)((unsigned char *)p - bootstrap);
    if (moved) memcpy(moved, p, size < room ? size : room);
    return moved;
}

void free(void *p) {
    if (from_bootstrap(p) || !ready()) return;
    real_free(p);
}

void *aligned_alloc(size_t alignment, size_t size) {
    if (!ready()) return NULL;
    count(&allocations);
    return real_aligned_alloc(alignment, size);
}

int posix_memalign(void **p, size_t alignment, size_t size) {
    if (!ready()) return ENOMEM;
    count(&allocations);
    return real_posix_memalign(p, alignment, size);
}

void *memalign(size_t alignment, size_t size) {
    if (!ready()) return NULL;
    count(&allocations);
    return real_memalign(alignment, size);
}

int pthread_mutex_lock(pthread_mutex_t *mutex) {
    if (!ready()) return 0; /* only the look-up's own thread is running this early */
    count(&mutex_locks);
    return real_mutex_lock(mutex);
}

int pthread_mutex_trylock(pthread_mutex_t *mutex) {
    if (!ready()) return 0;
    count(&mutex_locks);
    return real_mutex_trylock(mutex);
}

static void start_counting(int signal_number) {
    (void)signal_number;
    atomic_store(&allocations, 0);
    atomic_store(&mutex_locks, 0);
    atomic_store(&counting, 1);
}

/* Async-signal-safe: the digits of `v` at `out`; returns the position after them. */
static char *put_decimal(char *out, uint64_t v) {
    char digits[20];
    int n = 0;
    do digits[n++] = (char)('0' + v % 10);
    while ((v /= 10) != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

static char *put_text(char *out, const char *text) {
    size_t n = strlen(text);
    memcpy(out, text, n);
    return out + n;
}

static void stop_counting(int signal_number) {
    (void)signal_number;
    atomic_store(&counting, 0);
    char line[96], *end = line;
    end = put_decimal(put_text(end, "allocations="), atomic_load(&allocations));
    end = put_decimal(put_text(end, " mutex_locks="), atomic_load(&mutex_locks));
    *end++ = '\n';
    int fd = open(counts_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = write(fd, line, (size_t)(end - line));
    (void)written;
    close(fd);
}

__attribute__((constructor)) static void install(void) {
    ready();
    const char *path = getenv("HOT_PATH_COUNTS");
    if (!path || strlen(path) >= sizeof counts_path) return;
    strcpy(counts_path, path);
    struct sigaction action = {.sa_flags = SA_RESTART};
    action.sa_handler = start_counting;
    sigaction(SIGUSR1, &action, NULL);
    action.sa_handler = stop_counting;
    sigaction(SIGUSR2, &action, NULL);
}
