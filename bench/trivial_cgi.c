/* trivial_cgi.c - the cheapest possible CGI answer, as the yardstick for the registry's own cost per request. */
#include <stdio.h>

int main(void) {
    fputs("Status: 200 OK\r\nContent-Type: application/json\r\nContent-Length: 3\r\n\r\n{}\n", stdout);
    return 0;
}
