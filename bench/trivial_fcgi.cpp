// The floor a resident FastCGI program can reach on this machine: a static
// libfcgi responder that answers every request with one fixed small reply
// and reads nothing. scripts/bench.sh serves it through the same lighttpd
// set-up as the registry's FastCGI programs.
#include <fcgiapp.h>

int main()
{
    static const char reply[] = "Status: 200 OK\r\n"
                                "Content-Type: text/plain\r\n"
                                "Content-Length: 3\r\n"
                                "\r\n"
                                "ok\n";
    FCGX_Init();
    FCGX_Request request;
    FCGX_InitRequest(&request, 0, 0);
    while (FCGX_Accept_r(&request) >= 0) {
        FCGX_PutStr(reply, sizeof reply - 1, request.out);
        FCGX_Finish_r(&request);
    }
    return 0;
}
