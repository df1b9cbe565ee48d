#include "log.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "bounds.h"
#include "fdctl.h"

namespace nchatd {

Log::Log(int fd) : fd_(fd), buf_(log_buffer)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISREG(st.st_mode))
        return;  // a file takes every line at once, as it always did
    is_socket_ = S_ISSOCK(st.st_mode);
    if (is_socket_)
        return;  // sent with MSG_DONTWAIT
    // A terminal's open file is shared with the shell: open our own
    // description of it rather than make the shell's non-blocking.
    if (isatty(fd)) {
        char path[32];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        int own = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (own >= 0) {
            dup2(own, fd);
            close(own);
        }
        return;
    }
    (void)set_nonblock(fd);
}

bool Log::append(std::string_view text)
{
    if (text.size() > buf_.size() - used_)
        return false;
    std::memcpy(buf_.data() + used_, text.data(), text.size());
    used_ += text.size();
    return true;
}

// Once the log has room again, the first thing it says is what it lost.
void Log::report_lost()
{
    if (lost_ == 0)
        return;
    char notice[80];
    int n = snprintf(notice, sizeof notice, "Log output stalled: %lu lines lost.\n", lost_);
    if (n > 0 && append({notice, static_cast<size_t>(n)}))
        lost_ = 0;
}

void Log::flush()
{
    for (int round = 0; round < 2 && used_ > 0; ++round) {
        size_t done = 0;
        while (done < used_) {
            ssize_t n = is_socket_ ? send(fd_, buf_.data() + done, used_ - done, MSG_DONTWAIT | MSG_NOSIGNAL)
                                   : write(fd_, buf_.data() + done, used_ - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            done = used_;  // nobody reads the log any more
        }
        std::memmove(buf_.data(), buf_.data() + done, used_ - done);
        used_ -= done;
        if (used_ == 0)
            report_lost();
    }
}

void Log::line(const char* fmt, ...)
{
    if (fd_ < 0 && !capture_)
        return;
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n <= 0)
        return;
    std::string_view line{text, std::min(static_cast<size_t>(n), sizeof text - 1)};
    if (capture_) {
        capture_->append(line);
        return;
    }
    report_lost();
    if (lost_ > 0 || !append(line))
        lost_++;
    flush();
}

}  // namespace nchatd
