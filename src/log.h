// The connection log: standard output in the foreground, never allowed to
// hold the loop up.
#pragma once

#include <string>
#include <vector>

namespace nchatd {

class Log {
  public:
    // A log that writes nothing, for the detached server.
    Log() = default;
    // Writes to `fd`.  A file takes every line at once; a pipe, terminal or
    // socket is written without waiting, up to log_buffer bytes wait, and
    // lines beyond that are counted and reported once it moves again.
    explicit Log(int fd);
    // Keeps every line in `into`, for tests.
    explicit Log(std::string* into) : capture_(into) {}

    void line(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Writes what waits, as far as the descriptor takes it now.
    void flush();
    // The descriptor to poll for room while lines wait, or -1.
    int waiting_fd() const { return used_ > 0 ? fd_ : -1; }

  private:
    bool append(std::string_view text);
    void report_lost();

    int fd_ = -1;
    bool is_socket_ = false;
    std::string* capture_ = nullptr;
    std::vector<char> buf_;
    size_t used_ = 0;
    unsigned long lost_ = 0;
};

}  // namespace nchatd
