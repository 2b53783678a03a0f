// SPDX-License-Identifier: GPL-2.0-or-later
// Kernel side of enforcement: lookups and one answer. The loader computes
// every decision's inputs and swaps them in whole; anything this program does
// not find in its maps is allowed.
#include "vmlinux.h"
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "policy_abi.h"

#define EPERM 1
#define ENOSYS 38
#define S_IFMT 00170000
#define S_IFDIR 0040000
#define S_IFCHR 0020000
#define FMODE_READ 0x1
#define FMODE_WRITE 0x2
#define FMODE_EXEC 0x20
#define RENAME_EXCHANGE 2
#define PR_SET_MM 35
#define PR_SET_MM_EXE_FILE 13
#define PR_SET_MM_MAP 14

char LICENSE[] SEC("license") = "GPL";

// One generation of policy: every key kind in one hash.
struct policy {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 1);
    __uint(key_size, sizeof(struct qv_key));
    __uint(value_size, sizeof(struct qv_rule));
};

// Two slots; the loader fills the idle one, then flips the generation word.
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY_OF_MAPS);
    __uint(max_entries, 2);
    __type(key, __u32);
    __array(values, struct policy);
} qv_slots SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u32);
} qv_generation SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 256 * 1024);
} qv_records SEC(".maps");

// The program a process runs: the file its last successful execve named
// (for a #! script, the script), inherited by its children. Processes that
// started before the program was loaded have none: their executable counts.
struct {
    __uint(type, BPF_MAP_TYPE_TASK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct qv_identity);
} qv_identity SEC(".maps");

// Per-CPU record budget and counters.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct qv_counters);
} qv_counters SEC(".maps");

static __always_inline struct qv_rule *find(void *slot, __u32 kind, __u32 profile, __u32 dev, __u64 ino)
{
    struct qv_key k = {.kind = kind, .profile = profile, .dev = dev, .ino = ino};
    return bpf_map_lookup_elem(slot, &k);
}

// The rule governing a dentry: its own or its nearest protected folder's.
static __always_inline struct qv_rule *rule_above(void *slot, struct dentry *d, __u32 s_dev)
{
    for (int i = 0; i < QV_WALK_MAX && d; i++) {
        struct inode *inode = d->d_inode;
        if (inode) {
            struct qv_rule *r = find(slot, QV_KEY_OBJECT, 0, s_dev, inode->i_ino);
            if (r)
                return r;
        }
        struct dentry *parent = d->d_parent;
        if (parent == d)
            break;
        d = parent;
    }
    return 0;
}

static __always_inline int program_listed(void *slot, const struct qv_rule *r, struct task_struct *task)
{
    struct qv_identity *id = bpf_task_storage_get(&qv_identity, task, 0, 0);
    if (id && id->has_current)
        return find(slot, QV_KEY_EXE, r->profile, id->current.dev, id->current.ino) != 0;
    struct mm_struct *mm = task->mm;
    struct file *exe = mm ? mm->exe_file : 0;
    if (!exe)
        return 0;
    struct inode *inode = exe->f_inode;
    return find(slot, QV_KEY_EXE, r->profile, inode->i_sb->s_dev, inode->i_ino) != 0;
}

static __always_inline int allowed_program(void *slot, const struct qv_rule *r, struct task_struct *task)
{
    int listed = (r->flags & QV_RULE_ALL_APPS) != 0 || program_listed(slot, r, task);
    return (r->flags & QV_RULE_ALLOW_LIST) ? listed : !listed;
}

// 1 when rule r refuses the current process (its uid and program).
static __always_inline int refuses(void *slot, const struct qv_rule *r, struct task_struct *task, __u32 uid)
{
    if (!(r->flags & QV_RULE_ALL_UIDS) && !find(slot, QV_KEY_UID, r->profile, uid, 0))
        return 0;
    return !allowed_program(slot, r, task);
}

// Root running the device manager's camera probe (the very file the loader
// found), opening a camera node for reading only: it describes the camera
// for everyone's camera lists. Known by its executable, which no process
// may change while enforcement runs.
static __always_inline int device_probe(void *slot, struct file *file)
{
    if ((__u32)bpf_get_current_uid_gid() != 0 || (file->f_mode & FMODE_WRITE))
        return 0;
    struct mm_struct *mm = bpf_get_current_task_btf()->mm;
    struct file *exe = mm ? mm->exe_file : 0;
    if (!exe)
        return 0;
    struct inode *inode = exe->f_inode;
    return find(slot, QV_KEY_PROBE, 0, inode->i_sb->s_dev, inode->i_ino) != 0;
}

static __always_inline void *active_slot(void)
{
    __u32 zero = 0;
    __u32 *gen = bpf_map_lookup_elem(&qv_generation, &zero);
    if (!gen)
        return 0;
    __u32 idx = *gen & 1;
    return bpf_map_lookup_elem(&qv_slots, &idx);
}

