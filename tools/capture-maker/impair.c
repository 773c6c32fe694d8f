/*
 * impair: a small packet-loss and reordering link for test captures.
 *
 * The kernel here has no netem qdisc, so the capture maker sends the TCP
 * segments of its servers through an NFQUEUE (iptables rules inside the test
 * namespace) to this program, which decides each segment's fate:
 *
 *   OUTPUT hook (before the capture point on lo):
 *     drop     the capture never sees the segment; TCP retransmits it later,
 *              so the capture shows a hole that is filled out of order
 *     hold     the segment is released late, so later segments overtake it:
 *              briefly (under 3 ms: a capture shows it as out of order) or
 *              long (tens of ms: it shows as a retransmission, and TCP
 *              often retransmits it spuriously too)
 *     delay    most segments are released after a small fixed delay, in order
 *   INPUT hook (after the capture point):
 *     drop     the capture holds the segment but the client never gets it;
 *              the retransmission puts the same bytes in the capture twice
 *
 * Only segments that carry payload are impaired (handshake, pure ACKs and
 * RSTs pass at once). The choice for the n-th payload segment of a hook is a
 * hash of (seed, hook, n), so a run is reproducible as far as TCP itself is.
 * A sequence number that was dropped once is never dropped again, which keeps
 * retransmission back-off (and so the run time) bounded.
 *
 * Usage: impair --queue N [--seed S] [--drop-out PERMILLE] [--hold PERMILLE]
 *               [--drop-in PERMILLE] [--delay-us US] [--hold-us US] [--short-hold-us US]
 *               [--spare N] [--drop-out-at N,..] [--drop-in-at N,..]
 *               [--hold-at N,..] [--log FILE]
 * Prints "ready" on stdout once the queue is bound; on SIGINT/SIGTERM it
 * releases every held packet and prints one line of counters as JSON.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <inttypes.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_HELD 8192
#define MAX_DROPPED 4096

enum action { ACT_PASS, ACT_DELAY, ACT_HOLD, ACT_DROP };
static const char *const action_names[] = {"pass", "delay", "hold", "drop"};

struct held_packet {
    uint32_t id;
    uint64_t release_ns;
};

struct dropped_segment {
    int hook;
    uint32_t saddr, daddr;
    uint16_t sport, dport;
    uint32_t seq;
};

struct config {
    unsigned queue;
    uint64_t seed;
    unsigned drop_out_permille;
    unsigned hold_permille;
    unsigned drop_in_permille;
    unsigned delay_us;
    unsigned hold_us;
    unsigned short_hold_us;
    unsigned spare; /* the first N payload segments of each hook pass unharmed */
    const char *log_path;
    /* Payload-segment numbers (per hook, from 0) that are always dropped or
     * held, so that even a short transfer gets its impairment. */
    struct number_list { size_t len; uint64_t n[64]; } drop_out_at, drop_in_at, hold_at;
};

struct counters {
    uint64_t packets, payload_out, payload_in;
    uint64_t dropped_out, dropped_in, held, delayed, passed, redrop_spared;
};

static struct config cfg = {.queue = 0, .seed = 1, .drop_out_permille = 30, .hold_permille = 40,
                            .drop_in_permille = 20, .delay_us = 1000, .hold_us = 12000,
                            .short_hold_us = 2500};
static struct counters count;
static struct held_packet held[MAX_HELD];
static size_t held_len;
static struct dropped_segment dropped[MAX_DROPPED];
static size_t dropped_len;
static struct nfq_q_handle *queue_handle;
static FILE *log_file;
static volatile sig_atomic_t stop_requested;

