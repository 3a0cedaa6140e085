#include "webreq/session_store.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/platform.h"
#include "webreq/redis_store.h"

namespace webreq::sessionstore {

namespace {

constexpr size_t kPathLimit = 1023;
constexpr size_t kIdLength = 32;
constexpr std::string_view kFilePrefix = "/ec_session-";
constexpr std::string_view kPropertiesSuffix = ".properties";
constexpr std::string_view kTimeoutSuffix = ".timeout";
constexpr std::string_view kSpareSuffix = ".spare.tmp";
constexpr int kReplaceAttempts = 4;
constexpr int kReplacePauseMs = 15;

// The store of the request.
struct Store {
    bool redis = false;
    std::string repository;
    redis::Address address;
    // Folder store: the expiry the timeout file held when the session was resumed, or was last
    // written: a save in the same second finds it there already and does not write it again.
    long long stored_expiry = 0;
};
Store g_store;

std::string NumberText(long long value) {
    return std::to_string(value);
}

// The parts one after the other in out, whose room is kept: paths are built on every request.
void JoinInto(std::string *out, std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (const std::string_view part : parts) size += part.size();
    out->clear();
    out->reserve(size);
    for (const std::string_view part : parts) *out += part;
}

std::string Joined(std::initializer_list<std::string_view> parts) {
    std::string joined;
    JoinInto(&joined, parts);
    return joined;
}

// A save writes each file beside its target as "<target>.<tag>-<n>.tmp" and renames it over the
// target; a save killed before its rename leaves that file behind. The tag is drawn once per
// process and counted on, so a save costs no call to the random source.
std::string TemporaryBeside(const std::string &path, bool fresh_tag) {
    static unsigned tag = 0;
    static unsigned count = 0;
    if (tag == 0 || fresh_tag) {
        unsigned char bytes[4] = {};
        platform::RandomBytes(bytes, sizeof bytes);
        tag = (static_cast<unsigned>(bytes[0]) << 24 | static_cast<unsigned>(bytes[1]) << 16 |
               static_cast<unsigned>(bytes[2]) << 8 | bytes[3]) |
              1u;
    }
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x-%u.tmp", tag, ++count);
    return path + suffix;
}

// The leftovers of killed saves of the session (and the spares), found by their name: removed
// with its files.
void RemoveLeftovers(const std::string &properties) {
    const std::string pattern =
        properties.substr(0, properties.size() - sizeof ".properties" + 1) + ".*.tmp";
    const size_t folder_end = pattern.find_last_of("/\\");
    const std::string folder = pattern.substr(0, folder_end + 1);
    platform::SearchEntry entry;
    platform::SearchHandle search =
        platform::SearchFirst(pattern.c_str(), &entry, platform::SearchDetail::kKind);
    if (!search) return;
    do {
        if (!entry.directory && !entry.link) platform::FileRemove((folder + entry.name).c_str());
    } while (platform::SearchNext(search, &entry));
    platform::SearchClose(search);
}

// Session files are small: a buffer given before the first write spares stdio the
// query of the file's block size on every open. The buffer must outlive the stream.
constexpr size_t kStreamBuffer = 4096;
void UseBuffer(FILE *stream, char *buffer) {
    std::setvbuf(stream, buffer, _IOFBF, kStreamBuffer);
}

using Loaded = platform::FileRead;

// Read without a lock: a save replaces the file whole, never in place. Opened so that a save in
// another process can still rename over it meanwhile.
Loaded LoadFile(const std::string &path, bool text, std::string *bytes) {
    return platform::FileReadReplaceable(path.c_str(), text, bytes);
}

// Where a file under a replacing save's rename stands aside for a moment (see ReplaceOnce).
std::string AsideOf(const std::string &target) {
    return Joined({target, ".old.tmp"});
}

// Replaces the target with from in one rename. Where a reader holds the target open, Windows
// (sharing delete) lets it be renamed but not be replaced: it is renamed aside first, where
// readers look for it while the target is missing, and removed once from took its place.
bool ReplaceOnce(const std::string &from, const std::string &target) {
    if (platform::FileReplace(from.c_str(), target.c_str())) return true;
    const std::string aside = AsideOf(target);
    if (!platform::FileReplace(target.c_str(), aside.c_str())) return false;
    if (!platform::FileReplace(from.c_str(), target.c_str())) {
        platform::FileReplace(aside.c_str(), target.c_str());
        return false;
    }
    platform::FileRemove(aside.c_str());  // gone once its reader closes it
    return true;
}

// A program that holds the file open without sharing delete (on Windows) is most often done
// within moments, so the replacement is tried a few times.
bool ReplaceWithRetries(const std::string &from, const std::string &target) {
    for (int attempt = 0;; ++attempt) {
        if (ReplaceOnce(from, target)) return true;
        if (attempt == kReplaceAttempts - 1) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kReplacePauseMs));
    }
}

