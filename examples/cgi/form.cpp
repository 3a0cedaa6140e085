// form.cgi: a form with a file upload. GET shows the form; POST shows what arrived (escaped)
// and stores the uploaded file in the upload folder ($NUVEX_UPLOAD_DIR, else "uploads").
//
// Nothing the client sends becomes part of a path: the stored file gets a name this program
// makes, and the upload's bytes and length come from ec_UploadValue, which a cookie or field
// named "upload.length" cannot change.
#include <limits.h>
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

// Writes a text of any length HTML-escaped. ec_Printf formats into 10240 bytes and would end
// a longer text's page half-way with an error, so the text goes to _autolink as a copy.
static void PrintEscaped(const char *text) {
    char *copy = strdup(text);
    if (!copy) ecError("form.cgi: Memory allocation fail.");
    _autolink(1, copy);
    free(copy);
}

// A name made here: the request identifier and a number, so two requests never share a file
// and a client's text never reaches the path. 0 when none fits or every candidate is taken.
static int StoredName(char *path, size_t size, char *name, size_t name_size) {
    const char *id = _unique_id();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int n = snprintf(name, name_size, "%s-%d.upload", id, attempt);
        if (n < 0 || (size_t)n >= name_size) return 0;
        const int p = snprintf(path, size, "%s/%s", UploadFolder(), name);
        if (p < 0 || (size_t)p >= size) return 0;  // refused, never cut
        if (!FileExists(path)) return 1;
    }
    return 0;
}

static void StoreUpload(void) {
    size_t length = 0;
    const char *bytes = ec_UploadValue("upload", &length);
    if (!bytes || length == 0) return;
    if (length > (size_t)INT_MAX) {
        ec_Printf(0, "<p id=\"stored\">not stored: the file is too large</p>\n");
        return;
    }
    char path[1024], name[64];
    if (!StoredName(path, sizeof path, name, sizeof name)) {
        ec_Printf(0, "<p id=\"stored\">not stored: the upload folder's name is too long</p>\n");
        return;
    }
    const int stored = FileWriteBytes(bytes, (int)length, path, "wb");
    if (stored != (int)length) {
        ec_Printf(0, "<p id=\"stored\">not stored: the file could not be written</p>\n");
        return;
    }
    ec_Printf(0, "<p id=\"stored\">stored %d bytes</p>\n<p id=\"file\">%s</p>\n", stored, name);
}

static void ShowReceived(void) {
    // A form sent without a name is refused through the error page.
    const char *name =
        ec_ValueNotEmpty("The field 'name' must not be empty: <please> fill it in.", "name");
    ec_Printf(0, "<h1>Received</h1>\n<p id=\"greeting\">Hello, ");
    PrintEscaped(name);
    ec_Printf(0, "</p>\n<ul>\n");
    const char *upload = ec_UploadValue("upload", NULL);
    for (ec_entry *entry = ec_ValueList(); entry; entry = entry->next) {
        if (entry->value == upload) continue;  // the file's bytes themselves
        ec_Printf(0, "<li>");
        PrintEscaped(entry->name);
        ec_Printf(0, " = ");
        PrintEscaped(entry->value);
        ec_Printf(0, "</li>\n");
    }
    ec_Printf(0, "</ul>\n");
    StoreUpload();
}

// One request; run by ec_Serve once as a CGI program, or request after request as a
// FastCGI worker.
static int Page(void) {
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

int main(void) {
    return ec_Serve(Page);
}
