/* platform.h - the registry's only door to the operating system (POSIX). */
#ifndef QF_PLATFORM_H
#define QF_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Kind of an entry; a query that fails counts as absent. Symbolic links are followed. */
enum { PLAT_ABSENT = 0, PLAT_FILE = 1, PLAT_DIR = 2 };
int plat_entry_kind(const char *path);
/* The same with the last-write time in Unix seconds from the same look (-1
 * when absent or before 1970): one round trip on a network file system. */
int plat_entry_kind_time(const char *path, int64_t *mtime);
/* The same with the size in bytes too (-1 when absent); either out may be NULL. */
int plat_entry_kind_size_time(const char *path, int64_t *size, int64_t *mtime);

/* Size in bytes and last-write time in Unix seconds of a path (links followed).
 * The time is -1 when it cannot be had or lies before 1970. Returns 0 or -1. */
int plat_file_info(const char *path, int64_t *size, int64_t *mtime);
/* Size and last-write time in nanoseconds since 1970 (links followed): tells
 * apart two writes within one second. Returns 0 or -1 (absent, unreadable). */
int plat_file_stamp(const char *path, int64_t *size, int64_t *mtime_ns);
/* Everything that tells one version of a file from another, from one look:
 * device and inode (a file put in place by a rename is another file), size,
 * last-write and last-change times to the nanosecond. The change time cannot be
 * set back by a program the way the write time can (utimes). */
typedef struct {
    uint64_t dev, ino;
    int64_t size, mtime_ns, ctime_ns;
    int is_link; /* the path itself is a symbolic link (looked at without following) */
    int is_dir;
} plat_file_id;
/* One look at path, following links when follow is 1, else the entry itself:
 * 0, PLAT_MISSING (-2) when nothing is there, or -1. Counted as PLAT_OP_STAT. */
int plat_file_identity(const char *path, int follow, plat_file_id *id);
/* The same for an open descriptor. */
int plat_fd_identity(int fd, plat_file_id *id);
/* 1 when a and b name the same version of a file (every field equal). */
int plat_file_id_equal(const plat_file_id *a, const plat_file_id *b);

/* A test's hold point: opens the FIFO "<base>.here" for writing, which returns
 * once the test opens it for reading (the test then knows where the process
 * is), then the FIFO base for reading, which returns once the test opens it for
 * writing. Returns at once when either is not a FIFO. */
void plat_hold_at_fifos(const char *base);

/* Directory enumeration. Entries come in the file system's order, "." and ".."
 * included. is_dir follows symbolic links (a link to a directory reports 1);
 * is_link tells such entries apart so that removals never walk through them. */
typedef struct plat_dir plat_dir;
plat_dir *plat_dir_open(const char *path);
int plat_dir_next(plat_dir *dir, const char **name, int *is_dir, int *is_link); /* 1 entry, 0 end */
/* After plat_dir_next answered 0: 1 when the enumeration stopped on a read
 * error rather than at the end, so entries may have been left unseen. */
int plat_dir_failed(const plat_dir *dir);
void plat_dir_close(plat_dir *dir);

/* Is the path itself a symbolic link (not followed)? 1 or 0. */
int plat_is_link(const char *path);

/* Directory and file operations. plat_mkdir answers PLAT_EXISTS when the entry
 * is already there, whatever kind it is. */
enum { PLAT_EXISTS = 1 };
int plat_mkdir(const char *path);
int plat_rmdir(const char *path);
int plat_unlink(const char *path);
int plat_rename(const char *from, const char *to); /* replaces an existing target */

/* Unbuffered append-only file for the access log: write-only, appending,
 * created with mode 0644. Returns a descriptor or -1. */
int plat_open_append(const char *path);
long plat_write(int fd, const void *data, size_t len);
/* 0, or -1 when the close reported an error: bytes written before it may be
 * lost (a network file system reports a full disk only here). */
int plat_close(int fd);

/* Files of the storage tree. plat_create_excl makes an empty file only when
 * nothing is at the path yet, so it can never empty a file another process
 * owns: 0, PLAT_EXISTS (any kind of entry), or -1. plat_open_append_existing
 * opens a file write-only for appending and never creates it: a descriptor,
 * PLAT_MISSING when no file is there (absent, a directory, a missing parent),
 * or -1. plat_write_all writes every byte, resuming short writes: 0 or -1. */
enum { PLAT_MISSING = -2 };
int plat_create_excl(const char *path);
/* The same, and the file then receives data, written in place (a reader may
 * see it empty or partly written) and with PLAT_SYNC flushed: 0, PLAT_EXISTS,
 * PLAT_MISSING when the directory is missing, or -1 (a file made and not
 * fully written stays, for the caller to remove). Counted as a create, a
 * write, a flush when asked and a close. */
int plat_create_excl_write(const char *path, const void *data, size_t len, int flags);
/* Gives the file at from a second name to, only when nothing is there yet
 * (the file appears whole, content and all): 0, PLAT_EXISTS, or -1. */
