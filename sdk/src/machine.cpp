#include "machine.h"

#include "cooler.h"
#include "files.h"
#include "hash.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace asisim::machine {

namespace {

constexpr const char *kHeader = "asisim camera state 1";
constexpr size_t kMaxStateBytes = 4096;

// A folder we may keep state in: a directory (not a link to one) that we can write; in a shared
// place (/tmp) also ours and closed to others, so nobody else can plant or read our files.
bool usable_dir(const std::string &path, bool must_be_private) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(path.c_str(), W_OK | X_OK) != 0)
        return false;
    return !must_be_private || (st.st_uid == ::geteuid() && (st.st_mode & 077) == 0);
}

// mkdir -p, each new level private.
bool make_dirs(const std::string &path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        const std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

std::string find_state_dir() {
    std::string dir;
    bool shared = false;
    if (const char *env = std::getenv("ASISIM_STATE_DIR"); env && *env) {
        dir = env;
    } else if (const char *run = std::getenv("XDG_RUNTIME_DIR"); run && *run) {
        dir = std::string(run) + "/asisim";
    } else {
        dir = "/tmp/asisim-" + std::to_string(::geteuid());
        shared = true;
    }
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir[0] != '/') { // relative to where the process started, not to where it later goes
        char cwd[4096];
        if (!::getcwd(cwd, sizeof cwd))
            return {};
        dir = std::string(cwd) + "/" + dir;
    }
    if (make_dirs(dir) && usable_dir(dir, shared))
        return dir;
    std::fprintf(stderr,
                 "asisim: cannot keep the cameras' state in \"%s\" (not a private folder we can write); "
                 "each process has cameras of its own\n",
                 dir.c_str());
    return {};
}

// The claims of this process: one open lock file per camera, with the number of camera objects
// that hold it. Never destroyed: cameras let go of their claims while the library unloads.
struct Claims {
    std::mutex mutex;
    pid_t owner = 0; // the process the entries belong to (a forked child holds none of them)
    struct Entry {
        int fd = -1;
        int count = 0;
    };
    std::map<std::string, Entry> held;

    // With the mutex held: the table of this process.
    std::map<std::string, Entry> &mine() {
        const pid_t pid = ::getpid();
        if (owner != pid) {
            // Forked: the locks stayed with the parent. Closing the copies of its descriptors
            // does not touch its locks (they belong to the process that set them).
            for (auto &[key, e] : held)
                ::close(e.fd);
            held.clear();
            owner = pid;
        }
        return held;
    }
};

Claims &claims() {
    static Claims &c = *new Claims;
    return c;
}

std::string path_of(const std::string &key, const char *suffix) {
    return state_dir() + "/" + key + suffix;
}

// The process that holds the lock of `fd`'s file, 0 when none does.
long lock_holder(int fd) {
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK)
        return 0;
    return fl.l_pid;
}

// Opens and write-locks a lock file; the descriptor, or -1 when another process holds it (or
// the file cannot be had, reported by `failed`, or something other than a regular file stands
// in its place, reported by `refused`: a directory, a link or a FIFO can be neither locked nor
// trusted, and two processes would both own the camera).
int lock_file(const std::string &key, bool *failed, bool *refused) {
    *failed = *refused = false;
    const int fd = open_regular(path_of(key, ".lock"), O_RDWR | O_CREAT, false);
    if (fd < 0) {
        *refused = errno == kNotRegular;
        *failed = !*refused;
        return -1;
    }
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &fl) != 0) {
        *failed = errno != EACCES && errno != EAGAIN;
        ::close(fd);
        return -1;
    }
    return fd;
}

uint64_t fnv1a(const char *p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) {
        h ^= static_cast<unsigned char>(p[i]);
        h *= 1099511628211ull;
    }
    return h;
}