// A record slot within the budget, or 0 (the miss is counted).
static __always_inline struct qv_event *record_begin(__u32 uid, int complain)
{
    __u32 zero = 0;
    struct qv_counters *c = bpf_map_lookup_elem(&qv_counters, &zero);
    if (!c)
        return 0;
    __u64 now = bpf_ktime_get_ns();
    if (now - c->window_start > QV_RECORD_WINDOW_NS) {
        c->window_start = now;
        c->in_window = 0;
    }
    if (c->in_window >= QV_RECORDS_PER_WINDOW) {
        c->dropped++;
        return 0;
    }
    struct qv_event *e = bpf_ringbuf_reserve(&qv_records, sizeof *e, 0);
    if (!e) {
        c->dropped++;
        return 0;
    }
    c->in_window++;
    c->sent++;
    e->uid = uid;
    e->pid = bpf_get_current_pid_tgid() >> 32;
    e->complain = complain;
    e->kind = QV_EVENT_PATHS;
    e->object[0] = 0;
    e->exe[0] = 0;
    return e;
}

static __always_inline void report(struct file *file, struct task_struct *task, __u32 uid, int complain)
{
    struct qv_event *e = record_begin(uid, complain);
    if (!e)
        return;
    bpf_d_path((struct path *)&file->f_path, e->object, sizeof e->object);
    struct mm_struct *mm = task->mm;
    struct file *exe = mm ? mm->exe_file : 0;
    if (exe)
        bpf_d_path((struct path *)&exe->f_path, e->exe, sizeof e->exe);
    bpf_ringbuf_submit(e, 0);
}

// Where the kernel gives no path (links, renames): the names alone.
static __always_inline void report_names(struct dentry *object, struct task_struct *task, __u32 uid, int complain)
{
    struct qv_event *e = record_begin(uid, complain);
    if (!e)
        return;
    e->kind = QV_EVENT_NAMES;
    bpf_probe_read_kernel_str(e->object, sizeof e->object, BPF_CORE_READ(object, d_name.name));
    struct mm_struct *mm = task->mm;
    struct file *exe = mm ? mm->exe_file : 0;
    if (exe)
        bpf_probe_read_kernel_str(e->exe, sizeof e->exe, BPF_CORE_READ(exe, f_path.dentry, d_name.name));
    bpf_ringbuf_submit(e, 0);
}

// The answer for a link or rename that rule r decides.
static __always_inline int judge_names(void *slot, const struct qv_rule *r, struct dentry *object)
{
    if (!(r->perm & (QV_PERM_BIT_READ | QV_PERM_BIT_WRITE)))
        return 0;
    struct task_struct *task = bpf_get_current_task_btf();
    __u32 uid = (__u32)bpf_get_current_uid_gid();
    if (!refuses(slot, r, task, uid))
        return 0;
    int complain = (r->flags & QV_RULE_COMPLAIN) != 0;
    report_names(object, task, uid, complain);
    return complain ? 0 : -EPERM;
}

SEC("lsm/file_open")
int BPF_PROG(qv_file_open, struct file *file)
{
    void *slot = active_slot();
    if (!slot)
        return 0;
    struct inode *inode = file->f_inode;
    if (!inode)
        return 0;
    umode_t mode = inode->i_mode;
    __u32 s_dev = inode->i_sb->s_dev;
    struct qv_rule *r;
    if ((mode & S_IFMT) == S_IFCHR) {
        r = find(slot, QV_KEY_DEVICE, 0, inode->i_rdev, 0);
        if (r && device_probe(slot, file))
            return 0;
    } else {
        // A file system that holds no protected object leaves at once.
        if (!find(slot, QV_KEY_SUPERBLOCK, 0, s_dev, 0))
            return 0;
        r = rule_above(slot, file->f_path.dentry, s_dev);
    }
    if (!r)
        return 0;

    __u32 want = 0;
    if ((mode & S_IFMT) == S_IFDIR)
        want = QV_PERM_BIT_LIST;
    else {
        if (file->f_mode & FMODE_READ)
            want |= QV_PERM_BIT_READ;
        if (file->f_mode & FMODE_WRITE)
            want |= QV_PERM_BIT_WRITE;
        // execve opens with __FMODE_EXEC in f_flags; newer kernels copy it
        // into f_mode too.
        if ((file->f_mode & FMODE_EXEC) || (file->f_flags & FMODE_EXEC))
            want |= QV_PERM_BIT_EXEC;
    }
    if (!(want & r->perm))
        return 0;

    __u32 uid = (__u32)bpf_get_current_uid_gid();
    struct task_struct *task = bpf_get_current_task_btf();
    if (!refuses(slot, r, task, uid))
        return 0;
    int complain = (r->flags & QV_RULE_COMPLAIN) != 0;
    report(file, task, uid, complain);
    return complain ? 0 : -EPERM;
}

