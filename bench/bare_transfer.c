/* The floor a client's data path is measured against: one passive RETR or
 * STOR over plain blocking sockets, moving the data with nothing but
 * recv(block) + write() or read(block) + send(), as small as an FTP client
 * can be.
 *
 *   bare_transfer HOST PORT retr|stor REMOTE LOCAL [BLOCK]
 *
 * Logs in anonymously, sets TYPE I, PASV, then moves the file. Exit status
 * 0 when the server's final reply was 226, 1 otherwise. */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int control = -1;
static char line[1024];

static int Connect(const char *host, int port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1) return -1;
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return -1;
    if (connect(s, (struct sockaddr *)&a, sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

/* One line of the control connection, read a byte at a time: the replies
 * are few and short, and nothing may be read past them. */
static int ReadLine(void) {
    size_t n = 0;
    for (;;) {
        char c;
        ssize_t got = recv(control, &c, 1, 0);
        if (got <= 0) return 0;
        if (n + 1 < sizeof line) line[n++] = c;
        if (c == '\n') break;
    }
    line[n] = 0;
    return 1;
}

/* The reply's code; the text of its last line stays in line. */
static int Reply(void) {
    if (!ReadLine()) return -1;
    int code = atoi(line);
    if (line[3] == '-') {
        char end[5];
        snprintf(end, sizeof end, "%.3s ", line);
        do {
            if (!ReadLine()) return -1;
        } while (strncmp(line, end, 4) != 0);
    }
    return code;
}

static int Command(const char *text) {
    size_t n = strlen(text);
    if (send(control, text, n, 0) != (ssize_t)n) return -1;
    return Reply();
}

static int Fail(const char *what) {
    fprintf(stderr, "bare_transfer: %s: %s", what, line[0] ? line : "no reply\n");
    return 1;
}

int main(int argc, char **argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: bare_transfer HOST PORT retr|stor REMOTE LOCAL [BLOCK]\n");
        return 2;
    }
    const char *host = argv[1];
    int retr = strcmp(argv[3], "retr") == 0;
    size_t block = argc > 6 ? (size_t)atol(argv[6]) : 512;
    char *buf = malloc(block ? block : 1);
    control = Connect(host, atoi(argv[2]));
    if (control < 0 || buf == NULL || block == 0) return Fail("connect");
    if (Reply() != 220) return Fail("greeting");
    int code = Command("USER anonymous\r\n");
    if (code == 331) code = Command("PASS bench@example.org\r\n");
    if (code != 230) return Fail("login");
    if (Command("TYPE I\r\n") != 200) return Fail("TYPE");
    if (Command("PASV\r\n") != 227) return Fail("PASV");
    unsigned h[4], p[2];
    const char *paren = strchr(line, '(');
    if (!paren || sscanf(paren, "(%u,%u,%u,%u,%u,%u)", &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]) != 6)
        return Fail("PASV address");
    char addr[32];
    snprintf(addr, sizeof addr, "%u.%u.%u.%u", h[0], h[1], h[2], h[3]);
    int data = Connect(addr, (int)(p[0] * 256 + p[1]));
    if (data < 0) return Fail("data connection");

    int file = retr ? open(argv[5], O_WRONLY | O_CREAT | O_TRUNC, 0644) : open(argv[5], O_RDONLY);
    if (file < 0) return Fail("local file");
    char verb[600];
    snprintf(verb, sizeof verb, "%s %s\r\n", retr ? "RETR" : "STOR", argv[4]);
    code = Command(verb);
    if (code != 150 && code != 125) return Fail(verb);

    ssize_t n;
    if (retr) {
        while ((n = recv(data, buf, block, 0)) > 0)
            if (write(file, buf, (size_t)n) != n) return Fail("write");
    } else {
        while ((n = read(file, buf, block)) > 0)
            if (send(data, buf, (size_t)n, 0) != n) return Fail("send");
    }
    if (n < 0) return Fail(retr ? "recv" : "read");
    close(data);
    close(file);
    if (Reply() != 226) return Fail("transfer");
    Command("QUIT\r\n");
    close(control);
    free(buf);
    return 0;
}
