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
#define S_IFMT 00170000
#define S_IFDIR 0040000
#define S_IFCHR 0020000
#define FMODE_READ 0x1
#define FMODE_WRITE 0x2
#define FMODE_EXEC 0x20

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

// The rule governing inode, found by walking the dentry's parents.
static __always_inline struct qv_rule *protected_by(void *slot, struct file *file, __u32 s_dev)
{
    struct dentry *d = file->f_path.dentry;
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

static __always_inline int allowed_program(void *slot, const struct qv_rule *r, struct task_struct *task)
{
    int listed = (r->flags & QV_RULE_ALL_APPS) != 0;
    if (!listed) {
        struct mm_struct *mm = task->mm;
        struct file *exe = mm ? mm->exe_file : 0;
        if (exe) {
            struct inode *inode = exe->f_inode;
            listed = find(slot, QV_KEY_EXE, r->profile, inode->i_sb->s_dev, inode->i_ino) != 0;
        }
    }
    return (r->flags & QV_RULE_ALLOW_LIST) ? listed : !listed;
}

static __always_inline void report(struct file *file, struct task_struct *task, __u32 uid, int complain)
{
    __u32 zero = 0;
    struct qv_counters *c = bpf_map_lookup_elem(&qv_counters, &zero);
    if (!c)
        return;
    __u64 now = bpf_ktime_get_ns();
    if (now - c->window_start > QV_RECORD_WINDOW_NS) {
        c->window_start = now;
        c->in_window = 0;
    }
    if (c->in_window >= QV_RECORDS_PER_WINDOW) {
        c->dropped++;
        return;
    }
    struct qv_event *e = bpf_ringbuf_reserve(&qv_records, sizeof *e, 0);
    if (!e) {
        c->dropped++;
        return;
    }
    c->in_window++;
    c->sent++;
    e->uid = uid;
    e->pid = bpf_get_current_pid_tgid() >> 32;
    e->complain = complain;
    e->object[0] = 0;
    e->exe[0] = 0;
    bpf_d_path((struct path *)&file->f_path, e->object, sizeof e->object);
    struct mm_struct *mm = task->mm;
    struct file *exe = mm ? mm->exe_file : 0;
    if (exe)
        bpf_d_path((struct path *)&exe->f_path, e->exe, sizeof e->exe);
    bpf_ringbuf_submit(e, 0);
}

SEC("lsm/file_open")
int BPF_PROG(qv_file_open, struct file *file)
{
    __u32 zero = 0;
    __u32 *gen = bpf_map_lookup_elem(&qv_generation, &zero);
    if (!gen)
        return 0;
    __u32 idx = *gen & 1;
    void *slot = bpf_map_lookup_elem(&qv_slots, &idx);
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
    } else {
        // A file system that holds no protected object leaves at once.
        if (!find(slot, QV_KEY_SUPERBLOCK, 0, s_dev, 0))
            return 0;
        r = protected_by(slot, file, s_dev);
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
    if (!(r->flags & QV_RULE_ALL_UIDS) && !find(slot, QV_KEY_UID, r->profile, uid, 0))
        return 0;

    struct task_struct *task = bpf_get_current_task_btf();
    if (allowed_program(slot, r, task))
        return 0;
    int complain = (r->flags & QV_RULE_COMPLAIN) != 0;
    report(file, task, uid, complain);
    return complain ? 0 : -EPERM;
}
