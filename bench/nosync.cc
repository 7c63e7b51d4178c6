/* bench-nosync.so: preloaded into korv by the durable figure, never part of
 * korv.  fdatasync returns at once without writing anything out, so that
 * korv is the same NV pipeline without the cost of its group commit. */
#include <unistd.h>

extern "C" int fdatasync(int fd)
{
    (void)fd;
    return 0;
}
