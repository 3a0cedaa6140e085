#include "webreq/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "platform/platform.h"
#include "util/fileio.h"
#include "util/filepath.h"
#include "util/text.h"
#include "webreq/channel.h"
#include "webreq/channel_internal.h"
#include "webreq/error.h"
#include "webreq/error_internal.h"
#include "webreq/html.h"
#include "webreq/serve_internal.h"

namespace {

constexpr size_t kPrintfSize = 10240;
constexpr size_t kScriptNameSize = 256;
constexpr char kAutolinkStops[] = " `(){}[]<>\"',\r\n";

char g_script_name[kScriptNameSize];
char g_number[16];
char *g_token_position = nullptr;

struct AutolinkMode {
    int mode;
    bool strip_tags;
    bool links;
    const char *target;
    bool line_breaks;
};

constexpr AutolinkMode kModes[] = {
    {1, false, false, "", false},         {2, false, true, "", false},
    {3, false, true, "_top", false},      {4, true, false, "", false},
    {5, true, true, "", false},           {6, true, true, "_top", false},
    {11, false, false, "", true},         {12, false, true, "", true},
    {13, false, true, "_top", true},      {14, true, false, "", true},
    {15, true, true, "", true},           {16, true, true, "_top", true},
    {23, false, true, "ecnewwin", false}, {26, true, true, "ecnewwin", false},
    {33, false, true, "ecnewwin", true},  {36, true, true, "ecnewwin", true},
};

const AutolinkMode *ModeOf(int mode) {
    for (const auto &row : kModes)
        if (row.mode == mode) return &row;
    return nullptr;
}

bool StartsWith(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool IsLinkToken(const char *token) {
    for (const char *scheme : {"http://", "https://", "ftp://", "telnet://", "news:", "mailto:"})
        if (StartsWith(token, scheme)) return true;
    return false;
}

void Write(const std::string &text) {
    webreq::ChannelWrite(text);
}

// The buffers that hand out the last request's texts, and the tokenizer's position (which may
// point into a buffer of that request), are cleared before the next request.
void ClearRequestTexts() {
    g_script_name[0] = '\0';
    g_number[0] = '\0';
    g_token_position = nullptr;
}

// The file's bytes after the download's header block; the count written, -1 when it cannot
// be opened.
long CopyFileToChannel(const char *path) {
    webreq::ChannelBinary();
    const int fd = FileOpenMode(path, "rb");
    if (fd < 0) return -1;
    std::string block(1 << 16, '\0');
    long count = 0;
    long long got;
    while ((got = platform::FdRead(fd, block.data(), block.size())) > 0) {
        if (!webreq::ChannelWrite(block.data(), static_cast<size_t>(got))) break;
        count += static_cast<long>(got);
    }
    FileClose(fd);
    return count;
}

void LineBreaksOnly(const char *text, std::string *out) {
    for (size_t i = 0; text[i]; ++i) {
        const char ch = text[i];
        if (ch == '\n')
            *out += "<br>\n";
        else if (ch == '\r')
            continue;
        else if (ch == ' ')
            *out += (i > 0 && text[i - 1] == ' ') ? "&nbsp;" : " ";
        else
            *out += ch;
    }
}

void WriteToken(const AutolinkMode &mode, const char *token, std::string *out) {
    if (mode.links && IsLinkToken(token)) {
        *out += "<a href=\"";
        *out += token;
        *out += "\" target=\"";
        *out += mode.target;
        *out += "\">";
        *out += token;
        *out += "</a>";
    } else if (mode.links && _is_email(token)) {
        *out += "<a href=\"mailto:";
        *out += token;
        *out += "\">";
        *out += token;
        *out += "</a>";
    } else {
        *out += token;
    }
}

// A blank, CR or LF as the line-break rule writes it; other stop characters unchanged.
void WriteSpacing(const AutolinkMode &mode, char stop, char previous, bool token_empty,
                  std::string *out) {
    if (mode.line_breaks && stop == ' ')
        *out += (previous == ' ' && token_empty) ? "&nbsp;" : " ";
    else if (mode.line_breaks && stop == '\r')
        return;
    else if (mode.line_breaks && stop == '\n')
        *out += "<br>\n";
    else if (stop != '\0')
        *out += stop;
}

void Convert(const AutolinkMode &mode, char *text, std::string *out) {
    char previous = '0', stop = 0;
    bool in_tag = false;
    for (char *token = _next_token(text, kAutolinkStops, &stop); token;
         token = _next_token(nullptr, kAutolinkStops, &stop)) {
        if (!in_tag) WriteToken(mode, token, out);
        const bool token_empty = token[0] == '\0';
        if (!mode.strip_tags) {
            if (stop == '<')
                *out += "&lt;";
            else if (stop == '>')
                *out += "&gt;";
            else if (stop == '"')
                *out += "&quot;";
            else
                WriteSpacing(mode, stop, previous, token_empty, out);
        } else if (stop == '<') {
            in_tag = true;
        } else if (stop == '>') {
            in_tag = false;
        } else if (!in_tag) {
            if (stop == '"')
                *out += "&quot;";
            else
                WriteSpacing(mode, stop, previous, token_empty, out);
        }
        previous = stop;
    }
}

char *NewCopy(const std::string &text) {
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

std::string Upper(const char *text) {
    std::string out = text;
    for (char &ch : out)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    return out;
}

// A file name fit for a quoted header parameter.
std::string QuotedParameter(const std::string &text) {
    std::string out;
    for (char ch : text) {
        if (ch == '"' || ch == '\\') out += '\\';
        out += ch;
    }
    return out;
}

char UpperChar(char ch) {
    return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 32) : ch;
}

bool SameIgnoringCase(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (UpperChar(a[i]) != UpperChar(b[i])) return false;
    return true;
}

void FlushPending(int mode, std::string *pending) {
    if (pending->empty()) return;
    _autolink(mode, pending->data());
    pending->clear();
}

}  // namespace

extern "C" {

int ec_Redirect(const char *url) try {
    if (ec_ContentTypeSent())
        ecError(
            "ec_Redirect(): ec_Redirect() must be called before ec_ContentType() and any "
            "stream out.");
    if (!url) ecError("ec_Redirect(): Null pointer can not be used.");
    if (std::strpbrk(url, "\r\n")) ecError("ec_Redirect(): URL must not hold CR or LF.");
    return webreq::ChannelPrintf("Location: %s\n\n", url);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_Redirect");
}

long ec_DownloadMime(const char *path, const char *type) try {
    if (ec_ContentTypeSent())
        ecError(
            "ec_DownloadMime(): ec_DownloadMime() must be called before ec_ContentType() "
            "and any stream out.");
    if (!type) type = "application/octet-stream";
    if (!path) ecError("ec_Download(): Null pointer can not be used.");
    if (std::strpbrk(type, "\r\n"))
        ecError("ec_DownloadMime(): Content type must not hold CR or LF.");
    if (FileExistsFmt("%s", path) != 1) return -1;
    const char *slash = std::strrchr(path, '/'), *backslash = std::strrchr(path, '\\');
    const char *base = slash > backslash ? slash + 1 : (backslash ? backslash + 1 : path);
    std::string name = base;
    StrTrim(name.data());
    name.resize(std::strlen(name.c_str()));
    if (name.find_first_of("\r\n") != std::string::npos)
        ecError("ec_DownloadMime(): File name must not hold CR or LF.");
    const bool attachment = std::strcmp(type, "application/octet-stream") == 0;
    // The size as a 64-bit count: a long holds no more than 2 GB on every platform.
    long long size = -1;
    if (!platform::FileStatSize(path, &size)) size = -1;
    webreq::ChannelPrintf(
        "Content-Disposition: %s;filename=\"%s\"\nContent-Transfer-Encoding: binary\n"
        "Accept-Ranges: bytes\nContent-Length: %lld\nConnection: close\nContent-Type: %s\n\n",
        attachment ? "attachment" : "inline", QuotedParameter(name).c_str(), size, type);
    return CopyFileToChannel(path);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_DownloadMime");
}

long ec_Download(const char *path) try {
    return ec_DownloadMime(path, "application/octet-stream");
} catch (const std::exception &) {
    webreq::MemoryFail("ec_Download");
}

int ec_IsURL(const char *text) try {
    if (!text) return 0;
    for (const char *scheme : {"http://", "ftp://", "telnet://", "mailto:", "news:"})
        if (StartsWith(text, scheme)) return 1;
    return 0;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_IsURL");
}

char *ec_ScriptName(void) try {
    webreq::RequestResetStepAdd(ClearRequestTexts);
    const char *name = ec_ChannelVar("SCRIPT_NAME");
    if (!name) return nullptr;
    const char *slash = std::strrchr(name, '/'), *backslash = std::strrchr(name, '\\');
    const char *base = slash > backslash ? slash + 1 : (backslash ? backslash + 1 : name);
    std::string trimmed = base;
    StrTrim(trimmed.data());
    const size_t length = std::strlen(trimmed.c_str());
    if (length >= kScriptNameSize) return nullptr;
    std::memcpy(g_script_name, trimmed.c_str(), length + 1);
    return g_script_name;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ScriptName");
}

int ec_Printf(int mode, const char *format, ...) try {
    char buffer[kPrintfSize];
    va_list args;
    va_start(args, format);
    const int length = format ? std::vsnprintf(buffer, sizeof buffer, format, args) : -1;
    va_end(args);
    if (length < 0) return -1;
    if (static_cast<size_t>(length) >= sizeof buffer)
        ecError("ec_Printf(): Message is too long or invalid.");
    _autolink(mode, buffer);
    return length;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_Printf");
}

void _autolink(int mode, char *text) try {
    if (!text) return;
    if (mode == 0) {
        webreq::ChannelWrite(text, std::strlen(text));
        return;
    }
    std::string out;
    out.reserve(std::strlen(text) + std::strlen(text) / 4);
    if (mode == 10) {
        LineBreaksOnly(text, &out);
    } else {
        const AutolinkMode *row = ModeOf(mode);
        if (!row) ecError("_autolink(): Invalid Mode (%d).", mode);
        Convert(*row, text, &out);
    }
    Write(out);
} catch (const std::exception &) {
    webreq::MemoryFail("_autolink");
}

char *_next_token(char *text, const char *stops, char *stop) try {
    webreq::RequestResetStepAdd(ClearRequestTexts);
    if (text) g_token_position = text;
    char *start = g_token_position;
    if (!start) {
        if (stop) *stop = 0;
        return nullptr;
    }
    const size_t length = std::strcspn(start, stops ? stops : "");
    if (start[length] != '\0') {
        if (stop) *stop = start[length];
        start[length] = '\0';
        g_token_position = start + length + 1;
        return start;
    }
    if (stop) *stop = 0;
    g_token_position = start + length;
    return length > 0 ? start : nullptr;
} catch (const std::exception &) {
    webreq::MemoryFail("_next_token");
}

int _is_email(const char *token) try {
    if (!token) return 0;
    int at = 0, dots = 0, other = 0;
    for (size_t i = 0; token[i]; ++i) {
        const char ch = token[i];
        const char before = i > 0 ? token[i - 1] : '\0';
        if (ch == '.') {
            if (before == '@' || (at && before == '.')) return 0;
            ++dots;
        } else if (ch == '@') {
            if (other == 0 || at > 0) return 0;
            ++at;
        } else if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                   (ch >= '0' && ch <= '9') || ch == '-' || ch == '_') {
            ++other;
        } else {
            return 0;
        }
    }
    return (other > 3 && at == 1 && dots >= 1) ? 1 : 0;
} catch (const std::exception &) {
    webreq::MemoryFail("_is_email");
}

char *ec_fGetLine(FILE *stream) try {
    if (!stream) return nullptr;
    std::string line;
    int ch;
    while ((ch = std::getc(stream)) != EOF) {
        line += static_cast<char>(ch);
        if (ch == '\n') break;
    }
    if (line.empty()) return nullptr;
    char *copy = static_cast<char *>(std::malloc(line.size() + 1));
    if (!copy) ecError("ec_fGetLine(): Memory allocation fail.");
    std::memcpy(copy, line.data(), line.size());
    copy[line.size()] = '\0';
    return copy;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_fGetLine");
}

int ec_StrIsAlnum(const char *text) try {
    if (!text) return 0;
    for (; *text; ++text)
        if (!((*text >= '0' && *text <= '9') || (*text >= 'a' && *text <= 'z') ||
              (*text >= 'A' && *text <= 'Z')))
            return 0;
    return 1;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_StrIsAlnum");
}

char *ec_StrUpper(char *text) try {
    if (!text) return nullptr;
    for (char *p = text; *p; ++p)
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 32);
    return text;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_StrUpper");
}

