/* Guest-side helper for the dummy lab suite: sends frames and datagrams
 * through a device with real sockets and reports what came back. Built
 * statically on the host and copied into the guest.
 *
 *   dummy_probe frames IFACE COUNT SIZE CPU...
 *       COUNT raw Ethernet frames of SIZE bytes on a packet socket, frame i
 *       sent while pinned to CPU[i % ncpus]; prints one "cpu N" line per
 *       frame (the CPU it really ran on).
 *   dummy_probe flood IFACE CPU SECONDS
 *       Minimal frames on a packet socket that bypasses the queueing layer,
 *       pinned to CPU, as fast as it goes until the device is gone; prints
 *       "cpu N" after the first frame went out and "sent N" at the end. Fails
 *       on any other error and when the device is still there after SECONDS.
 *   dummy_probe stamps udp IPV4 COUNT
 *   dummy_probe stamps packet IFACE COUNT
 *       COUNT packets from a socket that asked for software transmit time
 *       stamps; prints "stamps N" with the number of distinct packets
 *       stamped and fails unless every packet got exactly one.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/errqueue.h>
#include <linux/if_packet.h>
#include <linux/net_tstamp.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define PROBE_ETHERTYPE 0x88b5 /* IEEE local experimental */
#define MAX_COUNT 64

static void die(const char *what)
{
	perror(what);
	exit(1);
}

static int open_packet(const char *iface, struct sockaddr_ll *to)
{
	int fd = socket(AF_PACKET, SOCK_RAW, 0);
	if (fd < 0)
		die("socket(AF_PACKET)");
	memset(to, 0, sizeof(*to));
	to->sll_family = AF_PACKET;
	to->sll_protocol = htons(PROBE_ETHERTYPE);
	to->sll_ifindex = if_nametoindex(iface);
	if (!to->sll_ifindex)
		die(iface);
	return fd;
}

static void fill_frame(unsigned char *frame, size_t size)
{
	struct ether_header *eth = (struct ether_header *)frame;

	memset(frame, 0x5a, size);
	memset(eth->ether_dhost, 0xff, ETH_ALEN);
	memcpy(eth->ether_shost, "\x02\x00\x00\x00\x00\x02", ETH_ALEN);
	eth->ether_type = htons(PROBE_ETHERTYPE);
}

static void pin(int cpu)
{
	cpu_set_t set;

	CPU_ZERO(&set);
	CPU_SET(cpu, &set);
	if (sched_setaffinity(0, sizeof(set), &set))
		die("sched_setaffinity");
}

static int run_frames(int argc, char **argv)
{
	if (argc < 6)
		return 2;
	const char *iface = argv[2];
	int count = atoi(argv[3]);
	size_t size = (size_t)atoi(argv[4]);
	int ncpus = argc - 5;
	unsigned char frame[2048];
	struct sockaddr_ll to;

	if (size < sizeof(struct ether_header) || size > sizeof(frame))
		return 2;
	int fd = open_packet(iface, &to);
	fill_frame(frame, size);
	for (int i = 0; i < count; i++) {
		pin(atoi(argv[5 + i % ncpus]));
		ssize_t n = sendto(fd, frame, size, 0, (struct sockaddr *)&to,
				   sizeof(to));
		if (n != (ssize_t)size)
			die("sendto");
		printf("cpu %d\n", sched_getcpu());
	}
	close(fd);
	return 0;
}

static int run_flood(int argc, char **argv)
{
	if (argc != 5)
		return 2;
	const char *iface = argv[2];
	int cpu = atoi(argv[3]);
	long seconds = atol(argv[4]);
	unsigned char frame[ETH_ZLEN];
	struct sockaddr_ll to;
	struct timespec start, now;
	long long sent = 0, down = 0, dropped = 0;
	int on = 1;

	pin(cpu);
	int fd = open_packet(iface, &to);
	if (setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &on, sizeof(on)))
		die("setsockopt(PACKET_QDISC_BYPASS)");
	fill_frame(frame, sizeof(frame));
	clock_gettime(CLOCK_MONOTONIC, &start);
	for (unsigned long i = 0;; i++) {
		ssize_t n = sendto(fd, frame, sizeof(frame), MSG_DONTWAIT,
				   (struct sockaddr *)&to, sizeof(to));
		if (n == (ssize_t)sizeof(frame)) {
			if (!sent++)
				printf("cpu %d\n", sched_getcpu());
		} else if (n >= 0) {
			fprintf(stderr, "sendto: %zd bytes of %zu\n", n,
				sizeof(frame));
			return 1;
		} else if (errno == ENXIO || errno == ENODEV) {
			break; /* the device is gone */
		} else if (errno == ENETDOWN) {
			down++; /* on its way out: keep pushing until gone */
		} else if (errno == ENOBUFS || errno == EAGAIN) {
			dropped++;
		} else {
			die("sendto");
		}
		if (i % 1024 == 0) {
			clock_gettime(CLOCK_MONOTONIC, &now);
			if (now.tv_sec - start.tv_sec > seconds) {
				fprintf(stderr, "%s still there after %ld s: "
					"%lld sent, %lld refused as down, "
					"%lld dropped\n", iface, seconds,
					sent, down, dropped);
				return 1;
			}
		}
	}
	printf("sent %lld\n", sent);
	close(fd);
	return 0;
}

