/* Binds the gPTP ports (UDP 319 event, 320 general) that a desktop user may not bind, hands both sockets
 * to the sender worker over the Unix socket it inherited, and exits.
 *
 * Installed with only the cap_net_bind_service capability. It takes one argument, the number of the
 * inherited Unix socket, reads nothing else, and binds nothing but these two ports. */

#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int bind_udp(unsigned short port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(fd, (struct sockaddr *)&address, sizeof address) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <unix socket fd>\n", argv[0]);
        return 2;
    }
    char *end = NULL;
    long channel = strtol(argv[1], &end, 10);
    int type = 0;
    socklen_t type_length = sizeof type;
    if (*argv[1] == '\0' || *end != '\0' || channel < 3 || channel > 1023
        || getsockopt((int)channel, SOL_SOCKET, SO_TYPE, &type, &type_length) < 0) {
        fprintf(stderr, "sonvale-ptp-helper: %s is not an inherited socket\n", argv[1]);
        return 2;
    }

    int fds[2] = {bind_udp(319), bind_udp(320)};
    if (fds[0] < 0 || fds[1] < 0) {
        fprintf(stderr, "sonvale-ptp-helper: cannot bind UDP 319/320: %s\n", strerror(errno));
        char failed = 'E';
        (void)send((int)channel, &failed, 1, MSG_NOSIGNAL);
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
    if (sendmsg((int)channel, &message, MSG_NOSIGNAL) < 0) {
        fprintf(stderr, "sonvale-ptp-helper: cannot hand over the sockets: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}
