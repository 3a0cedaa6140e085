/* Reads a Windows program's resources as Windows does: its version information with
 * GetFileVersionInfo and its application manifest with FindResource.
 *   exe_resources PROGRAM COMPANY PRODUCT VERSION
 * Exit status 0 when the maker, product and version match and the manifest runs the program
 * as its invoker. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static int failures;

static void expect_text(const char *what, const char *seen, const char *wanted) {
    if (!seen || strcmp(seen, wanted) != 0) {
        printf("FAIL %s: \"%s\", wanted \"%s\"\n", what, seen ? seen : "(none)", wanted);
        failures++;
    } else {
        printf("ok   %s: \"%s\"\n", what, seen);
    }
}

static const char *version_string(void *info, const char *name) {
    char query[128];
    char *value = NULL;
    UINT length = 0;
    snprintf(query, sizeof query, "\\StringFileInfo\\040904b0\\%s", name);
    if (!VerQueryValueA(info, query, (void **)&value, &length) || length == 0) return NULL;
    return value;
}

static void check_version(const char *path, const char *company, const char *product,
                          const char *version) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    void *info = size ? malloc(size) : NULL;
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    char numbers[64];
    if (!info || !GetFileVersionInfoA(path, 0, size, info)) {
        printf("FAIL no version resource (error %lu)\n", GetLastError());
        failures++;
        free(info);
        return;
    }
    expect_text("CompanyName", version_string(info, "CompanyName"), company);
    expect_text("ProductName", version_string(info, "ProductName"), product);
    expect_text("ProductVersion", version_string(info, "ProductVersion"), version);
    expect_text("FileVersion", version_string(info, "FileVersion"), version);
    if (VerQueryValueA(info, "\\", (void **)&fixed, &length) && length >= sizeof *fixed) {
        snprintf(numbers, sizeof numbers, "%u.%u.%u", (unsigned)HIWORD(fixed->dwFileVersionMS),
                 (unsigned)LOWORD(fixed->dwFileVersionMS),
                 (unsigned)HIWORD(fixed->dwFileVersionLS));
        expect_text("fixed file version", numbers, version);
        if (fixed->dwFileType != VFT_APP) {
            printf("FAIL file type %lu, not an application\n", fixed->dwFileType);
            failures++;
        }
    } else {
        expect_text("fixed file version", NULL, version);
    }
    free(info);
}

static void check_manifest(const char *path) {
    HMODULE module = LoadLibraryExA(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = module ? FindResourceA(module, MAKEINTRESOURCEA(1), (LPCSTR)RT_MANIFEST) : NULL;
    HGLOBAL loaded = found ? LoadResource(module, found) : NULL;
    const char *data = loaded ? (const char *)LockResource(loaded) : NULL;
    DWORD size = found ? SizeofResource(module, found) : 0;
    char *text = data ? malloc(size + 1) : NULL;
    if (!text) {
        printf("FAIL no application manifest (error %lu)\n", GetLastError());
        failures++;
    } else {
        memcpy(text, data, size);
        text[size] = '\0';
        if (!strstr(text, "<requestedExecutionLevel level=\"asInvoker\"")) {
            printf("FAIL manifest without the asInvoker execution level:\n%s\n", text);
            failures++;
        } else {
            printf("ok   manifest: requestedExecutionLevel asInvoker\n");
        }
    }
    free(text);
    if (module) FreeLibrary(module);
}

int main(int argc, char **argv) {
    char path[MAX_PATH];
    size_t i;
    if (argc != 5) {
        fprintf(stderr, "usage: exe_resources PROGRAM COMPANY PRODUCT VERSION\n");
        return 2;
    }
    /* A Unix path from the test script: Wine's drive Z: is the root. */
    if (snprintf(path, sizeof path, "%s%s", argv[1][0] == '/' ? "Z:" : "", argv[1]) >=
        (int)sizeof path)
        return 2;
    for (i = 0; path[i]; i++)
        if (path[i] == '/') path[i] = '\\';
    check_version(path, argv[2], argv[3], argv[4]);
    check_manifest(path);
    return failures ? 1 : 0;
}
