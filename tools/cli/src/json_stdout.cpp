#include "json_stdout.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <ext/stdio_filebuf.h>
#include <iostream>
#include <memory>

namespace qtucli {

std::ostream* moveLibraryOutputToStandardError() {
    // Whatever is buffered for the old descriptor 1 must reach it first.
    std::cout.flush();
    std::fflush(stdout);
#if defined(_WIN32)
    const int json = _dup(_fileno(stdout));
    if (json < 0) {
        return nullptr;
    }
    if (_dup2(_fileno(stderr), _fileno(stdout)) < 0) {
        _close(json);
        return nullptr;
    }
#else
    const int json = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (json < 0) {
        return nullptr;
    }
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        close(json);
        return nullptr;
    }
#endif
    // Lives until exit, when the buffer is flushed and the duplicate closed.
    static std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buffer;
    static std::unique_ptr<std::ostream> stream;
    buffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(json, std::ios::out);
    stream = std::make_unique<std::ostream>(buffer.get());
    return stream.get();
}

}  // namespace qtucli
