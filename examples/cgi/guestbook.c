/* guestbook.cgi: a guestbook in C. GET shows the posts and a form; POST adds a post and
 * shows the book again.
 *
 * The posts live in one file ($NUVEX_GUESTBOOK_FILE, else "guestbook.txt" in the upload folder
 * $NUVEX_UPLOAD_DIR, else in "uploads"), never below the document root. Each post is one line
 * "name = message" with both texts percent-encoded, so a client's line breaks or '=' cannot
 * make lines or fields of their own; lines are appended and read under the file's lock, and a
 * line that cannot be written whole (a full disk) is not written at all.
 * Every text from a client is escaped on output, '&' included, and every length is bounded:
 * longer posts are refused, not cut, and a full book takes no more posts. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "util/fileio.h"
#include "util/filepath.h"
#include "util/text.h"
#include "webreq/webreq.h"

#define NAME_LIMIT 64      /* bytes of a poster's name */
#define MESSAGE_LIMIT 2000 /* bytes of a message */
#define BOOK_LIMIT 262144L /* bytes of the whole file */
#define PATH_SIZE 1024

static int BookPath(char *path, size_t size) {
    const char *file = _getenv_default(NULL, "NUVEX_GUESTBOOK_FILE");
    const int n = file ? snprintf(path, size, "%s", file)
                       : snprintf(path, size, "%s/guestbook.txt",
                                  _getenv_default("uploads", "NUVEX_UPLOAD_DIR"));
    return n > 0 && (size_t)n < size; /* refused, never cut */
}

/* Writes a client's text as HTML: '&' as "&amp;" first, then ec_Printf escapes '<', '>' and
 * '"' (mode 1) or also breaks lines (mode 11). ec_Printf never escapes '&' itself. The
 * texts are bounded, so five bytes per byte fit ec_Printf's 10240. */
static void PrintClientText(int mode, const char *text) {
    char *copy = strdup(text);
    if (!copy) ecError("guestbook.cgi: Memory allocation fail.");
    char *escaped = ec_StrReplace("sn", copy, "&", "&amp;");
    free(copy);
    ec_Printf(mode, "%s", escaped);
    free(escaped);
}

static void ShowPosts(const char *path) {
    FILE *book = FileOpenLocked(path, "rt");
    int count = 0;
    ec_Printf(0, "<ol id=\"posts\">\n");
    if (book) {
        char *line;
        while ((line = ec_fGetLine(book)) != NULL) {
            ec_entry *post = ec_sDecoder(line);
            free(line);
            if (!post) continue;
            UrlDecode(post->name);
            UrlDecode(post->value);
            ec_Printf(0, "<li><b class=\"name\">");
            PrintClientText(1, post->name);
            ec_Printf(0, "</b>: <span class=\"message\">");
            PrintClientText(11, post->value);
            ec_Printf(0, "</span></li>\n");
            ec_sFree(post);
            ++count;
        }
        FileCloseLocked(book);
    }
    ec_Printf(0, "</ol>\n<p id=\"count\">%d posts</p>\n", count);
}

static void ShowForm(void) {
    ec_Printf(0,
              "<form method=\"post\" action=\"guestbook.cgi\">\n"
              "<input name=\"name\" id=\"name\" maxlength=\"%d\">\n"
              "<textarea name=\"message\" id=\"message\" maxlength=\"%d\"></textarea>\n"
              "<button type=\"submit\" id=\"send\">Sign</button>\n</form>\n",
              NAME_LIMIT, MESSAGE_LIMIT);
}

/* Why a post is refused, or null when it may be stored. */
static const char *Refusal(const char *name, const char *message, const char *path) {
    if (!*message) return "the message is empty";
    if (strlen(name) > NAME_LIMIT) return "the name is too long";
    if (strlen(message) > MESSAGE_LIMIT) return "the message is too long";
    const long size = FileSize(path);
    if (size >= BOOK_LIMIT) return "the guestbook is full";
    return NULL;
}

/* Appends the post as one line under the file's lock, whole or not at all: a post that does
 * not fit on the disk leaves the book as it was, so the next post starts a line of its own.
 * 1 when it was written whole. */
static int StorePost(const char *path, const char *name, const char *message) {
    char *encoded_name = _cookie_encode(name);
    char *encoded_message = _cookie_encode(message);
    char *line = NULL;
    int stored = 0;
    if (encoded_name && encoded_message) {
        const size_t size = strlen(encoded_name) + strlen(encoded_message) + sizeof " = \n";
        line = malloc(size);
        if (line && snprintf(line, size, "%s = %s\n", encoded_name, encoded_message) > 0)
            stored = FileAppendText(path, line);
    }
    free(line);
    free(encoded_name);
    free(encoded_message);
    return stored;
}

static void TakePost(const char *path) {
    /* Trimmed copies: a name of blanks is no name. */
    char *name = strdup(ec_ValueDefault("", "name"));
    char *message = strdup(ec_ValueDefault("", "message"));
    if (!name || !message) ecError("guestbook.cgi: Memory allocation fail.");
    StrTrim(name);
    StrTrim(message);
    const char *refusal = Refusal(name, message, path);
    if (refusal)
        ec_Printf(0, "<p id=\"refused\">Not signed: %s.</p>\n", refusal);
    else if (!StorePost(path, *name ? name : "anonymous", message))
        ec_Printf(0, "<p id=\"refused\">Not signed: the guestbook could not be written.</p>\n");
    else
        ec_Printf(0, "<p id=\"signed\">Thank you for signing.</p>\n");
    free(name);
    free(message);
}

/* One request; run by ec_Serve once as a CGI program, or request after request as a FastCGI
 * worker. */
static int Page(void) {
    char path[PATH_SIZE];
    ec_ContentType("text/html; charset=utf-8");
    ec_Printf(0, "<html><head><title>Guestbook</title></head><body>\n<h1>Guestbook</h1>\n");
    if (!BookPath(path, sizeof path)) ecError("guestbook.cgi: The guestbook path is too long.");
    if (strcmp(_getenv_default("GET", "REQUEST_METHOD"), "POST") == 0) TakePost(path);
    ShowPosts(path);
    ShowForm();
    ec_Printf(0, "</body></html>\n");
    return 0;
}

int main(void) {
    return ec_Serve(Page);
}
