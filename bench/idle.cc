/* bench-idle: the floor korv's start-up and footprint are compared with.  A
 * process that loads the same shared libraries as korv and does nothing:
 * with "--exit" it ends at once (the cost of exec and loading), without it
 * it sleeps until killed (the memory of an idle process of that make-up). */
#include <string.h>
#include <unistd.h>

#include "cutils/properties.h"
#include "kor_os.h"
#include "wcs.h"

/* Referenced so that the linker keeps every library korv loads. */
void *volatile g_bench_keep[] = {(void *)&tp_os_str_printf, (void *)&property_get, (void *)&wcs_init};

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--exit") == 0)
        return 0;
    for (;;)
        pause();
}
