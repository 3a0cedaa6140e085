// form.cgi: a form with a file upload. GET shows the form; POST shows what arrived (escaped)
// and stores each uploaded file in the upload folder ($NUVEX_UPLOAD_DIR, else "uploads").
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "util/fileio.h"
#include "webreq/webreq.h"

static const char *UploadFolder(void) {
    return _getenv_default("uploads", "NUVEX_UPLOAD_DIR");
}

static void ShowForm(void) {
    ec_Printf(
        0,
        "<h1>Send a file</h1>\n"
        "<form method=\"post\" enctype=\"multipart/form-data\" action=\"form.cgi\">\n"
        "<input name=\"name\" id=\"name\"> <input type=\"file\" name=\"upload\" id=\"upload\">\n"
        "<textarea name=\"note\" id=\"note\"></textarea>\n"
        "<button type=\"submit\" id=\"send\">Send</button>\n</form>\n");
}

static void ShowReceived(void) {
    // A form sent without a name is refused through the error page.
    const char *name =
        ec_ValueNotEmpty("The field 'name' must not be empty: <please> fill it in.", "name");
    ec_Printf(0, "<h1>Received</h1>\n<p id=\"greeting\">Hello, ");
    ec_Printf(1, "%s", name);
    ec_Printf(0, "</p>\n<ul>\n");
    for (ec_entry *entry = ec_ValueList(); entry; entry = entry->next) {
        if (strcmp(entry->name, "upload") == 0) continue;  // the bytes themselves
        ec_Printf(0, "<li>");
        ec_Printf(1, "%s = %s", entry->name, entry->value);
        ec_Printf(0, "</li>\n");
    }
    ec_Printf(0, "</ul>\n");
    const char *length = ec_Value("upload.length");
    const char *file = ec_Value("upload.filename");
    if (length && file && *file) {
        char path[1024];
        snprintf(path, sizeof path, "%s/%s.upload", UploadFolder(), ec_ValueDefault("", "name"));
        const int stored = FileWriteBytes(ec_Value("upload"), atoi(length), path, "wb");
        ec_Printf(0, "<p id=\"stored\">stored %d bytes</p>\n", stored);
    }
}

int main(void) {
    ec_ContentType("text/html");
    ec_Printf(0, "<html><head><title>Form</title></head><body>\n");
    const char *method = _getenv_default("GET", "REQUEST_METHOD");
    if (strcmp(method, "POST") == 0)
        ShowReceived();
    else
        ShowForm();
    ec_Printf(0, "</body></html>\n");
    ec_Finish();
    return 0;
}
