// Preloaded into the desktop program by the farm session test: every file sync takes 400 ms
// more, so a conversion is still under way when the test kills the program.
#include <dlfcn.h>
#include <unistd.h>

namespace {

template <typename F>
F next_definition(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fdatasync(int fd) {
    static const auto real = next_definition<int (*)(int)>("fdatasync");
    usleep(400000);
    return real(fd);
}

extern "C" int fsync(int fd) {
    static const auto real = next_definition<int (*)(int)>("fsync");
    usleep(400000);
    return real(fd);
}