// The file kept beside a session file where names can be swapped: it holds the version
// before last, and the next save writes over it and swaps it in. Its name is a leftover's,
// so it goes with the session's files.
std::string SpareOf(const std::string &target) {
    return Joined({target, kSpareSuffix});
}

// The save where names can be swapped: the spare is written under its exclusive lock (readers
// of a session file hold a shared one, so a file is never written while read) and swapped with
// the target, which then holds the new text whole; a process killed at any point leaves the
// target old or new. Without a target yet (a first save, or one removed meanwhile), the spare is
// renamed into its place. False when the caller must replace in its own way.
bool WriteBySwap(const std::string &target, const std::string &spare, const std::string &text) {
    if (!platform::FileSwapAvailable()) return false;
    platform::LockedFile *file = platform::LockedFileOpen(spare.c_str());
    if (!file) return false;
    const bool saved = platform::LockedFileWrite(file, text) &&
                       (platform::FileSwap(spare.c_str(), target.c_str()) ||
                        platform::FileReplace(spare.c_str(), target.c_str()));
    platform::LockedFileClose(file);
    return saved;
}

// Writes the text (text mode) beside the target and renames it over the target: a reader, or a
// process killed at any point, sees the old file or the new one whole. False, with the target
// untouched and the temporary file gone, when any step fails. spare: SpareOf(target).
bool WriteReplacing(const std::string &target, const std::string &spare, const std::string &text) {
    if (WriteBySwap(target, spare, text)) return true;
    std::string temp;
    FILE *out = nullptr;
    // A name taken already (another process drew the same tag) is drawn again.
    for (int attempt = 0; attempt < 3 && !out; ++attempt) {
        temp = TemporaryBeside(target, attempt > 0);
        out = platform::StreamCreateNew(temp.c_str(), true);
    }
    if (!out) return false;
    char buffer[kStreamBuffer];
    UseBuffer(out, buffer);
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    const bool closed = std::fclose(out) == 0;  // a full disk often shows only here
    if (written && closed && ReplaceWithRetries(temp, target)) return true;
    platform::FileRemove(temp.c_str());
    return false;
}

// A file that is missing may stand aside for a moment under another process's save.
Loaded LoadFileOrAside(const std::string &path, bool text, std::string *bytes) {
    const Loaded loaded = LoadFile(path, text, bytes);
    return loaded == Loaded::kNotOpened ? LoadFile(AsideOf(path), text, bytes) : loaded;
}

// The expiry now + interval into the timeout file path: the moment written, 0 when it failed.
long long ExpiryWrite(const std::string &path, const std::string &spare, int interval) {
    const long long expiry = static_cast<long long>(std::time(nullptr)) + interval;
    return WriteReplacing(path, spare, NumberText(expiry) + "\n") ? expiry : 0;
}

}  // namespace

