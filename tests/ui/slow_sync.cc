// Preloaded into the desktop program by the farm session test: every file sync takes 400 ms
// more, so a conversion is still under way when the test kills the program.
#include <dlfcn.h>
#include <unistd.h>

extern "C" int fdatasync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fdatasync"));
    usleep(400000);
    return real(fd);
}

extern "C" int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    usleep(400000);
    return real(fd);
}
