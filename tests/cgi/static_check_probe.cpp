// What the static check must refuse: a program that asks for a shared
// library at run time and looks a host name up through the name service.
// It is linked twice (dynamically and statically), checked, and never run.
#include <dlfcn.h>
#include <netdb.h>

int main(int argc, char **argv)
{
    if (argc > 2)
        return gethostbyname(argv[2]) ? 0 : 1;
    return dlopen(argc > 1 ? argv[1] : "libm.so.6", RTLD_NOW) ? 0 : 1;
}
