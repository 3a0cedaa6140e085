/* The limit of the FastCGI path: a libfcgi worker that answers every request with the same
 * small page and does nothing else. */
#include <fcgiapp.h>
#include <string.h>

static const char kPage[] =
    "Content-Type: text/html\r\n\r\n"
    "<html><body><p id=\"visits\">1</p><p id=\"session\">bare</p></body></html>\n";

int main(void) {
    FCGX_Request request;
    if (FCGX_Init() != 0 || FCGX_InitRequest(&request, 0, 0) != 0) return 1;
    while (FCGX_Accept_r(&request) >= 0) {
        FCGX_PutStr(kPage, (int)strlen(kPage), request.out);
        FCGX_Finish_r(&request);
    }
    return 0;
}