// A hard link to anything in a protected tree, made outside that tree, would
// be a second way in.
SEC("lsm/path_link")
int BPF_PROG(qv_path_link, struct dentry *old_dentry, const struct path *new_dir, struct dentry *new_dentry)
{
    void *slot = active_slot();
    if (!slot)
        return 0;
    __u32 s_dev = old_dentry->d_sb->s_dev;
    if (!find(slot, QV_KEY_SUPERBLOCK, 0, s_dev, 0))
        return 0;
    struct qv_rule *r = rule_above(slot, old_dentry, s_dev);
    if (!r)
        return 0;
    struct qv_rule *there = rule_above(slot, new_dir->dentry, s_dev);
    if (there && there->profile == r->profile)
        return 0;
    return judge_names(slot, r, old_dentry);
}

// Moving something out of a protected tree, or over a protected file, would
// unprotect it, and so would moving the protected object away from the path
// its profile names. A permitted replacement of a protected file hands the
// protection to the incoming file at once; the next reload finds it by path.
SEC("lsm/path_rename")
int BPF_PROG(qv_path_rename, const struct path *old_dir, struct dentry *old_dentry, const struct path *new_dir,
             struct dentry *new_dentry, unsigned int flags)
{
    void *slot = active_slot();
    if (!slot)
        return 0;
    __u32 s_dev = old_dentry->d_sb->s_dev;
    if (!find(slot, QV_KEY_SUPERBLOCK, 0, s_dev, 0))
        return 0;
    struct inode *moving = old_dentry->d_inode;
    struct qv_rule *from = rule_above(slot, old_dir->dentry, s_dev);
    struct qv_rule *to = rule_above(slot, new_dir->dentry, s_dev);
    struct qv_rule *self = moving ? find(slot, QV_KEY_OBJECT, 0, s_dev, moving->i_ino) : 0;
    int r;
    if (self) {
        // The protected object itself: only a program it allows may move it
        // (its protection goes with it until the next reload).
        if ((r = judge_names(slot, self, old_dentry)))
            return r;
    } else if (from && (!to || to->profile != from->profile)) {
        if ((r = judge_names(slot, from, old_dentry)))
            return r;
    }
    // An exchange moves the other object the opposite way.
    if ((flags & RENAME_EXCHANGE) && to && (!from || to->profile != from->profile)) {
        if ((r = judge_names(slot, to, new_dentry)))
            return r;
    }
    struct inode *victim = new_dentry->d_inode;
    if (!victim || (flags & RENAME_EXCHANGE))
        return 0;
    struct qv_rule *over = rule_above(slot, new_dentry, s_dev);
    if (!over)
        return 0;
    if ((r = judge_names(slot, over, new_dentry)))
        return r;
    if (moving && find(slot, QV_KEY_OBJECT, 0, s_dev, victim->i_ino) == over) {
        struct qv_key k = {.kind = QV_KEY_OBJECT, .dev = s_dev, .ino = moving->i_ino};
        struct qv_rule copy = *over;
        bpf_map_update_elem(slot, &k, &copy, BPF_ANY);
    }
    return 0;
}

// A process may not change its executable link (PR_SET_MM_EXE_FILE, or an
// exe_fd in PR_SET_MM_MAP) while enforcement runs.
// The hook's "no opinion" is -ENOSYS: 0 would end every other prctl call
// before it does anything.
SEC("lsm/task_prctl")
int BPF_PROG(qv_task_prctl, int option, unsigned long arg2)
{
    if (option == PR_SET_MM && (arg2 == PR_SET_MM_EXE_FILE || arg2 == PR_SET_MM_MAP) && active_slot())
        return -EPERM;
    return -ENOSYS;
}

// The file execve was asked to run (a script, not its interpreter).
SEC("lsm/bprm_creds_for_exec")
int BPF_PROG(qv_bprm_creds_for_exec, struct linux_binprm *bprm)
{
    struct qv_identity *id =
        bpf_task_storage_get(&qv_identity, bpf_get_current_task_btf(), 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
    struct file *file = bprm->file;
    if (!id || !file)
        return 0;
    struct inode *inode = file->f_inode;
    id->pending.dev = inode->i_sb->s_dev;
    id->pending.ino = inode->i_ino;
    id->has_pending = 1;
    return 0;
}

// ... becomes the process's program once the execve can no longer fail.
SEC("lsm/bprm_committed_creds")
int BPF_PROG(qv_bprm_committed_creds, struct linux_binprm *bprm)
{
    struct qv_identity *id = bpf_task_storage_get(&qv_identity, bpf_get_current_task_btf(), 0, 0);
    if (id && id->has_pending) {
        id->current = id->pending;
        id->has_current = 1;
        id->has_pending = 0;
    }
    return 0;
}

SEC("lsm/task_alloc")
int BPF_PROG(qv_task_alloc, struct task_struct *task, unsigned long clone_flags)
{
    struct qv_identity *parent = bpf_task_storage_get(&qv_identity, bpf_get_current_task_btf(), 0, 0);
    if (!parent || !parent->has_current)
        return 0;
    struct qv_identity *child = bpf_task_storage_get(&qv_identity, task, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
    if (child) {
        child->current = parent->current;
        child->has_current = 1;
    }
    return 0;
}
