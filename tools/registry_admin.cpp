// registry_admin.cpp - registry-admin: the table of commands, the shared options, and main.
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/admin_command.h"
#include "tools/admin_user.h"

namespace {

// ---- the table --------------------------------------------------------------------

struct admin_flag {
    const char *name;
    bool takes_value;
};

// One row per command line a handler serves. A command with subcommands (gc)
// has a row for each, sub naming the second word ("" for the command alone).
struct admin_command {
    const char *name;
    const char *sub;
    const char *synopsis; // what follows the words in the list of commands
    const char *summary;  // the list's line
    const char *help;     // the text of NAME --help
    std::vector<admin_flag> flags;
    size_t min_args, max_args; // positional arguments
    const char *missing;       // the message when fewer than min_args are given
    int (*run)(const admin_call &call);
    bool own_parser; // run gets the words as given and parses them itself
};

int run_user(const admin_call &call) { return admin_user_command(call.o.words, call.o.instance); }

const std::vector<admin_command> kCommands = {
    {"gc", "", "[--dry-run]", "collect unreferenced blobs and abandoned uploads", kHelpGc,
     {{"--dry-run", false}}, 0, 0, nullptr, admin_gc_run, false},
    {"gc", "status", "[--watch]", "show (or follow) the progress of a collection in another process", kHelpGc,
     {{"--watch", false}}, 0, 0, nullptr, admin_gc_status, false},
    {"gc", "cancel", "", "ask a running collection to stop", kHelpGc, {}, 0, 0, nullptr, admin_gc_cancel, false},
    {"retention", "", "[--dry-run] [--keep N] [--days D] [--include-latest]",
     "delete old tags (defaults from the settings file)", kHelpRetention,
     {{"--dry-run", false}, {"--keep", true}, {"--days", true}, {"--include-latest", false}}, 0, 0, nullptr,
     admin_retention, false},
    {"usage", "", "", "what the store holds, in all and per repository", kHelpUsage, {}, 0, 0, nullptr, admin_usage,
     false},
    {"ls", "", "[REPO]", "the repositories, or one repository's tags", kHelpLs, {}, 0, 1, nullptr, admin_ls, false},
    {"check", "", "[--repair]", "verify the whole tree; --repair moves damaged files aside", kHelpCheck,
     {{"--repair", false}}, 0, 0, nullptr, admin_check, false},
    {"backup", "", "DEST", "copy the store into DEST while pushes go on", kHelpBackup, {}, 1, 1,
     "no destination given", admin_backup, false},
    {"user", "", "add|passwd|del|ls", "the users of the password file (see user --help)", kHelpUser, {}, 0, 0,
     nullptr, run_user, true},
};

// ---- help -------------------------------------------------------------------------

constexpr char kHelpHead[] =
    "Usage: registry-admin [--root DIR] [--instance DIR] [--json] COMMAND [OPTIONS]\n"
    "\n"
    "Maintenance of the registry's storage tree, run on the registry host.\n"
    "\n";

constexpr char kHelpTail[] =
    "\n"
    "Options (before or after the command):\n"
    "  --root DIR      storage root (else REGISTRY_STORAGE_ROOT, else the settings\n"
    "                  file config.json of the instance directory, else ./registry_storage)\n"
    "  --instance DIR  instance directory holding config.json (default: the current directory)\n"
    "  --json          print the engine's JSON instead of tables\n"
    "  --help          this text; COMMAND --help for one command\n"
    "\n"
    "Exit status: 0 success, 1 the engine refused or failed (message on standard error),\n"
    "2 usage error.\n";

// The list of commands, one row of the table a line: the summary in a column
// of its own, on the same line while the whole fits in 80 columns, else below.
void print_commands(FILE *out) {
    constexpr size_t kColumn = 20, kWidth = 80;
    fprintf(out, "Commands:\n");
    for (const admin_command &c : kCommands) {
        std::string words = c.name;
        if (*c.sub) words = words + " " + c.sub;
        if (*c.synopsis) words = words + " " + c.synopsis;
        size_t line = 2 + words.size() + 2 + std::string(c.summary).size();
        if (words.size() <= kColumn)
            fprintf(out, "  %-*s  %s\n", static_cast<int>(kColumn), words.c_str(), c.summary);
        else if (line <= kWidth)
            fprintf(out, "  %s  %s\n", words.c_str(), c.summary);
        else
            fprintf(out, "  %s\n  %-*s  %s\n", words.c_str(), static_cast<int>(kColumn), "", c.summary);
    }
}

int print_main_help() {
    fputs(kHelpHead, stdout);
    print_commands(stdout);
    fputs(kHelpTail, stdout);
    return kExitOk;
}

// The first row of the command, whose help text its other rows share; nullptr for an unknown name.
const admin_command *find_command(const std::string &name) {
    for (const admin_command &c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

const admin_command *find_row(const std::string &name, const std::string &sub) {
    for (const admin_command &c : kCommands)
        if (name == c.name && sub == c.sub) return &c;
    return nullptr;
}

bool has_subcommands(const std::string &name) {
    for (const admin_command &c : kCommands)
        if (name == c.name && *c.sub) return true;
    return false;
}

int unknown_command(const std::string &name) {
    int status = admin_usage_error("unknown command: " + name, nullptr);
    fprintf(stderr, "\n");
    print_commands(stderr);
    return status;
}

// ---- the command line -------------------------------------------------------------

// Takes the options every command shares from anywhere on the line.
bool parse_common(int argc, char **argv, admin_options &o, std::string &error) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *name, std::string &out) {
            std::string prefix = std::string(name) + "=";
            if (a.compare(0, prefix.size(), prefix) == 0) {
                out = a.substr(prefix.size());
            } else if (i + 1 < argc) {
                out = argv[++i];
            } else {
                error = std::string(name) + " needs a directory";
                return false;
            }
            if (out.empty()) {
                error = std::string(name) + " needs a directory";
                return false;
            }
            return true;
        };
        if (a == "--json") {
            o.json = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--root" || a.rfind("--root=", 0) == 0) {
            if (!value("--root", o.root)) return false;
        } else if (a == "--instance" || a.rfind("--instance=", 0) == 0) {
            if (!value("--instance", o.instance)) return false;
        } else {
            o.words.push_back(a);
        }
    }
    return true;
}