namespace {

// ExpiryFileCheck of a name the caller holds already (the session's, kept from request to
// request).
int ExpiryCheck(const std::string &timeout_path, long long *expiry) {
    *expiry = 0;
    std::string text;
    const Loaded loaded = LoadFileOrAside(timeout_path, true, &text);
    if (loaded != Loaded::kWhole) return loaded == Loaded::kNotOpened ? 0 : -1;
    // A number as scanf's %lld takes it: blanks first, a sign, digits, whatever follows.
    char *end = nullptr;
    *expiry = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str()) {
        *expiry = 0;
        return -1;  // not a number counts as expired
    }
    return *expiry < static_cast<long long>(std::time(nullptr)) ? -1 : 1;
}

}  // namespace

int ExpiryFileCheck(const char *timeout_path, long long *expiry) {
    if (!timeout_path) {
        *expiry = 0;
        return 0;  // no file to read
    }
    return ExpiryCheck(timeout_path, expiry);
}

namespace {

// The names of one session's files, built for the session of the request into buffers that a
// worker keeps from request to request.
struct SessionFiles {
    std::string repository, id;
    std::string properties, timeout, properties_spare, timeout_spare;
};

const SessionFiles &FilesOf(const std::string &id) {
    static SessionFiles files;
    if (files.id == id && files.repository == g_store.repository) return files;
    files.id = id;
    files.repository = g_store.repository;
    JoinInto(&files.properties, {files.repository, kFilePrefix, id, kPropertiesSuffix});
    JoinInto(&files.timeout, {files.repository, kFilePrefix, id, kTimeoutSuffix});
    JoinInto(&files.properties_spare, {files.properties, kSpareSuffix});
    JoinInto(&files.timeout_spare, {files.timeout, kSpareSuffix});
    return files;
}

// The properties file goes first: whatever a save in another process does meanwhile (it
// renames the timeout file in first), no timeout file is left without its properties file.
void RemoveFiles(const std::string &id, bool with_leftovers) {
    const SessionFiles &files = FilesOf(id);
    platform::FileRemove(files.properties.c_str());
    platform::FileRemove(files.timeout.c_str());
    if (with_leftovers) RemoveLeftovers(files.properties);
}

// The timeout file is written only when its text changes (a save in the second it already
// holds), and it is still there: a destroy in another process may have removed it meanwhile.
bool SaveExpiry(const SessionFiles &files, int interval, long long *expiry) {
    const long long due = static_cast<long long>(std::time(nullptr)) + interval;
    long long size = 0;
    const bool current =
        due == g_store.stored_expiry && platform::FileStatSize(files.timeout.c_str(), &size);
    *expiry = current ? due : ExpiryWrite(files.timeout, files.timeout_spare, interval);
    return *expiry != 0;
}

Outcome FolderLoad(const std::string &id, std::string *text) {
    const SessionFiles &files = FilesOf(id);
    const int expiry = ExpiryCheck(files.timeout, &g_store.stored_expiry);
    if (expiry == 1 && LoadFileOrAside(files.properties, false, text) == Loaded::kWhole)
        return Outcome::kDone;
    // Expired, or a timeout file without its session: both go, with any leftovers of killed
    // saves (looked for only where a timeout file was found).
    RemoveFiles(id, expiry != 0);
    g_store.stored_expiry = 0;
    return Outcome::kMissing;
}

// A resumed session's timeout file is renamed in first: a destroy in another process removes
// the properties file first, so whatever the interleaving, the properties file comes back after
// it or both stay gone, never a timeout file alone. A new session's properties go first, so a
// save killed between the two leaves no timeout file alone either.
Outcome FolderSave(const std::string &id, const std::string &text, int interval, bool is_new,
                   long long *expiry, std::string *where) {
    const SessionFiles &files = FilesOf(id);
    const std::string *failed_at = nullptr;
    auto save_properties = [&] {
        failed_at = &files.properties;
        return WriteReplacing(files.properties, files.properties_spare, text);
    };
    auto save_expiry = [&] {
        failed_at = &files.timeout;
        return SaveExpiry(files, interval, expiry);
    };
    const bool saved =
        is_new ? save_properties() && save_expiry() : save_expiry() && save_properties();
    if (!saved) {
        *where = *failed_at;
        return Outcome::kFailed;
    }
    g_store.stored_expiry = *expiry;
    return Outcome::kDone;
}

std::string RedisKey(const std::string &id) {
    return g_store.address.prefix + id;
}

}  // namespace

