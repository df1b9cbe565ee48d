#include "telnet.h"

namespace nchatd::telnet {

namespace {

// One byte of a subnegotiation; the bytes past the room are only counted,
// so that a report of the wrong length is no report.
void take_sb(State& st, unsigned char c)
{
    if (st.sb_len < st.sb.size())
        st.sb[st.sb_len] = c;
    if (st.sb_len < 255)
        st.sb_len++;
}

// IAC SB NAWS, width and height as two bytes each, high byte first.
bool window_report(State& st)
{
    if (st.sb_len != 5 || st.sb[0] != opt_naws)
        return false;
    st.width = static_cast<uint16_t>(st.sb[1] << 8 | st.sb[2]);
    st.height = static_cast<uint16_t>(st.sb[3] << 8 | st.sb[4]);
    return true;
}

}  // namespace

Verdict filter(State& st, unsigned char c)
{
    if (st.iac_seen) {
        st.iac_seen = false;
        if (c == iac) {
            if (st.in_subneg)
                take_sb(st, c);  // a doubled IAC is a data byte 255
            else if (st.skip > 0)
                st.skip--;
            return Verdict::dropped;
        }
        if (c == sb) {
            st.in_subneg = true;
            st.sb_len = 0;
            return Verdict::dropped;
        }
        // Only IAC SE ends a subnegotiation; a lone 240 is part of it.
        if (c == se && st.in_subneg) {
            st.in_subneg = false;
            return window_report(st) ? Verdict::window : Verdict::dropped;
        }
        if (c >= will && c <= dont) {
            st.skip = 1;
            return Verdict::dropped;
        }
        // Any other byte after IAC is looked at as if alone.
    } else if (c == iac) {
        st.iac_seen = true;
        return Verdict::command;
    }
    if (st.in_subneg) {
        take_sb(st, c);
        return Verdict::dropped;
    }
    // Option code 0 (binary transmission) is an option like any other: it
    // uses up the pending option byte, whatever the line holds.
    if (st.skip > 0) {
        st.skip--;
        return Verdict::dropped;
    }
    return Verdict::data;
}

}  // namespace nchatd::telnet
