/* The notification pty: a pseudo-terminal whose slave is published as
 * /dev/ttyled, so that another process can read the 4-byte exception
 * notifications the daemon writes to the master.
 *
 * Shared state: ptym_fd is set once by the exception-channel opener thread
 * and only written to afterwards (by the reader thread and the looper); the
 * pty lives as long as the process. */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "exception/exception.h"
#include "kor_os.h"
#include "korv_log.h"
#include "kor_platform.h"

#define PTMX_PATH "/dev/ptmx"
#define ERR_TEXT_SIZE 80
#define PTS_NAME_SIZE 128
/* The link's owner: the system user and the radio group. */
#define LED_TTY_UID 1000
#define LED_TTY_GID 1001
#define LED_TTY_MODE 0660
/* Notifications are binary: nothing may be translated on the way out or in. */
#define PTY_OFLAG_CLEAR (OPOST | OLCUC | OCRNL | ONOCR | ONLRET)
#define PTY_LFLAG_CLEAR (ISIG | ICANON | ECHO | ECHOE)

int ptym_fd = -1;

static const char *err_text(int err, char *buf)
{
    return strerror_r(err, buf, ERR_TEXT_SIZE);
}

static int open_master(void)
{
    char err[ERR_TEXT_SIZE];
    int fd;

    do {
        fd = kor_open(PTMX_PATH, O_RDWR);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        LOG_CORE_FLOW("Error opening %s: %s\n", PTMX_PATH,
                      err_text(errno, err));
    return fd;
}

/* The link is named in every failure line, even for calls on the master. */
static int step_failed(const char *what)
{
    char err[ERR_TEXT_SIZE];

    LOG_CORE_FLOW("Error %s %s: %s\n", what, LED_TTY_FILE,
                  err_text(errno, err));
    return -1;
}

static int make_raw(int fd)
{
    struct termios tio;

    if (tcgetattr(fd, &tio) != 0)
        return step_failed("tcgetattr");
    tio.c_iflag = 0;
    tio.c_oflag &= ~(tcflag_t)PTY_OFLAG_CLEAR;
    tio.c_lflag &= ~(tcflag_t)PTY_LFLAG_CLEAR;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return step_failed("tcsetattr");
    return 0;
}

/* Publishes the slave under the link and makes it usable.  On failure the
 * master stays open in ptym_fd: nothing is undone. */
static int publish_slave(int fd)
{
    char slave[PTS_NAME_SIZE];

    if (ptsname_r(fd, slave, sizeof slave) != 0)
        return step_failed("ptsname");
    kor_unlink(LED_TTY_FILE);
    if (kor_symlink(slave, LED_TTY_FILE) != 0)
        return step_failed("symlink");
    if (kor_chmod(LED_TTY_FILE, LED_TTY_MODE) != 0)
        return step_failed("chmod");
    if (kor_chown(LED_TTY_FILE, LED_TTY_UID, LED_TTY_GID) != 0)
        return step_failed("chown");
    if (make_raw(fd) != 0)
        return -1;
    if (grantpt(fd) != 0)
        return step_failed("grantpt");
    if (unlockpt(fd) != 0)
        return step_failed("unlockpt");
    return 0;
}

int create_pty_tty_channel(void)
{
    int fd;

    LOG_CORE_FLOW("create_pty_tty_channel led_tty_file enter\n");
    fd = open_master();
    ptym_fd = fd;
    if (fd < 0 || publish_slave(fd) != 0) {
        LOG_CORE_FLOW("[KORV][FLOW]create_pty_tty_channel return failure\n");
        return -1;
    }
    LOG_CORE_FLOW("create_pty_tty_channel led_tty_file success\n");
    return 0;
}