uint64_t new_token() {
    static std::atomic<uint64_t> counter{0};
    uint64_t t = hash_combine(static_cast<uint64_t>(::getpid()), counter.fetch_add(1) + 1);
    t = hash_combine(t, static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return hash_combine(t,
                        static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
}

std::string format_state(const SavedState &s) {
    char body[1024];
    const int n =
        std::snprintf(body, sizeof body,
                      "%s\nmodel=%s\ntemperature_c=%.17g\nwarm_c=%.17g\nambient_c=%.17g\n"
                      "cooler_on=%d\ntarget_c=%ld\nclock_s=%.17g\nframes=%llu\nsaved_unix_s=%.17g\n"
                      "token=%016llx\n",
                      kHeader, s.model.c_str(), s.temperature_c, s.warm_c, s.ambient_c, s.cooler_on ? 1 : 0,
                      s.target_c, s.clock_s, static_cast<unsigned long long>(s.frames), s.saved_unix_s,
                      static_cast<unsigned long long>(s.token));
    if (n < 0 || static_cast<size_t>(n) >= sizeof body)
        return {};
    std::string text(body, static_cast<size_t>(n));
    char check[40];
    std::snprintf(check, sizeof check, "check=%016llx\n",
                  static_cast<unsigned long long>(fnv1a(text.data(), text.size())));
    return text + check;
}

bool parse_double(const std::string &v, double lo, double hi, double *out) {
    if (v.empty())
        return false;
    char *end = nullptr;
    const double d = std::strtod(v.c_str(), &end);
    if (*end != '\0' || !std::isfinite(d) || d < lo || d > hi)
        return false;
    *out = d;
    return true;
}

bool parse_u64(const std::string &v, int base, uint64_t *out) {
    if (v.empty() || v[0] == '-' || v[0] == '+' || v[0] == ' ')
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long u = std::strtoull(v.c_str(), &end, base);
    if (errno != 0 || *end != '\0')
        return false;
    *out = u;
    return true;
}

// Every field present, in range, and the checksum right; anything else is a damaged file.
bool parse_state(const std::string &text, SavedState *out) {
    const size_t check_at = text.rfind("check=");
    if (check_at == std::string::npos || (check_at > 0 && text[check_at - 1] != '\n'))
        return false;
    uint64_t check = 0;
    std::string check_hex = text.substr(check_at + 6);
    if (check_hex.empty() || check_hex.back() != '\n')
        return false;
    check_hex.pop_back();
    if (!parse_u64(check_hex, 16, &check) || check != fnv1a(text.data(), check_at))
        return false;
    std::map<std::string, std::string> fields;
    size_t pos = 0;
    bool first = true;
    while (pos < check_at) {
        const size_t nl = text.find('\n', pos);
        const std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (first) {
            if (line != kHeader)
                return false;
            first = false;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            return false;
        fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    SavedState s;
    uint64_t cooler = 0, token = 0;
    double target = 0.0;
    s.model = fields["model"];
    const bool ok =
        !s.model.empty() && parse_double(fields["temperature_c"], -100.0, 150.0, &s.temperature_c) &&
        parse_double(fields["warm_c"], -100.0, 150.0, &s.warm_c) &&
        parse_double(fields["ambient_c"], -100.0, 150.0, &s.ambient_c) &&
        parse_u64(fields["cooler_on"], 10, &cooler) && cooler <= 1 &&
        parse_double(fields["target_c"], -1000.0, 1000.0, &target) && target == std::floor(target) &&
        parse_double(fields["clock_s"], 0.0, kClockLimitS, &s.clock_s) &&
        parse_u64(fields["frames"], 10, &s.frames) &&
        parse_double(fields["saved_unix_s"], 0.0, 1e13, &s.saved_unix_s) &&
        parse_u64(fields["token"], 16, &token);
    if (!ok)
        return false;
    s.cooler_on = cooler != 0;
    s.target_c = static_cast<long>(target);
    s.token = token;
    *out = std::move(s);
    return true;
}

// The keys of every camera with a file in the folder, and the leftover temporary files.
void scan(std::set<std::string> *keys, std::vector<std::string> *leftovers) {
    DIR *d = ::opendir(state_dir().c_str());
    if (!d)
        return;
    while (const dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        auto ends = [&](const char *suffix) {
            const size_t n = std::strlen(suffix);
            return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
        };
        if (name[0] == '.' && ends(".tmp")) {
            if (leftovers)
                leftovers->push_back(name);
        } else if (name[0] != '.' && ends(".lock")) {
            keys->insert(name.substr(0, name.size() - 5));
        } else if (name[0] != '.' && ends(".state")) {
            keys->insert(name.substr(0, name.size() - 6));
        }
    }
    ::closedir(d);
}

void json_string(std::string *out, const std::string &s) {
    *out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += ch;
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            *out += buf;
        } else {
            *out += ch;
        }
    }
    *out += '"';
}

std::string json_number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

} // namespace

const std::string &state_dir() {
    // Never destroyed: cameras save their state while the library unloads.
    static const std::string &dir = *new std::string(find_state_dir());
    return dir;
}

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string camera_key(const CameraModel &model, int index) {
    std::string key = "camera" + std::to_string(index) + "-";
    for (const char *p = model.name; *p; ++p) {
        const char c = *p;
        key += (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ? c : '_';
    }
    return key;
}

bool claim(const std::string &key) {
    if (state_dir().empty())
        return true;
    Claims &c = claims();
    std::lock_guard lock(c.mutex);
    auto &held = c.mine();
    if (auto it = held.find(key); it != held.end()) {
        ++it->second.count;
        return true;
    }
    bool failed = false, refused = false;
    const int fd = lock_file(key, &failed, &refused);
    if (refused)
        std::fprintf(stderr, "asisim: %s is not a regular file; the camera stays closed\n",
                     path_of(key, ".lock").c_str());
    if (fd < 0) {
        if (failed) // no lock to be had at all: the camera works, unshared, rather than not at all
            std::fprintf(stderr, "asisim: cannot lock %s.lock in \"%s\": %s\n", key.c_str(),
                         state_dir().c_str(), std::strerror(errno));
        return failed;
    }
    held[key] = Claims::Entry{fd, 1};
    return true;
}

void release(const std::string &key) {
    if (state_dir().empty())
        return;
    Claims &c = claims();
    std::lock_guard lock(c.mutex);
    auto &held = c.mine();
    auto it = held.find(key);
    if (it == held.end() || --it->second.count > 0)
        return;
    ::close(it->second.fd); // the lock goes with the process's only descriptor of the file
    held.erase(it);
}

Load load(const std::string &key, SavedState *out) {
    if (state_dir().empty())
        return Load::None;
    const int fd = open_regular(path_of(key, ".state"), O_RDONLY, false);
    if (fd < 0)
        return errno == ENOENT ? Load::None : Load::Damaged;
    struct stat st;
    std::string text;
    bool ok =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= kMaxStateBytes;
    if (ok) {
        char buf[kMaxStateBytes + 1];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() <= kMaxStateBytes)
            text.append(buf, static_cast<size_t>(n));
        ok = n == 0 && text.size() <= kMaxStateBytes;
    }
    ::close(fd);
    return ok && parse_state(text, out) ? Load::Loaded : Load::Damaged;
}

bool save(const std::string &key, SavedState *state) {
    if (state_dir().empty())
        return false;
    static std::atomic<uint64_t> serial{0};
    state->saved_unix_s = unix_now();
    state->token = new_token();
    const std::string text = format_state(*state);
    if (text.empty())
        return false;
    // A name no other writer uses: this process and its count of writes.
    const std::string tmp = state_dir() + "/." + key + "." + std::to_string(::getpid()) + "." +
                            std::to_string(serial.fetch_add(1)) + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    const bool written = ::close(fd) == 0 && done == text.size();
    if (!written || ::rename(tmp.c_str(), path_of(key, ".state").c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool power_off(const std::string &key) {
    if (state_dir().empty())
        return true;
    Claims &c = claims();
    std::lock_guard lock(c.mutex);
    if (c.mine().count(key)) {
        // Held here: the caller has the camera; it loses power all the same.
        ::unlink(path_of(key, ".state").c_str());
        return true;
    }
    bool failed = false, refused = false;
    const int fd = lock_file(key, &failed, &refused);
    if (fd < 0)
        return failed; // held by another process (or its lock is not a file): its state stays
    ::unlink(path_of(key, ".state").c_str());
    ::close(fd);
    return true;
}

void power_off_all(std::vector<std::string> *held) {
    if (state_dir().empty())
        return;
    std::set<std::string> keys;
    std::vector<std::string> leftovers;
    scan(&keys, &leftovers);
    for (const std::string &key : keys)
        if (!power_off(key) && held)
            held->push_back(key);
    // Temporary files of writers that died before renaming them (".<key>.<pid>.<n>.tmp").
    for (const std::string &name : leftovers) {
        const size_t end = name.rfind('.', name.size() - 5);
        const size_t begin = end == std::string::npos ? end : name.rfind('.', end - 1);
        uint64_t pid = 0;
        if (begin == std::string::npos || !parse_u64(name.substr(begin + 1, end - begin - 1), 10, &pid))
            continue;
        if (pid != static_cast<uint64_t>(::getpid()) && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
            errno == ESRCH)
            ::unlink((state_dir() + "/" + name).c_str());
    }
}

std::string describe_json() {
    std::string out = "{\"state_dir\": ";
    json_string(&out, state_dir());
    out += ", \"cameras\": [";
    std::set<std::string> keys;
    if (!state_dir().empty())
        scan(&keys, nullptr);
    bool first = true;
    for (const std::string &key : keys) {
        out += first ? "\n  {" : ",\n  {";
        first = false;
        out += "\"key\": ";
        json_string(&out, key);
        long holder = 0;
        bool lock_refused = false;
        {
            Claims &c = claims();
            std::lock_guard lock(c.mutex);
            if (c.mine().count(key)) {
                holder = ::getpid();
            } else if (const int fd = open_regular(path_of(key, ".lock"), O_RDONLY, false); fd >= 0) {
                holder = lock_holder(fd);
                ::close(fd); // not one of ours: closing it drops no lock of this process
            } else {
                lock_refused = errno == kNotRegular;
            }
        }
        out += ", \"held_by\": " + (holder ? std::to_string(holder) : std::string("null"));
        if (lock_refused) { // no process can open the camera: it is not free
            out += ", \"lock_error\": ";
            json_string(&out, path_of(key, ".lock") + " is not a regular file");
        }
        SavedState s;
        const Load l = load(key, &s);
        out += ", \"state\": ";
        out += l == Load::Loaded ? "\"saved\"" : l == Load::Damaged ? "\"damaged\"" : "null";
        if (l == Load::Loaded) {
            // Powered all along: the cooler worked on the sensor since the save.
            CoolerConditions cond;
            cond.warm_c = s.warm_c;
            cond.ambient_c = s.ambient_c;
            cond.on = s.cooler_on;
            cond.target_c = static_cast<double>(s.target_c);
            // A camera that a process has open runs on that process's clock (perhaps sped up):
            // its figures are those of its last save. A free one has run on at real speed.
            const double age = std::clamp(unix_now() - s.saved_unix_s, 0.0, 1e9);
            const double ran = holder ? 0.0 : age;
            out += ", \"model\": ";
            json_string(&out, s.model);
            const double now_c = sensor_after(s.temperature_c, ran, cond);
            out += ", \"temperature_c\": " + json_number(now_c);
            out += ", \"cooler_on\": ";
            out += s.cooler_on ? "true" : "false";
            out += ", \"target_c\": " + std::to_string(s.target_c);
            out += ", \"cooler_power\": " + json_number(100.0 * cooler_power(now_c, cond));
            out += ", \"clock_s\": " + json_number(s.clock_s);
            out += ", \"frames\": " + std::to_string(s.frames);
            out += ", \"saved_s_ago\": " + json_number(age);
        }
        out += "}";
    }
    out += first ? "]}" : "\n]}";
    return out;
}

} // namespace asisim::machine
