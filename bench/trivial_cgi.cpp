// The floor a CGI program can reach on this machine: a statically linked
// program that prints one fixed small reply and reads nothing. scripts/bench.sh
// serves it through the same lighttpd set-up as the registry's programs, so
// the difference between the two is the registry's own work per request.
#include <cstdio>

int main()
{
    static const char reply[] = "Status: 200 OK\r\n"
                                "Content-Type: text/plain\r\n"
                                "Content-Length: 3\r\n"
                                "\r\n"
                                "ok\n";
    fwrite(reply, 1, sizeof reply - 1, stdout);
    return 0;
}
