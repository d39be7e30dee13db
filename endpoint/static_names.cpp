// A statically linked program cannot use glibc's name service: it would load
// the shared NSS modules of whatever C library the machine has at run time.
// The FastCGI library looks a host name up only when a program opens its own
// TCP listening socket by name, which these programs never do (the web
// server, or spawn-fcgi, hands them their socket as descriptor 0). This
// definition keeps the name service out of the link, so it can never be
// reached, and says so to any caller that would try.
#include <netdb.h>

extern "C" struct hostent *gethostbyname(const char *)
{
    h_errno = NO_RECOVERY;
    return nullptr;
}
