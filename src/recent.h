// The last lines said in the room, shown to whoever logs in later.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "bounds.h"

namespace nchatd {

// A ring of fixed entries allocated once, so that keeping a line never
// allocates: the oldest line gives its entry to the newest.
class Recent {
  public:
    struct Line {
        std::string_view stamp;  // the time stamp the room saw it with
        std::string_view text;   // as other users got it, line end included
    };

    // Room for `lines` lines, at most max_recent; 0 keeps nothing.
    void allocate(size_t lines);
    void keep(std::string_view stamp, std::string_view text);
    void clear() { count_ = 0; }
    size_t size() const { return count_; }
    // The i-th line kept, oldest first.
    Line operator[](size_t i) const;

  private:
    struct Entry {
        std::array<char, 8> stamp;
        uint8_t stamp_len;
        uint16_t len;
        std::array<char, said_max> text;
    };
    static_assert(sizeof(Entry) == 548, "the size the documentation gives");
    std::vector<Entry> ring_;
    size_t next_ = 0;  // the entry the next line takes
    size_t count_ = 0;
};

}  // namespace nchatd
