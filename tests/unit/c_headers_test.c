/* The public headers compile as C and their functions link from a C program. */
#include <stdlib.h>
#include <string.h>

#include "util/util.h"
#include "webreq/webreq.h"

int main(void) {
    char text[] = "  a+b%21  ";
    ec_entry *list = ec_sDecoder("name = value");
    int failures = 0;
    if (strcmp(UrlDecode(StrTrim(text)), "a b!") != 0) failures++;
    if (!list || strcmp(list->value, "value") != 0) failures++;
    _list_free(list);
    return failures;
}
