/* Binds the gPTP ports (UDP 319 event, 320 general) that a desktop user may not bind, hands both sockets
 * to the sender worker that started it, and exits.
 *
 * Installed with only the cap_net_bind_service capability, so whoever runs it gets no more than this:
 * the two ports on the one local unicast IPv4 address that faces the speaker (never the wildcard), handed
 * over a Unix socket whose other end belongs to this process's own parent. It takes two arguments, the
 * number of that inherited socket and the address, and reads nothing else. */

#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int bind_udp(struct in_addr local, unsigned short port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr = local;
    address.sin_port = htons(port);
    if (bind(fd, (struct sockaddr *)&address, sizeof address) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

/* The inherited descriptor, when it is a connected Unix socket whose peer is our parent under our own user. */
static int parent_channel(const char *text)
{
    char *end = NULL;
    long channel = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || channel < 3 || channel > 1023)
        return -1;
    int domain = 0;
    socklen_t domain_length = sizeof domain;
    struct ucred peer;
    socklen_t peer_length = sizeof peer;
    if (getsockopt((int)channel, SOL_SOCKET, SO_DOMAIN, &domain, &domain_length) < 0 || domain != AF_UNIX
        || getsockopt((int)channel, SOL_SOCKET, SO_PEERCRED, &peer, &peer_length) < 0
        || peer.pid != getppid() || peer.uid != getuid())
        return -1;
    return (int)channel;
}

/* Only a single local unicast address: the wildcard, broadcast and multicast would reach past the speaker. */
static int unicast_address(const char *text, struct in_addr *address)
{
    if (inet_pton(AF_INET, text, address) != 1)
        return 0;
    in_addr_t host = ntohl(address->s_addr);
    return host != INADDR_ANY && host != INADDR_BROADCAST && !IN_MULTICAST(host);
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <unix socket fd> <local IPv4 address facing the speaker>\n", argv[0]);
        return 2;
    }
    int channel = parent_channel(argv[1]);
    if (channel < 0) {
        fprintf(stderr, "sonvale-ptp-helper: %s is not a socket shared with the parent process\n", argv[1]);
        return 2;
    }
    struct in_addr local;
    if (!unicast_address(argv[2], &local)) {
        fprintf(stderr, "sonvale-ptp-helper: %s is not a unicast IPv4 address\n", argv[2]);
        return 2;
    }

    int fds[2] = {bind_udp(local, 319), bind_udp(local, 320)};
    if (fds[0] < 0 || fds[1] < 0) {
        fprintf(stderr, "sonvale-ptp-helper: cannot bind UDP 319/320 on %s: %s\n", argv[2], strerror(errno));
        char failed = 'E';
        (void)send(channel, &failed, 1, MSG_NOSIGNAL);
        return 1;
    }

    char ok = 'K';
    struct iovec data = {.iov_base = &ok, .iov_len = 1};
    union {
        char buffer[CMSG_SPACE(sizeof fds)];
        struct cmsghdr align;
    } control;
    memset(&control, 0, sizeof control);
    struct msghdr message = {.msg_iov = &data, .msg_iovlen = 1,
                             .msg_control = control.buffer, .msg_controllen = sizeof control.buffer};
    struct cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof fds);
    memcpy(CMSG_DATA(header), fds, sizeof fds);
    if (sendmsg(channel, &message, MSG_NOSIGNAL) < 0) {
        fprintf(stderr, "sonvale-ptp-helper: cannot hand over the sockets: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}