int plat_link_excl(const char *from, const char *to);
int plat_open_append_existing(const char *path);
int plat_write_all(int fd, const void *data, size_t len);
/* Sets a path's last-write (and access) time to now, links followed: 0,
 * PLAT_MISSING when nothing is at the path, or -1. */
int plat_touch(const char *path);

/* The absolute, link-free form of an existing path into out (cap bytes):
 * 0, or -1 when it does not exist or does not fit. */
int plat_absolute_path(const char *path, char *out, size_t cap);

/* Runs fn(arg) in a new process of its own session that outlives the caller
 * and holds none of its descriptors (the standard streams lead to /dev/null,
 * every other one is closed), so a web server sees the request end while the
 * work goes on. The new process ends without running exit handlers. 0 once it
 * is started, -1 when it cannot be. */
typedef void (*plat_task_fn)(void *arg);
int plat_spawn_detached(plat_task_fn fn, void *arg);
/* Reading. plat_open_read opens a file read-only: a descriptor or -1.
 * plat_read answers the bytes read (0 at the end) or -1. plat_read_file reads
 * at most cap - 1 bytes from the file's start into buf and terminates them:
 * 0 (len_out, when not NULL, gets the count) or -1. */
int plat_open_read(const char *path);
long plat_read(int fd, void *buf, size_t len);
int plat_read_file(const char *path, char *buf, size_t cap, size_t *len_out);

/* Flushing to disk. plat_fsync makes a file's bytes durable, plat_fsync_path
 * does the same for a file by name, plat_fsync_dir makes a directory's
 * entries (files created, renamed into it or removed) durable. 0 or -1. */
int plat_fsync(int fd);
int plat_fsync_path(const char *path);
int plat_fsync_dir(const char *path);
/* Starts writing a written range of an open file to disk without waiting for
 * it, so a later plat_fsync of a large file finds little left to do. Only a
 * hint: it makes nothing durable, has no fault id, and a file system without
 * it is no error. 0 or -1. */
int plat_start_writeback(int fd, int64_t offset, int64_t len);
/* Writes past the page cache: plat_set_direct(fd, 1) turns it on for an open
 * file (0 turns it off) and fails, changing nothing, where the file system
 * cannot. While on, writes must start at a multiple of PLAT_DIRECT_ALIGN in
 * the file, from memory aligned so, and be multiples of it long; the bytes
 * are durable only after plat_fsync, as ever. plat_write_all_direct writes
 * every byte like plat_write_all, and when the file system refuses a write
 * past the page cache it turns that off (*direct becomes 0) and writes the
 * rest through the page cache, so no byte is written twice. 0 or -1. */
#define PLAT_DIRECT_ALIGN 4096
int plat_set_direct(int fd, int on);
int plat_write_all_direct(int fd, const void *data, size_t len, int *direct);

/* Replaces the file at path with exactly len bytes, whole or not at all: the
 * bytes go to a temporary file in the same directory, whose name starts with
 * PLAT_TEMP_PREFIX, and that file is renamed over the target, so a reader or a
 * crash sees the old content or the new, never a part. With PLAT_SYNC the
 * temporary is flushed to disk before the rename and the directory after it.
 * 0; or -1 with the temporary removed (the target is untouched unless only the
 * directory's flush failed, which leaves the new content not yet durable). */
enum { PLAT_SYNC = 1, PLAT_PRIVATE = 2, PLAT_NO_DIR_SYNC = 4 };
/* PLAT_PRIVATE: the new file has mode 0600 whatever the umask, and keeps the
 * owner and group of the file it replaces where the process may set them.
 * PLAT_NO_DIR_SYNC (with PLAT_SYNC): the temporary is flushed, the directory
 * is not; the caller flushes it, once for several files replaced in it. */
#define PLAT_TEMP_PREFIX ".tmp-"
int plat_write_file_atomic(const char *path, const void *data, size_t len, int flags);
/* 1 when a directory entry's name is that of such a temporary, else 0. */
int plat_is_temp_name(const char *name);

/* Bytes from the kernel's random source: 0 when all len bytes were had, else -1. */
int plat_random_bytes(void *buf, size_t len);
/* The calling process's id. */
uint32_t plat_process_id(void);
/* This machine's host name into out (cap bytes): 0, or -1. */
int plat_host_name(char *out, size_t cap);
/* 0 only when no process of this id runs on this machine; 1 when one does or
 * it cannot be told. */
int plat_process_alive(uint32_t pid);

/* Monotonic clock in milliseconds. */
uint64_t plat_monotonic_ms(void);
/* Wall clock in whole Unix seconds. */
int64_t plat_wall_seconds(void);

/* Standard streams carry bytes untranslated here; kept as one call so every
 * caller states where binary mode is required. */
void plat_stream_binary(int fd);

/* Fault injection for tests: the nth call (1 = the next) of the named
 * operation fails with EIO; 0 switches it off. */