char *ec_StrLower(char *text) try {
    if (!text) return nullptr;
    for (char *p = text; *p; ++p)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + 32);
    return text;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_StrLower");
}

char *ec_StrHtmlEscape(const char *text) try {
    if (!text) return nullptr;
    const std::string escaped = webreq::HtmlEscaped(text);
    char *copy = static_cast<char *>(std::malloc(escaped.size() + 1));
    if (!copy) webreq::MemoryFail("ec_StrHtmlEscape");
    std::memcpy(copy, escaped.c_str(), escaped.size() + 1);
    return copy;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_StrHtmlEscape");
}

char *ec_StrIStr(const char *text, const char *pattern) try {
    if (!text || !pattern) return nullptr;
    const std::string upper_text = Upper(text), upper_pattern = Upper(pattern);
    const size_t at = upper_text.find(upper_pattern);
    return at == std::string::npos ? nullptr : const_cast<char *>(text + at);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_StrIStr");
}

int ec_StrICmp(const char *a, const char *b) try {
    if (!a || !b) return 0;
    return std::strcmp(Upper(a).c_str(), Upper(b).c_str());
} catch (const std::exception &) {
    webreq::MemoryFail("ec_StrICmp");
}

int ec_StrNICmp(const char *a, const char *b, int n) try {
    if (!a || !b || n <= 0) return 0;
    return std::strncmp(Upper(a).c_str(), Upper(b).c_str(), static_cast<size_t>(n));
} catch (const std::exception &) {
    webreq::MemoryFail("ec_StrNICmp");
}

