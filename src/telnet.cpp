#include "telnet.h"

namespace nchatd::telnet {

Verdict filter(State& st, unsigned char c)
{
    if (st.iac_seen) {
        st.iac_seen = false;
        if (c == iac) {
            if (!st.in_subneg && st.skip > 0)
                st.skip--;
            return Verdict::dropped;
        }
        if (c == sb) {
            st.in_subneg = true;
            return Verdict::dropped;
        }
        // Only IAC SE ends a subnegotiation; a lone 240 is part of it.
        if (c == se && st.in_subneg) {
            st.in_subneg = false;
            return Verdict::dropped;
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
    if (st.in_subneg)
        return Verdict::dropped;
    // Option code 0 (binary transmission) is an option like any other: it
    // uses up the pending option byte, whatever the line holds.
    if (st.skip > 0) {
        st.skip--;
        return Verdict::dropped;
    }
    return Verdict::data;
}

}  // namespace nchatd::telnet