static uint64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static uint64_t mix64(uint64_t x)
{
    /* splitmix64 finaliser: good enough to spread (seed, hook, n). */
    x += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

static unsigned permille_draw(int hook, uint64_t n)
{
    return (unsigned)(mix64(cfg.seed ^ mix64(((uint64_t)(unsigned)hook << 56) ^ n)) % 1000u);
}

static int listed(const struct number_list *list, uint64_t n)
{
    for (size_t i = 0; i < list->len; ++i)
        if (list->n[i] == n)
            return 1;
    return 0;
}

static int was_dropped(const struct dropped_segment *s)
{
    for (size_t i = 0; i < dropped_len; ++i) {
        const struct dropped_segment *d = &dropped[i];
        if (d->hook == s->hook && d->saddr == s->saddr && d->daddr == s->daddr &&
            d->sport == s->sport && d->dport == s->dport && d->seq == s->seq)
            return 1;
    }
    return 0;
}

static void release(uint32_t id)
{
    if (nfq_set_verdict(queue_handle, id, NF_ACCEPT, 0, NULL) < 0)
        fprintf(stderr, "impair: verdict for packet %" PRIu32 " failed: %s\n", id, strerror(errno));
}

static void hold_until(uint32_t id, uint64_t release_ns)
{
    if (held_len == MAX_HELD) { /* never lose a packet we did not mean to drop */
        release(id);
        return;
    }
    /* Keep the list sorted by release time; equal times keep arrival order. */
    size_t pos = held_len;
    while (pos > 0 && held[pos - 1].release_ns > release_ns) {
        held[pos] = held[pos - 1];
        --pos;
    }
    held[pos].id = id;
    held[pos].release_ns = release_ns;
    ++held_len;
}

static void release_due(uint64_t now)
{
    size_t done = 0;
    while (done < held_len && held[done].release_ns <= now)
        release(held[done++].id);
    if (done > 0) {
        memmove(held, held + done, (held_len - done) * sizeof held[0]);
        held_len -= done;
    }
}

static int on_packet(struct nfq_q_handle *qh, struct nfgenmsg *msg, struct nfq_data *nfa, void *data)
{
    (void)qh;
    (void)msg;
    (void)data;
    const struct nfqnl_msg_packet_hdr *ph = nfq_get_msg_packet_hdr(nfa);
    if (ph == NULL)
        return 0;
    const uint32_t id = ntohl(ph->packet_id);
    const int hook = ph->hook;
    ++count.packets;

    unsigned char *pkt = NULL;
    const int len = nfq_get_payload(nfa, &pkt);
    /* IPv4 + TCP headers; anything we cannot read passes untouched. */
    if (len < 20 || (pkt[0] >> 4) != 4 || pkt[9] != IPPROTO_TCP) {
        release(id);
        return 0;
    }
    const unsigned ihl = (unsigned)(pkt[0] & 0x0f) * 4u;
    if (ihl < 20 || (unsigned)len < ihl + 20u) {
        release(id);
        return 0;
    }
    const unsigned char *tcp = pkt + ihl;
    const unsigned total = ((unsigned)pkt[2] << 8) | pkt[3];
    const unsigned doff = (unsigned)(tcp[12] >> 4) * 4u;
    const unsigned flags = tcp[13];
    const unsigned payload = total > ihl + doff ? total - ihl - doff : 0;

    struct dropped_segment seg;
    memset(&seg, 0, sizeof seg);
    seg.hook = hook;
    memcpy(&seg.saddr, pkt + 12, 4);
    memcpy(&seg.daddr, pkt + 16, 4);
    seg.sport = (uint16_t)((tcp[0] << 8) | tcp[1]);
    seg.dport = (uint16_t)((tcp[2] << 8) | tcp[3]);
    seg.seq = ((uint32_t)tcp[4] << 24) | ((uint32_t)tcp[5] << 16) | ((uint32_t)tcp[6] << 8) | tcp[7];

    /* Every segment leaving the server is delayed the same, so that only the
     * chosen ones are out of order (handshake and ACKs too, or they would
     * overtake the data before them). */
    enum action act = hook == NF_INET_LOCAL_OUT && cfg.delay_us > 0 ? ACT_DELAY : ACT_PASS;
    uint64_t n = 0;
    int short_hold = 1; /* listed holds are short: a sure out-of-order segment */
    if (payload > 0 && (flags & 0x06) == 0) { /* not SYN, not RST */
        const int out = hook == NF_INET_LOCAL_OUT;
        n = out ? count.payload_out++ : count.payload_in++;
        if (out && listed(&cfg.drop_out_at, n)) {
            act = ACT_DROP;
        } else if (out && listed(&cfg.hold_at, n)) {
            act = ACT_HOLD;
        } else if (!out && listed(&cfg.drop_in_at, n)) {
            act = ACT_DROP;
        } else if (n >= cfg.spare) {
            const unsigned draw = permille_draw(hook, n);
            if (out) {
                if (draw < cfg.drop_out_permille)
                    act = ACT_DROP;
                else if (draw < cfg.drop_out_permille + cfg.hold_permille) {
                    act = ACT_HOLD;
                    short_hold = (int)(mix64(cfg.seed ^ n) & 1u);
                }
            } else if (draw < cfg.drop_in_permille) {
                act = ACT_DROP;
            }
        }
        if (act == ACT_DROP && was_dropped(&seg)) {
            ++count.redrop_spared;
            act = out && cfg.delay_us > 0 ? ACT_DELAY : ACT_PASS;
        }
    }

    const uint64_t now = now_ns();
    switch (act) {
    case ACT_DROP:
        if (dropped_len < MAX_DROPPED)
            dropped[dropped_len++] = seg;
        if (hook == NF_INET_LOCAL_OUT)
            ++count.dropped_out;
        else
            ++count.dropped_in;
        if (nfq_set_verdict(queue_handle, id, NF_DROP, 0, NULL) < 0)
            fprintf(stderr, "impair: drop verdict failed: %s\n", strerror(errno));
        break;
    case ACT_HOLD:
        ++count.held;
        hold_until(id, now + (uint64_t)(short_hold ? cfg.short_hold_us : cfg.hold_us) * 1000u);
        break;
    case ACT_DELAY:
        ++count.delayed;
        hold_until(id, now + (uint64_t)cfg.delay_us * 1000u);
        break;
    case ACT_PASS:
        ++count.passed;
        release(id);
        break;
    }
    if (log_file != NULL && payload > 0)
        fprintf(log_file, "%s\t%" PRIu64 "\t%u:%u\t%" PRIu32 "\t%u\t%s\n",
                hook == NF_INET_LOCAL_OUT ? "out" : "in", n, seg.sport, seg.dport, seg.seq, payload,
                action_names[act]);
    return 0;
}

static void on_signal(int sig)
{
    (void)sig;
    stop_requested = 1;
}

static unsigned long long parse_number(const char *text, const char *what, unsigned long long max)
{
    char *end = NULL;
    errno = 0;
    const unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max) {
        fprintf(stderr, "impair: bad value for %s: '%s'\n", what, text);
        exit(2);
    }
    return v;
}

