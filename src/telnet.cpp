#include "telnet.h"

#include "msg.h"
#include "nchatd.h"

void nchatd_send_telnet_stuff(nchatd_server& s, nchatd_user& u)
{
    u.telnet_sent = true;
    nchatd_send(s, u, telnet_stuff, sizeof telnet_stuff, nchatd_mode::last);
}