typedef enum {
    PLAT_OP_MKDIR,
    PLAT_OP_RMDIR,
    PLAT_OP_UNLINK,
    PLAT_OP_RENAME,
    PLAT_OP_OPEN_APPEND,
    PLAT_OP_CREATE_EXCL,
    PLAT_OP_OPEN_EXISTING,
    PLAT_OP_RANDOM,
    PLAT_OP_DIR_OPEN, /* plat_dir_open fails */
    PLAT_OP_DIR_READ, /* the directory's first plat_dir_next ends with a read error */
    PLAT_OP_OPEN_READ,
    PLAT_OP_READ,
    PLAT_OP_WRITE,       /* plat_write, plat_write_all and the writes of plat_write_file_atomic */
    PLAT_OP_FSYNC,       /* plat_fsync, plat_fsync_path, and a temporary's flush */
    PLAT_OP_FSYNC_DIR,   /* plat_fsync_dir, and the directory's flush after a replacement */
    PLAT_OP_CLOSE,       /* plat_close, and the close of a temporary */
    PLAT_OP_CREATE_TEMP, /* the creation of plat_write_file_atomic's temporary */
    PLAT_OP_TOUCH,
    PLAT_OP_LOCK, /* plat_lock_file */
    PLAT_OP_STAT,     /* counted only: plat_entry_kind, plat_file_info, plat_is_link, plat_fd_size, plat_*_identity */
    PLAT_OP_TRUNCATE, /* counted only: plat_truncate */
    PLAT_OP_COUNT
} plat_op;
void plat_fault_inject(plat_op op, int nth);
/* Every call of every kind above is counted in this process (a plain counter
 * per kind: on a network file system each is a round trip, and benchmarks
 * read the counts). plat_op_count answers the calls since the last reset. */
uint64_t plat_op_count(plat_op op);
void plat_op_counts_reset(void);
/* The same with the given errno in place of EIO (ENOSPC: a full disk). */
void plat_fault_inject_errno(plat_op op, int nth, int err);
/* 1 while a fault armed with plat_fault_inject has not fired yet, else 0. */
int plat_fault_pending(plat_op op);
/* Every call of the named operation on exactly this path fails with EIO (for
 * PLAT_OP_DIR_OPEN, PLAT_OP_DIR_READ and PLAT_OP_MKDIR); NULL switches it off. */
void plat_fault_inject_path(plat_op op, const char *path);

/* Race simulation for tests: fn(arg) runs just before the nth call (1 = the
 * next) of the named operation, which then proceeds; calls that fn makes do
 * not count. nth 0 or a null fn switches it off. */
typedef void (*plat_hook_fn)(void *arg);
void plat_hook_inject(plat_op op, int nth, plat_hook_fn fn, void *arg);
/* The same, armed by place: fn(arg) runs just before the first call of the
 * named operation on exactly this path (for PLAT_OP_MKDIR); a null path or fn
 * switches it off. */
void plat_hook_inject_path(plat_op op, const char *path, plat_hook_fn fn, void *arg);

/* ---- For command-line tools ---- */
/* Changes the working directory: 0 or -1. */
int plat_chdir(const char *path);
/* The working directory into out (cap bytes): 0, or -1 when it does not fit or cannot be had. */
int plat_current_dir(char *out, size_t cap);
/* 1 when the descriptor is a terminal, else 0. */
int plat_is_terminal(int fd);
/* Columns of the terminal on the descriptor, 0 when unknown. */
int plat_terminal_columns(int fd);
/* Upload part files. plat_truncate cuts a file back to size bytes (an append
 * that must be undone); plat_fd_size gives the size of an open file. 0 or -1. */
int plat_truncate(const char *path, int64_t size);
int plat_fd_size(int fd, int64_t *size);

/* Advisory lock shared by cooperating processes: opens (creating with mode
 * 0600) the file at path and waits for its exclusive lock. A descriptor to
 * hand to plat_unlock_file, or -1. */
int plat_lock_file(const char *path);
void plat_unlock_file(int fd);
/* Switches the echo of typed characters on a terminal off (on = 0) or back
 * on: 0, or -1 when the descriptor is no terminal. */
int plat_terminal_echo(int fd, int on);

/* Interrupts of a command-line tool: from plat_on_interrupt on, Ctrl-C
 * (SIGINT), and SIGTERM too when also_terminate is 1, call fn with the
 * signal's number instead of ending the process. fn runs in a signal handler:
 * it may only set a flag of type sig_atomic_t, restore the terminal or call
 * plat_interrupt_end. Interrupted system calls are restarted. What the
 * signals did before is kept in the returned record; plat_interrupt_restore
 * puts it back and frees the record. NULL when nothing was changed. */
typedef void (*plat_interrupt_fn)(int sig);
typedef struct plat_interrupt plat_interrupt;
plat_interrupt *plat_on_interrupt(plat_interrupt_fn fn, int also_terminate);
void plat_interrupt_restore(plat_interrupt *saved);
/* From an interrupt handler: ends the process by the signal's default
 * action, so the parent sees it killed by sig, as without the handler. */
void plat_interrupt_end(int sig);

#ifdef __cplusplus
}
#endif

#endif