static unsigned parse_unsigned(const char *text, const char *what)
{
    return (unsigned)parse_number(text, what, 100000000ull);
}

static void parse_list(const char *text, struct number_list *list, const char *what)
{
    char copy[512];
    if (strlen(text) >= sizeof copy) {
        fprintf(stderr, "impair: list for %s is too long\n", what);
        exit(2);
    }
    strcpy(copy, text);
    list->len = 0;
    for (char *save = NULL, *tok = strtok_r(copy, ",", &save); tok != NULL; tok = strtok_r(NULL, ",", &save)) {
        if (list->len == sizeof list->n / sizeof list->n[0]) {
            fprintf(stderr, "impair: too many numbers for %s\n", what);
            exit(2);
        }
        list->n[list->len++] = parse_unsigned(tok, what);
    }
}

static void parse_args(int argc, char **argv)
{
    int have_queue = 0;
    for (int i = 1; i < argc; ++i) {
        const char *opt = argv[i];
        if (strcmp(opt, "--help") == 0) {
            puts("usage: impair --queue N [--seed S] [--drop-out PERMILLE] [--hold PERMILLE]\n"
                 "              [--drop-in PERMILLE] [--delay-us US] [--hold-us US] [--short-hold-us US]\n"
                 "              [--spare N]\n"
                 "              [--drop-out-at N,..] [--drop-in-at N,..] [--hold-at N,..]\n"
                 "              [--log FILE]");
            exit(0);
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "impair: %s needs a value\n", opt);
            exit(2);
        }
        const char *val = argv[++i];
        if (strcmp(opt, "--queue") == 0) {
            cfg.queue = parse_unsigned(val, opt);
            have_queue = 1;
        } else if (strcmp(opt, "--seed") == 0) {
            cfg.seed = parse_number(val, opt, UINT64_MAX);
        } else if (strcmp(opt, "--drop-out") == 0) {
            cfg.drop_out_permille = parse_unsigned(val, opt);
        } else if (strcmp(opt, "--hold") == 0) {
            cfg.hold_permille = parse_unsigned(val, opt);
        } else if (strcmp(opt, "--drop-in") == 0) {
            cfg.drop_in_permille = parse_unsigned(val, opt);
        } else if (strcmp(opt, "--delay-us") == 0) {
            cfg.delay_us = parse_unsigned(val, opt);
        } else if (strcmp(opt, "--hold-us") == 0) {
            cfg.hold_us = parse_unsigned(val, opt);
        } else if (strcmp(opt, "--short-hold-us") == 0) {
            cfg.short_hold_us = parse_unsigned(val, opt);
        } else if (strcmp(opt, "--spare") == 0) {
            cfg.spare = parse_unsigned(val, opt);
        } else if (strcmp(opt, "--drop-out-at") == 0) {
            parse_list(val, &cfg.drop_out_at, opt);
        } else if (strcmp(opt, "--drop-in-at") == 0) {
            parse_list(val, &cfg.drop_in_at, opt);
        } else if (strcmp(opt, "--hold-at") == 0) {
            parse_list(val, &cfg.hold_at, opt);
        } else if (strcmp(opt, "--log") == 0) {
            cfg.log_path = val;
        } else {
            fprintf(stderr, "impair: unknown option %s\n", opt);
            exit(2);
        }
    }
    if (!have_queue || cfg.queue > 65535 || cfg.drop_out_permille + cfg.hold_permille > 1000 ||
        cfg.drop_in_permille > 1000) {
        fprintf(stderr, "impair: need --queue 0..65535 and permille values that add up to at most 1000\n");
        exit(2);
    }
}

