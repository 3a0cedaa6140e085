/* Shell integration of the installed platform: the install log, shortcuts in the all-users
 * shell folders, the default browser, starting the product, the browser preference patch and
 * the install error log. Strings returned are new and belong to the caller. */
#ifndef NUVEX_UTIL_SHELL_H
#define NUVEX_UTIL_SHELL_H

#ifdef __cplusplus
extern "C" {
#endif

/* The install-log line ("<windows dir>\tamtam.log") that names "tamble.exe", without its last
 * character, in a new 255-byte buffer; the last line when none names it. Null when the log is
 * missing or empty, or the Windows directory is not known. */
char *InstallLogExePath(void);
/* The product root (the executable's path up to "nuvex" and one character more) in a new
 * 255-byte buffer; empty when the path holds no "nuvex" or there is no install log. */
char *InstallLogRoot(void);

/* Writes a shortcut. icon "no" leaves the icon unset. 0 when a property could not be set,
 * otherwise 1 (also when the shell link object is unavailable). Link paths over 259
 * characters are refused with 0. */
int ShortcutCreate(const char *target, const char *link_path, const char *description,
                   const char *icon, const char *working_directory);
/* Writes a shortcut into the all-users folder named by a Shell Folders value, creating
 * missing folders. Nothing is written when the value cannot be read or the link path would
 * not fit 259 characters. Returns 0. */
int ShellFolderShortcutCreate(const char *target, const char *folder_value, const char *link_name,
                              const char *icon, const char *description, const char *subfolder,
                              const char *working_directory);
/* Shortcuts to the product for "Desktop=ON", "Startup=ON" and "SMenu=ON" in options; none
 * without an install log. Returns 1. */
int ProductShortcutsCreate(const char *options);

/* The default browser's executable (from the http open command), or null. */
char *DefaultBrowserPath(void);
/* Opens the URL ("-url" and the URL as arguments), first in Internet Explorer when
 * prefer_explorer is 1, else or then in the default browser. 1 when a browser started. */
int UrlOpen(const char *url, int prefer_explorer);
/* Starts "c:\nuvex\tamble\bin\tamble.exe". Returns 1. */
int ProductRun(void);
/* Lets scripts close windows in a Firefox default browser by appending one line to its
 * "greprefs\all.js"; 1 when that file exists, -1 otherwise. */
int FirefoxPrefsPatch(void);
/* 900 deletes "c:\TamErrorInst.log" and gives 0; any other code writes "<code> <ctime>\n" as
 * the file's one record and gives -1. */
int InstallErrorLog(int code);

#ifdef __cplusplus
}
#endif

#endif