namespace {

// A worker asks once per folder: a folder that is taken away later fails the save instead, with
// its own message.
bool FolderUsable(const std::string &repository) {
    static std::string last_usable;
    if (!last_usable.empty() && repository == last_usable) return true;
    if (!platform::DirectoryWritable(repository.c_str())) return false;
    last_usable = repository;
    return true;
}

}  // namespace

std::string Shown(const std::string &repository) {
    const size_t scheme_end = repository.find("://");
    const size_t at = repository.rfind('@');
    if (scheme_end == std::string::npos || at == std::string::npos || at < scheme_end)
        return repository;
    return repository.substr(0, scheme_end + 3) + repository.substr(at + 1);
}

bool Open(const std::string &repository, std::string *reason) {
    g_store.repository = repository;
    g_store.stored_expiry = 0;
    g_store.redis = redis::IsAddress(repository.c_str());
    if (g_store.redis) {
        if (!redis::AddressParse(repository, &g_store.address, reason)) return false;
        if (!redis::Available()) {
            *reason = "this build has no Redis session store";
            return false;
        }
        return true;
    }
    if (repository.size() + kFilePrefix.size() + kIdLength + kPropertiesSuffix.size() >
        kPathLimit) {
        *reason = "path too long";
        return false;
    }
    if (!FolderUsable(repository)) {
        *reason = "not a folder that can be written";
        return false;
    }
    return true;
}

std::string TextName(const std::string &id) {
    return g_store.redis ? RedisKey(id) : FilesOf(id).properties;
}

Outcome Load(const std::string &id, std::string *text, std::string *reason) {
    if (!g_store.redis) return FolderLoad(id, text);
    const redis::Outcome loaded = redis::Load(g_store.address, id, text, reason);
    if (loaded == redis::Outcome::kFailed) {
        *reason = Shown(g_store.repository) + ": " + *reason;
        return Outcome::kFailed;
    }
    return loaded == redis::Outcome::kDone ? Outcome::kDone : Outcome::kMissing;
}

void Remove(const std::string &id) {
    if (!g_store.redis) {
        RemoveFiles(id, true);
        return;
    }
    std::string reason;
    redis::Remove(g_store.address, id, &reason);
}

Outcome Save(const std::string &id, const std::string &text, int interval, bool is_new,
             long long *expiry, std::string *where) {
    if (!g_store.redis) return FolderSave(id, text, interval, is_new, expiry, where);
    std::string reason;
    const redis::Outcome saved = redis::Save(g_store.address, id, text, interval, is_new, &reason);
    if (saved == redis::Outcome::kFailed) {
        *where = Shown(g_store.repository) + " " + RedisKey(id) + ": " + reason;
        return Outcome::kFailed;
    }
    *expiry = static_cast<long long>(std::time(nullptr)) + interval;
    return saved == redis::Outcome::kDone ? Outcome::kDone : Outcome::kMissing;
}

// The Redis connection is the worker's and is kept for its next request.
void Close() {
    std::string repository = std::move(g_store.repository);
    g_store = Store();
    repository.clear();
    g_store.repository = std::move(repository);  // its room, for the next request
}

long long ExpiryFileWrite(const std::string &path, int interval) {
    return ExpiryWrite(path, SpareOf(path), interval);
}

}  // namespace webreq::sessionstore