char *ec_StrNumber(int number) try {
    webreq::RequestResetStepAdd(ClearRequestTexts);
    const long long value = number;
    std::string digits = std::to_string(value < 0 ? -value : value);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    if (value < 0) grouped = "-" + grouped;
    std::memcpy(g_number, grouped.c_str(), grouped.size() + 1);
    return g_number;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_StrNumber");
}

int ec_KeywordSplit(const char *text, char **keywords) try {
    if (!keywords) return 0;
    keywords[0] = nullptr;
    if (!text) return 0;
    std::string work = text;
    StrTrim(work.data());
    work.resize(std::strlen(work.c_str()));
    int count = 0;
    auto store = [&](const std::string &word) {
        if (count < EC_KEYWORD_MAX) {
            keywords[count++] = NewCopy(word);
            keywords[count] = nullptr;
        }
    };
    size_t i = 0;
    while (i < work.size()) {
        if (work[i] == ' ') {
            ++i;
        } else if (work[i] == '"') {
            const size_t close = work.find('"', i + 1);
            const size_t end = close == std::string::npos ? work.size() : close;
            if (end > i + 1) store(work.substr(i + 1, end - i - 1));
            i = close == std::string::npos ? work.size() : close + 1;
        } else {
            const size_t end = work.find_first_of(" \"", i);
            const size_t stop = end == std::string::npos ? work.size() : end;
            store(work.substr(i, stop - i));
            i = stop;
        }
    }
    return count;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_KeywordSplit");
}

