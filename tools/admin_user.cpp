// admin_user.cpp - registry-admin user add|passwd|del|ls: the password file, rewritten whole and renamed over.
#include "tools/admin_user.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "auth/passwd_file.h"
#include "base/settings.h"
#include "platform/platform.h"

const char kHelpUser[] =
    "Usage: registry-admin user add NAME [--role read|write|admin] [--password-stdin]\n"
    "       registry-admin user passwd NAME [--password-stdin]\n"
    "       registry-admin user del NAME\n"
    "       registry-admin user ls\n"
    "\n"
    "Manages the password file of the instance directory: the file named by\n"
    "\"registry_auth_file\" in config.json, else htpasswd. New passwords are hashed\n"
    "with yescrypt; other lines (comments, other users, htpasswd -B lines) are kept\n"
    "as they are. The file is written beside and renamed over, mode 0600.\n"
    "The password is read from the terminal without echo, twice, or as one line\n"
    "from standard input when that is not a terminal (or with --password-stdin).\n"
    "  --role R          read (pull), write (pull and push) or admin (everything);\n"
    "                    default read\n"
    "  --file PATH       the password file to manage instead\n"
    "  --password-stdin  read the password as one line from standard input\n";

namespace {

constexpr char kProg[] = "registry-admin";
enum { kOk = 0, kFailed = 1, kUsage = 2 };
constexpr size_t kPasswordMax = 1024;
constexpr size_t kPathCap = 4096;
constexpr char kDefaultFile[] = "htpasswd";

int failure(const std::string &message) {
    fprintf(stderr, "%s: %s\n", kProg, message.c_str());
    return kFailed;
}

int usage(const std::string &message) {
    fprintf(stderr, "%s: %s\nTry '%s user --help'.\n", kProg, message.c_str(), kProg);
    return kUsage;
}

// The whole file: 0, PLAT_MISSING when nothing is there, or -1.
int read_whole(const std::string &path, std::string &text) {
    int64_t size = 0;
    if (plat_entry_kind(path.c_str()) == PLAT_ABSENT) return PLAT_MISSING;
    if (plat_file_info(path.c_str(), &size, nullptr) != 0 || size < 0) return -1;
    std::vector<char> buf(static_cast<size_t>(size) + 2);
    size_t len = 0;
    if (plat_read_file(path.c_str(), buf.data(), buf.size(), &len) != 0 || len != static_cast<size_t>(size))
        return -1;
    text.assign(buf.data(), len);
    return 0;
}

// The password file by the setting of config.json in the working directory.
bool password_file_path(std::string &path) {
    std::string settings;
    int rc = read_whole("config.json", settings);
    if (rc == -1) return false;
    char named[kPathCap];
    path = rc == 0 && settings_str_in(settings.c_str(), SETTINGS_AUTH_FILE, named, sizeof named) && named[0]
               ? named
               : kDefaultFile;
    return true;
}

// One line from the stream without its line end; false at the end of input or
// for a line longer than kPasswordMax.
bool read_line(FILE *in, std::string &line) {
    char buf[kPasswordMax + 3];
    if (!fgets(buf, sizeof buf, in)) return false;
    size_t len = strlen(buf);
    bool ended = len > 0 && buf[len - 1] == '\n';
    bool whole = ended || feof(in);
    if (ended) buf[--len] = '\0';
    if (len > 0 && buf[len - 1] == '\r') buf[--len] = '\0';
    if (whole) line.assign(buf, len);
    explicit_bzero(buf, sizeof buf);
    return whole;
}

// Ctrl-C at the prompt must not leave the terminal without echo.
extern "C" void restore_echo_and_exit(int sig) {
    plat_terminal_echo(0, 1);
    plat_interrupt_end(sig);
}

// The prompt shows once echo is off and Ctrl-C would restore it, so that
// nothing typed in answer to it is ever shown.
bool prompt_hidden(const char *prompt, std::string &line) {
    plat_interrupt *saved = plat_on_interrupt(restore_echo_and_exit, 1);
    bool hidden = plat_terminal_echo(0, 0) == 0;
    fputs(prompt, stderr);
    fflush(stderr);
    bool got = read_line(stdin, line);
    if (hidden) plat_terminal_echo(0, 1);
    plat_interrupt_restore(saved);
    fputc('\n', stderr);
    return got;
}

// The new password: typed twice on a terminal, else one line of standard input.
bool read_password(const std::string &name, bool from_stdin, std::string &password, std::string &error) {
    if (from_stdin || !plat_is_terminal(0)) {
        if (!read_line(stdin, password)) {
            error = "no password on standard input (one line, at most 1024 bytes)";
            return false;
        }
    } else {
        std::string again;
        if (!prompt_hidden(("Password for " + name + ": ").c_str(), password) ||
            !prompt_hidden("Password again: ", again)) {
            error = "no password given";
            return false;
        }
        bool same = password == again;
        explicit_bzero(again.data(), again.size());
        if (!same) {
            error = "the passwords differ";
            return false;
        }
    }
    if (password.empty()) {
        error = "empty password refused";
        return false;
    }
    if (password.find('\0') != std::string::npos) {
        error = "password holds a zero byte";
        return false;
    }
    return true;
}

struct user_args {
    std::string action;
    std::string name;
    std::string file;
    passwd_role role = passwd_role::read;
    bool role_given = false;
    bool password_stdin = false;
    bool help = false;
};

int parse_args(const std::vector<std::string> &words, user_args &a) {
    std::vector<std::string> positional;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string &w = words[i];
        auto value = [&](const char *flag, std::string &out) {
            std::string prefix = std::string(flag) + "=";
            if (w.compare(0, prefix.size(), prefix) == 0)
                out = w.substr(prefix.size());
            else if (i + 1 < words.size())
                out = words[++i];
            else
                return false;
            return !out.empty();
        };
        if (w == "--password-stdin") {
            a.password_stdin = true;
        } else if (w == "--role" || w.rfind("--role=", 0) == 0) {
            std::string role;
            if (!value("--role", role) || !passwd_role_parse(role, a.role))
                return usage("--role needs read, write or admin");
            a.role_given = true;
        } else if (w == "--file" || w.rfind("--file=", 0) == 0) {
            if (!value("--file", a.file)) return usage("--file needs a path");
        } else if (w.size() > 1 && w[0] == '-') {
            return usage("unknown option: " + w);
        } else {
            positional.push_back(w);
        }
    }
    if (positional.empty()) return usage("no user command given");
    a.action = positional[0];
    bool named = a.action == "add" || a.action == "passwd" || a.action == "del";
    if (!named && a.action != "ls") return usage("unknown user command: " + a.action);
    if (named && positional.size() < 2) return usage(a.action + " needs a user name");
    if (positional.size() > (named ? 2u : 1u)) return usage("unexpected argument: " + positional.back());
    if (named) a.name = positional[1];
    if (a.role_given && a.action != "add") return usage("--role is for add only");
    if (a.password_stdin && a.action != "add" && a.action != "passwd")
        return usage("--password-stdin is for add and passwd only");
    if (named) {
        if (std::string why = passwd_name_problem(a.name); !why.empty()) return usage(why);
    }
    return kOk;
}

