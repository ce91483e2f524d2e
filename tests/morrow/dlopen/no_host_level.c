/* SPDX-License-Identifier: Apache-2.0 */
/* A program that defines no gLogLevl (as a language binding that only
 * dlopens the libraries): both libraries load, the level starts at the
 * library's default, and the library's setter changes the one it reads.
 * Exits 0 when all holds, 1 with a line saying what did not. */
#include <dlfcn.h>
#include <stdio.h>

int main(void)
{
    void* morrow = dlopen(V2X_MORROW_PATH, RTLD_NOW | RTLD_GLOBAL);
    if (morrow == NULL) {
        fprintf(stderr, "dlopen libmorrow: %s\n", dlerror());
        return 1;
    }
    void* vestra = dlopen(V2X_VESTRA_PATH, RTLD_NOW | RTLD_GLOBAL);
    if (vestra == NULL) {
        fprintf(stderr, "dlopen libvestra: %s\n", dlerror());
        return 1;
    }
    const int* level = (const int*)dlsym(RTLD_DEFAULT, "gLogLevl");
    void* setter = dlsym(morrow, "set_global_log_level");
    if (level == NULL || setter == NULL) {
        fprintf(stderr, "gLogLevl or set_global_log_level not found\n");
        return 1;
    }
    if (*level != 1) { /* LOG_LEV_ERROR */
        fprintf(stderr, "default level %d, want 1\n", *level);
        return 1;
    }
    void (*set_level)(int) = (void (*)(int))(unsigned long)setter;
    set_level(0); /* LOG_LEV_OFF: also keeps the setter's own line quiet */
    if (*level != 0) {
        fprintf(stderr, "level %d after set_global_log_level(0)\n", *level);
        return 1;
    }
    return 0;
}