// The row's own options and positional arguments from words[from]; anything
// else is a usage error.
bool parse_row(const admin_command &row, const std::vector<std::string> &words, size_t from, admin_call &call,
               std::string &error) {
    for (size_t i = from; i < words.size(); ++i) {
        const std::string &w = words[i];
        if (w.size() < 2 || w[0] != '-') {
            call.args.push_back(w);
            continue;
        }
        std::string name = w, value;
        size_t eq = w.find('=');
        if (eq != std::string::npos) {
            name = w.substr(0, eq);
            value = w.substr(eq + 1);
        }
        const admin_flag *spec = nullptr;
        for (const admin_flag &f : row.flags)
            if (name == f.name) spec = &f;
        if (!spec) {
            error = "unknown option: " + w;
            return false;
        }
        if (spec->takes_value && eq == std::string::npos) {
            if (i + 1 >= words.size()) {
                error = name + " needs a value";
                return false;
            }
            value = words[++i];
        } else if (!spec->takes_value && eq != std::string::npos) {
            error = name + " takes no value";
            return false;
        }
        call.flags.emplace_back(name, value);
    }
    if (call.args.size() > row.max_args) {
        error = "unexpected argument: " + call.args[row.max_args];
        return false;
    }
    if (call.args.size() < row.min_args) {
        error = row.missing;
        return false;
    }
    return true;
}

int run_command(const admin_options &o) {
    const std::string &name = o.words[0];
    const admin_command *command = find_command(name);
    if (!command) {
        if (name[0] == '-') return admin_usage_error("unknown option: " + name, nullptr);
        return unknown_command(name);
    }
    if (o.help) return fputs(command->help, stdout), kExitOk;
    // A subcommand is the second word unless that is an option: "gc --dry-run" is gc itself.
    std::string sub = has_subcommands(name) && o.words.size() > 1 && o.words[1][0] != '-' ? o.words[1] : "";
    const admin_command *row = find_row(name, sub);
    if (!row) return admin_usage_error("unknown " + name + " command: " + sub, command->name);
    admin_call call{o, {}, {}};
    std::string error;
    if (!row->own_parser && !parse_row(*row, o.words, sub.empty() ? 1 : 2, call, error))
        return admin_usage_error(error, command->name);
    return row->run(call);
}

// "help" alone is --help; "help COMMAND" is COMMAND --help.
int run_help(const admin_options &o) {
    if (o.words.size() < 2) return print_main_help();
    const admin_command *command = find_command(o.words[1]);
    if (!command) return unknown_command(o.words[1]);
    return fputs(command->help, stdout), kExitOk;
}

} // namespace

int main(int argc, char **argv) {
    admin_options o;
    std::string error;
    if (!parse_common(argc, argv, o, error)) return admin_usage_error(error, nullptr);
    if (o.words.empty()) {
        if (o.help) return print_main_help();
        return admin_usage_error("no command given", nullptr);
    }
    if (o.words[0] == "help") return run_help(o);
    return run_command(o);
}