int ec_KeywordCount(const char *text, char **keywords) try {
    if (!text || !keywords) return 0;
    int count = 0;
    for (size_t i = 0; keywords[i]; ++i)
        if (ec_StrIStr(text, keywords[i])) ++count;
    return count;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_KeywordCount");
}

int ec_KeywordPrint(char **keywords) try {
    ec_ContentType("text/html");
    int count = 0;
    for (; keywords && keywords[count]; ++count) {
        const char *word = keywords[count];
        // The words come from a request: escaped, with their own length reported.
        webreq::ChannelPrintf("'%s' (%d bytes)<br>\n", webreq::HtmlEscaped(word).c_str(),
                              static_cast<int>(std::strlen(word)));
    }
    return count;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_KeywordPrint");
}

int ec_KeywordHighlight(int mode, const char *text, char **keywords) try {
    if (!text) return 0;
    std::string pending;
    if (!keywords || !keywords[0]) {
        pending = text;
        _autolink(mode, pending.data());
        return 0;
    }
    const size_t length = std::strlen(text);
    pending.reserve(length);
    int count = 0;
    for (size_t i = 0; i < length;) {
        size_t matched = 0;
        for (size_t k = 0; keywords[k]; ++k) {
            const size_t word = std::strlen(keywords[k]);
            if (word > 0 && word <= length - i && SameIgnoringCase(text + i, keywords[k], word)) {
                matched = word;
                break;
            }
        }
        if (matched == 0) {
            pending += text[i++];
            continue;
        }
        FlushPending(mode, &pending);
        Write("<b>" + webreq::HtmlEscaped(std::string_view(text + i, matched)) + "</b>");
        ++count;
        i += matched;
    }
    FlushPending(mode, &pending);
    return count;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_KeywordHighlight");
}

void ec_KeywordFree(char **keywords) try {
    if (!keywords) return;
    for (size_t i = 0; keywords[i]; ++i) {
        std::free(keywords[i]);
        keywords[i] = nullptr;
    }
} catch (const std::exception &) {
    webreq::MemoryFail("ec_KeywordFree");
}

}  // extern "C"
