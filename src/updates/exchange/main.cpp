// libexec/murmex-exchange: the two steps of the swap job that the shell cannot do by itself.
//
//   murmex-exchange A B               exchanges the two paths in one atomic step (renameat2 with
//                                     RENAME_EXCHANGE), so that B is never missing, whatever moment
//                                     the job is stopped at
//   murmex-exchange --clear-origin D  removes the download-origin attributes (user.xdg.origin.url,
//                                     user.xdg.referrer.url) from D and everything below it, without
//                                     following links; files without them, or a file system without
//                                     extended attributes, are not errors
//
// Exit status 0 on success; 1 with a message on standard error when the exchange was refused (the
// job then falls back to a pair of moves), 2 for a wrong command line.

#include <fcntl.h>
#include <ftw.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace {

int exchangePaths(const char *first, const char *second)
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
    return ::renameat2(AT_FDCWD, first, AT_FDCWD, second, RENAME_EXCHANGE);
#else
    return int(::syscall(SYS_renameat2, AT_FDCWD, first, AT_FDCWD, second, RENAME_EXCHANGE));
#endif
}

int clearOrigin(const char *path, const struct stat *, int, struct FTW *)
{
    // Errors ignored: most files never carried the attributes.
    ::lremovexattr(path, "user.xdg.origin.url");
    ::lremovexattr(path, "user.xdg.referrer.url");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--clear-origin") == 0) {
        if (::nftw(argv[2], clearOrigin, 32, FTW_PHYS) != 0) {
            std::fprintf(stderr, "murmex-exchange: no se pudo recorrer %s: %s\n", argv[2], std::strerror(errno));
            return 1;
        }
        return 0;
    }
    if (argc != 3) {
        std::fprintf(stderr, "uso: murmex-exchange A B | murmex-exchange --clear-origin CARPETA\n");
        return 2;
    }
    if (exchangePaths(argv[1], argv[2]) != 0) {
        std::fprintf(stderr, "murmex-exchange: no se pudo intercambiar %s y %s: %s\n", argv[1], argv[2], std::strerror(errno));
        return 1;
    }
    return 0;
}
