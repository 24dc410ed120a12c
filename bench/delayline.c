/* A delay line between two network namespaces, for bench/latency.sh: it
 * attaches to one TUN device in each and writes every packet that one side
 * sends to the other side after holding it for a fixed time (half the round
 * trip). This kernel has no netem, so the delay is made here.
 *
 *   delayline ONE_WAY_US NETNS_A TUN_A NETNS_B TUN_B
 *
 * NETNS_* are files of network namespaces (/run/netns/NAME); TUN_* are TUN
 * devices made beforehand in them ("ip tuntap add dev NAME mode tun").
 * Prints "ready" once both are attached; ends on SIGTERM or SIGINT.
 *
 * The delay is the same for every packet, so each direction's queue is in
 * order of release: a FIFO is the timer queue, and the next wake-up is the
 * head of one of the two. No loss, no reordering, no bandwidth limit; a
 * direction holding more than MAX_QUEUED packets drops new ones, as a full
 * router queue would. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#define MAX_PACKET 65536
#define MAX_QUEUED 100000

struct packet {
    struct packet *next;
    int64_t due_ns;
    size_t len;
    unsigned char data[];
};

struct side {
    const char *name;
    int fd;
    /* Packets read from this side, on their way to the other. */
    struct packet *head, *tail;
    long queued, dropped;
};

static volatile sig_atomic_t stopping;

static void on_signal(int sig) {
    (void)sig;
    stopping = 1;
}

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void die(const char *what, const char *name) {
    fprintf(stderr, "delayline: %s %s: %s\n", what, name, strerror(errno));
    exit(1);
}

/* The device must be opened from inside its namespace: a TUN file attaches
 * to the device of that name in the opener's namespace. */
static int attach(const char *netns, const char *dev) {
    int ns = open(netns, O_RDONLY | O_CLOEXEC);
    if (ns < 0) die("cannot open", netns);
    if (setns(ns, CLONE_NEWNET) != 0) die("cannot enter", netns);
    close(ns);
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) die("cannot open", "/dev/net/tun");
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (strlen(dev) >= sizeof ifr.ifr_name) {
        errno = ENAMETOOLONG;
        die("bad device name", dev);
    }
    strcpy(ifr.ifr_name, dev);
    if (ioctl(fd, TUNSETIFF, &ifr) != 0) die("cannot attach to", dev);
    return fd;
}

/* Reads what the side's kernel sends until it has no more, stamping each
 * packet with its time of release. */
static void take(struct side *from, int64_t delay_ns, unsigned char *buf) {
    for (;;) {
        ssize_t n = read(from->fd, buf, MAX_PACKET);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return;
            die("cannot read from", from->name);
        }
        if (from->queued >= MAX_QUEUED) {
            from->dropped++;
            continue;
        }
        struct packet *p = malloc(sizeof *p + (size_t)n);
        if (!p) die("out of memory at", from->name);
        p->next = NULL;
        p->due_ns = now_ns() + delay_ns;
        p->len = (size_t)n;
        memcpy(p->data, buf, (size_t)n);
        if (from->tail) from->tail->next = p;
        else from->head = p;
        from->tail = p;
        from->queued++;
    }
}

/* Writes to the other side every packet whose time has come. Returns 0, or
 * -1 when the other side's device would not take one now (it is kept, and
 * the caller waits for the device to be writable). */
static int release(struct side *from, struct side *to, int64_t now) {
    while (from->head && from->head->due_ns <= now) {
        struct packet *p = from->head;
        if (write(to->fd, p->data, p->len) < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == ENOBUFS) return -1;
            /* A packet the kernel refuses (say, malformed) is dropped, as a
             * router would; the line carries on. */
            from->dropped++;
        }
        from->head = p->next;
        if (!from->head) from->tail = NULL;
        from->queued--;
        free(p);
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: delayline ONE_WAY_US NETNS_A TUN_A NETNS_B TUN_B\n");
        return 2;
    }
    char *end;
    long one_way_us = strtol(argv[1], &end, 10);
    if (*end || one_way_us < 0 || one_way_us > 10000000) {
        fprintf(stderr, "delayline: the delay must be 0 to 10000000 us, not %s\n", argv[1]);
        return 2;
    }
    int64_t delay_ns = (int64_t)one_way_us * 1000;
    struct side a = {argv[3], attach(argv[2], argv[3]), NULL, NULL, 0, 0};
    struct side b = {argv[5], attach(argv[4], argv[5]), NULL, NULL, 0, 0};

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    /* Wake-ups on time: the default slack of 50 us is noise at short delays. */
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    unsigned char *buf = malloc(MAX_PACKET);
    if (!buf) die("out of memory", "");
    printf("ready\n");
    fflush(stdout);

    int blocked_a = 0, blocked_b = 0; /* a device that refused a write */
    while (!stopping) {
        int64_t now = now_ns();
        blocked_b = release(&a, &b, now) != 0;
        blocked_a = release(&b, &a, now) != 0;

        struct pollfd fds[2] = {
            {a.fd, (short)(POLLIN | (blocked_a ? POLLOUT : 0)), 0},
            {b.fd, (short)(POLLIN | (blocked_b ? POLLOUT : 0)), 0},
        };
        int64_t next = -1;
        if (a.head && !blocked_b) next = a.head->due_ns;
        if (b.head && !blocked_a && (next < 0 || b.head->due_ns < next)) next = b.head->due_ns;
        struct timespec wait, *timeout = NULL;
        if (next >= 0) {
            int64_t left = next - now_ns();
            if (left < 0) left = 0;
            wait.tv_sec = left / 1000000000;
            wait.tv_nsec = left % 1000000000;
            timeout = &wait;
        }
        int n = ppoll(fds, 2, timeout, NULL);
        if (n < 0) {
            if (errno == EINTR) continue;
            die("cannot poll", "");
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) break;
        if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) break;
        if (fds[0].revents & POLLIN) take(&a, delay_ns, buf);
        if (fds[1].revents & POLLIN) take(&b, delay_ns, buf);
    }
    if (a.dropped || b.dropped)
        fprintf(stderr, "delayline: dropped %ld packets from %s, %ld from %s\n", a.dropped,
                a.name, b.dropped, b.name);
    return 0;
}