int main(int argc, char **argv)
{
    parse_args(argc, argv);
    if (cfg.log_path != NULL && (log_file = fopen(cfg.log_path, "w")) == NULL) {
        fprintf(stderr, "impair: cannot write %s: %s\n", cfg.log_path, strerror(errno));
        return 1;
    }
    struct nfq_handle *h = nfq_open();
    if (h == NULL) {
        fprintf(stderr, "impair: nfq_open failed: %s\n", strerror(errno));
        return 1;
    }
    queue_handle = nfq_create_queue(h, (uint16_t)cfg.queue, &on_packet, NULL);
    if (queue_handle == NULL) {
        fprintf(stderr, "impair: cannot bind queue %u: %s\n", cfg.queue, strerror(errno));
        nfq_close(h);
        return 1;
    }
    /* Headers are all we look at. GSO: take large loopback segments whole, so
     * the "modern" captures keep their tens-of-KB segments. */
    if (nfq_set_mode(queue_handle, NFQNL_COPY_PACKET, 128) < 0 ||
        nfq_set_queue_maxlen(queue_handle, 16384) < 0) {
        fprintf(stderr, "impair: cannot configure queue: %s\n", strerror(errno));
        return 1;
    }
    if (nfq_set_queue_flags(queue_handle, NFQA_CFG_F_GSO, NFQA_CFG_F_GSO) < 0)
        fprintf(stderr, "impair: kernel refuses whole GSO segments; they are split before queueing\n");

    const int fd = nfq_fd(h);
    const int rcvbuf = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf);
    const int on = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);

    printf("ready\n");
    fflush(stdout);

    static char buf[1 << 17];
    while (!stop_requested) {
        int timeout_ms = 200;
        if (held_len > 0) {
            const uint64_t now = now_ns();
            const uint64_t due = held[0].release_ns;
            timeout_ms = due <= now ? 0 : (int)((due - now + 999999u) / 1000000u);
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, timeout_ms);
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "impair: poll: %s\n", strerror(errno));
            break;
        }
        if (ready > 0) {
            const ssize_t got = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got > 0)
                nfq_handle_packet(h, buf, (int)got);
            else if (got < 0 && errno != EAGAIN && errno != EINTR && errno != ENOBUFS)
                fprintf(stderr, "impair: recv: %s\n", strerror(errno));
        }
        release_due(now_ns());
    }
    release_due(UINT64_MAX);
    if (log_file != NULL)
        fclose(log_file);
    printf("{\"packets\": %" PRIu64 ", \"payload_out\": %" PRIu64 ", \"payload_in\": %" PRIu64
           ", \"dropped_out\": %" PRIu64 ", \"dropped_in\": %" PRIu64 ", \"held\": %" PRIu64
           ", \"delayed\": %" PRIu64 ", \"passed\": %" PRIu64 ", \"redrop_spared\": %" PRIu64 "}\n",
           count.packets, count.payload_out, count.payload_in, count.dropped_out, count.dropped_in,
           count.held, count.delayed, count.passed, count.redrop_spared);
    fflush(stdout);
    nfq_destroy_queue(queue_handle);
    nfq_close(h);
    return 0;
}