int list_users(const passwd_file &file) {
    printf("%-24s %s\n", "USER", "ROLE");
    for (const passwd_user &u : file.users)
        printf("%-24s %s\n", u.name.c_str(), passwd_role_name(u.role));
    return kOk;
}

// Applies the change to file; kOk or the exit status of the refusal.
int change(const user_args &a, passwd_file &file, const std::string &path) {
    int at = passwd_find(file, a.name);
    if (a.action == "add" && at >= 0)
        return failure("user '" + a.name + "' already exists (" + path + " line " +
                       std::to_string(file.users[static_cast<size_t>(at)].line) + ")");
    if (a.action != "add" && at < 0) return failure("no user '" + a.name + "' in " + path);
    if (a.action == "del") {
        file.lines.erase(file.lines.begin() + static_cast<long>(file.users[static_cast<size_t>(at)].line - 1));
        return kOk;
    }
    std::string password, error, hash;
    if (!read_password(a.name, a.password_stdin, password, error)) return failure(error);
    bool made = passwd_hash_new(password.c_str(), hash);
    explicit_bzero(password.data(), password.size());
    if (!made) return failure("libcrypt could not make a yescrypt hash");
    if (a.action == "add") {
        file.lines.push_back(passwd_line(a.name, hash, a.role));
    } else {
        const passwd_user &u = file.users[static_cast<size_t>(at)];
        file.lines[u.line - 1] = passwd_line(a.name, hash, u.role);
    }
    return kOk;
}

std::string done_text(const user_args &a, const std::string &path) {
    if (a.action == "add") return "Added user " + a.name + " (" + passwd_role_name(a.role) + ") to " + path + ".";
    if (a.action == "passwd") return "Changed the password of user " + a.name + " in " + path + ".";
    return "Removed user " + a.name + " from " + path + ".";
}

int run(const user_args &a, const std::string &path) {
    // Two runs at once would each rewrite the file from what they read: one at a time.
    int lock = a.action == "ls" ? -1 : plat_lock_file((path + ".lock").c_str());
    if (a.action != "ls" && lock < 0) return failure("cannot lock " + path + ".lock");
    std::string text;
    int rc = read_whole(path, text);
    passwd_file file;
    passwd_error err;
    int status = kOk;
    if (rc == -1) {
        status = failure("cannot read " + path);
    } else if (!passwd_parse(text, file, err)) {
        status = failure(path + " line " + std::to_string(err.line) + ": " + err.message + " (file left as it is)");
    } else if (a.action == "ls") {
        status = list_users(file);
    } else if ((status = change(a, file, path)) == kOk) {
        std::string out = passwd_serialise(file);
        passwd_file check;
        // What we write must read back, or the registry would refuse every request.
        if (!passwd_parse(out, check, err))
            status = failure("refusing to write " + path + ": line " + std::to_string(err.line) + ": " + err.message);
        else if (plat_write_file_atomic(path.c_str(), out.data(), out.size(), PLAT_SYNC | PLAT_PRIVATE) != 0)
            status = failure("cannot write " + path + ": " + strerror(errno));
        else
            printf("%s\n", done_text(a, path).c_str());
    }
    if (lock >= 0) plat_unlock_file(lock);
    return status;
}

} // namespace

int admin_user_command(const std::vector<std::string> &words, const std::string &instance) {
    user_args a;
    int status = parse_args(words, a);
    if (status != kOk) return status;
    std::string path = a.file;
    if (!path.empty() && path[0] != '/' && !instance.empty()) {
        char here[kPathCap];
        if (plat_current_dir(here, sizeof here) == 0) path = std::string(here) + "/" + path;
    }
    if (!instance.empty() && plat_chdir(instance.c_str()) != 0)
        return failure("cannot enter instance directory: " + instance);
    if (path.empty() && !password_file_path(path)) return failure("cannot read config.json");
    return run(a, path);
}