/* Reads stamps from the error queue until every packet has reported or
 * two seconds pass; seen[id] counts stamps per packet (OPT_ID numbers the
 * packets of a socket from 0). */
static int collect_stamps(int fd, int count, int *seen)
{
	struct timespec start, now;
	int got = 0;

	clock_gettime(CLOCK_MONOTONIC, &start);
	for (;;) {
		char control[512];
		char data[16];
		struct iovec iov = { data, sizeof(data) };
		struct msghdr msg = {
			.msg_iov = &iov,
			.msg_iovlen = 1,
			.msg_control = control,
			.msg_controllen = sizeof(control),
		};
		struct pollfd pfd = { fd, POLLERR, 0 };

		clock_gettime(CLOCK_MONOTONIC, &now);
		long left = 2000 - ((now.tv_sec - start.tv_sec) * 1000 +
				    (now.tv_nsec - start.tv_nsec) / 1000000);
		/* Keep reading a little past the last expected stamp so that
		 * duplicates show up too. */
		if (left <= 0 || (got >= count && left < 1700))
			break;
		if (poll(&pfd, 1, got >= count ? 100 : (int)left) <= 0)
			continue;
		if (recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
			if (errno == EAGAIN)
				continue;
			die("recvmsg(MSG_ERRQUEUE)");
		}
		int stamped = 0;
		unsigned id = ~0u;
		for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c;
		     c = CMSG_NXTHDR(&msg, c)) {
			if (c->cmsg_level == SOL_SOCKET &&
			    c->cmsg_type == SCM_TIMESTAMPING) {
				struct scm_timestamping *ts =
					(struct scm_timestamping *)CMSG_DATA(c);
				stamped = ts->ts[0].tv_sec || ts->ts[0].tv_nsec;
			} else {
				struct sock_extended_err *ee =
					(struct sock_extended_err *)CMSG_DATA(c);
				if (ee->ee_origin == SO_EE_ORIGIN_TIMESTAMPING &&
				    ee->ee_info == SCM_TSTAMP_SND)
					id = ee->ee_data;
			}
		}
		if (!stamped || id >= (unsigned)count) {
			fprintf(stderr, "unexpected error-queue message (id %u)\n", id);
			return -1;
		}
		if (!seen[id]++)
			got++;
	}
	return got;
}

static int run_stamps(int argc, char **argv)
{
	if (argc != 5)
		return 2;
	int count = atoi(argv[4]);
	int seen[MAX_COUNT] = { 0 };
	int flags = SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE |
		    SOF_TIMESTAMPING_OPT_ID | SOF_TIMESTAMPING_OPT_TSONLY;
	struct sockaddr_ll to;
	unsigned char frame[100];
	int fd;

	if (count < 1 || count > MAX_COUNT)
		return 2;
	if (!strcmp(argv[2], "udp")) {
		struct sockaddr_in sin = { .sin_family = AF_INET,
					   .sin_port = htons(9) };
		if (inet_pton(AF_INET, argv[3], &sin.sin_addr) != 1)
			return 2;
		fd = socket(AF_INET, SOCK_DGRAM, 0);
		if (fd < 0)
			die("socket(AF_INET)");
		if (connect(fd, (struct sockaddr *)&sin, sizeof(sin)))
			die("connect");
	} else if (!strcmp(argv[2], "packet")) {
		fd = open_packet(argv[3], &to);
		fill_frame(frame, sizeof(frame));
	} else {
		return 2;
	}
	if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof(flags)))
		die("setsockopt(SO_TIMESTAMPING)");
	for (int i = 0; i < count; i++) {
		ssize_t n;
		if (!strcmp(argv[2], "udp"))
			n = send(fd, "probe", 5, 0);
		else
			n = sendto(fd, frame, sizeof(frame), 0,
				   (struct sockaddr *)&to, sizeof(to));
		if (n < 0)
			die("send");
	}
	int got = collect_stamps(fd, count, seen);
	printf("stamps %d\n", got);
	for (int i = 0; i < count; i++) {
		if (seen[i] != 1) {
			fprintf(stderr, "packet %d stamped %d times\n", i, seen[i]);
			return 1;
		}
	}
	return 0;
}

int main(int argc, char **argv)
{
	int rc = 2;

	setvbuf(stdout, NULL, _IOLBF, 0);
	if (argc > 1 && !strcmp(argv[1], "frames"))
		rc = run_frames(argc, argv);
	else if (argc > 1 && !strcmp(argv[1], "flood"))
		rc = run_flood(argc, argv);
	else if (argc > 1 && !strcmp(argv[1], "stamps"))
		rc = run_stamps(argc, argv);
	if (rc == 2)
		fprintf(stderr, "usage: see the comment at the top of dummy_probe.c\n");
	return rc;
}
