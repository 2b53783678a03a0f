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

// What a process runs, as the policy numbers it.
struct program {
    __u32 id;     // 1 + the program number; 0: no profile lists it
    __u32 flags;  // its entry's flags
    int dropped;  // the process gave that identity up (foreign code, a tracer)
};

static __always_inline __u32 generation(void)
{
    __u32 zero = 0;
    __u32 *gen = bpf_map_lookup_elem(&qv_generation, &zero);
    return gen ? *gen : 0;
}

static __always_inline struct program program_of(void *slot, struct task_struct *task)
{
    struct program p = {};
    struct qv_identity *id = bpf_task_storage_get(&qv_identity, task, 0, 0);
    p.dropped = id && id->dropped;
    struct task_struct *leader = task->group_leader;
    if (!p.dropped && leader && leader != task) {
        struct qv_identity *lid = bpf_task_storage_get(&qv_identity, leader, 0, 0);
        p.dropped = lid && lid->dropped;
    }
    __u32 gen = generation();
    if (id && id->cached == gen + 1) {
        p.id = id->program;
        p.flags = id->program_flags;
        return p;
    }
    struct qv_rule *r = 0;
    if (id && id->has_current) {
        r = find(slot, QV_KEY_PROGRAM, 0, id->current.dev, id->current.ino);
    } else {
        struct mm_struct *mm = task->mm;
        struct file *exe = mm ? mm->exe_file : 0;
        if (exe) {
            struct inode *inode = exe->f_inode;
            r = find(slot, QV_KEY_PROGRAM, 0, inode->i_sb->s_dev, inode->i_ino);
        }
    }
    if (r) {
        p.id = r->profile + 1;
        p.flags = r->flags;
    }
    if (id) {
        id->program = p.id;
        id->program_flags = p.flags;
        id->cached = gen + 1;
    }
    return p;
}

// A dropped identity lists nothing for an allow list, and still counts for
// a deny list: dropping never turns a refusal into a permission.
static __always_inline int program_listed(void *slot, const struct qv_rule *r, struct task_struct *task)
{
    struct program p = program_of(slot, task);
    if (!p.id || (p.dropped && (r->flags & QV_RULE_ALLOW_LIST)))
        return 0;
    return find(slot, QV_KEY_EXE, r->profile, p.id - 1, 0) != 0;
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

// --- Identity: what a process's program is worth, and who may reach into it.
// A program acts only through code root keeps; foreign code or a tracer in
// the process ends its identity, and other programs may not reach into a
// process an allow list names.

#define CAP_SYS_PTRACE 19
#define PTRACE_MODE_ATTACH 0x02
#define PROT_EXEC 0x4
#define VM_EXEC 0x4
#define MNT_NOSUID 0x01
#define RLIM_NLIMITS 16
#define S_IFREG 0100000

// CAP_SYS_PTRACE in the initial user namespace: root may debug anything.
static __always_inline int privileged(struct task_struct *task)
{
    const struct cred *cred = task->cred;
    __u32 caps = 0;  // the low word, in every layout of kernel_cap_t
    bpf_probe_read_kernel(&caps, sizeof caps, &cred->cap_effective);
    return (caps & (1u << CAP_SYS_PTRACE)) && BPF_CORE_READ(cred, user_ns, level) == 0;
}

// A file only root can have written: root owns it, no one else may write
// it, and it lies on a mount of the initial namespace that honours
// set-user-ID bits (user and removable-media mounts are nosuid).
static __always_inline int root_kept(struct file *file)
{
    struct inode *inode = file->f_inode;
    if (inode->i_uid.val != 0 || (inode->i_mode & 0022))
        return 0;
    if (BPF_CORE_READ(file, f_path.mnt, mnt_flags) & MNT_NOSUID)
        return 0;
    return BPF_CORE_READ(inode, i_sb, s_user_ns, level) == 0;
}

// Ends the identity of task's process until its next execve (children it
// forks keep the mark, and so do its other threads, through the leader's):
// 1 the first time, when some profile lists its program (worth a report).
static __always_inline int drop_identity(struct task_struct *task)
{
    struct qv_identity *id = bpf_task_storage_get(&qv_identity, task, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
    if (!id || id->dropped)
        return 0;
    void *slot = active_slot();
    struct program p = {};
    if (slot)
        p = program_of(slot, task);
    id->dropped = 1;
    struct task_struct *leader = task->group_leader;
    if (leader && leader != task) {
        struct qv_identity *lid = bpf_task_storage_get(&qv_identity, leader, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
        if (lid)
            lid->dropped = 1;
    }
    return p.id && !p.dropped;
}

// 1 when reacher may not reach into target: target runs a program an allow
// list names, and reacher is neither that program nor privileged.
static __always_inline int shielded(struct task_struct *target, struct task_struct *reacher)
{
    void *slot = active_slot();
    if (!slot)
        return 0;
    struct program program = program_of(slot, target);
    if (!program.id || program.dropped || !(program.flags & QV_RULE_IN_ALLOW_LIST))
        return 0;
    if (privileged(reacher))
        return 0;
    struct program theirs = program_of(slot, reacher);
    return theirs.dropped || theirs.id != program.id;
}

static __always_inline void report_dropped_code(struct file *file, struct task_struct *task)
{
    struct qv_event *e = record_begin((__u32)bpf_get_current_uid_gid(), 1);
    if (!e)
        return;
    // Names only: these hooks may not build paths.
    e->kind = QV_EVENT_DROPPED_CODE;
    bpf_probe_read_kernel_str(e->object, sizeof e->object, BPF_CORE_READ(file, f_path.dentry, d_name.name));
    struct mm_struct *mm = task->mm;
    struct file *exe = mm ? mm->exe_file : 0;
    if (exe)
        bpf_probe_read_kernel_str(e->exe, sizeof e->exe, BPF_CORE_READ(exe, f_path.dentry, d_name.name));
    bpf_ringbuf_submit(e, 0);
}

// Code the process maps to run: from a file outside root's keeping it ends
// the identity; the mapping itself goes ahead. The process's own executable
// is its identity already, and code owned by the (non-root) owner of that
// executable gives nothing its owner could not write into the program.
static __always_inline void judge_code(struct file *file)
{
    if (root_kept(file))
        return;
    struct task_struct *task = bpf_get_current_task_btf();
    struct inode *inode = file->f_inode;
    struct qv_identity *id = bpf_task_storage_get(&qv_identity, task, 0, 0);
    if (id && id->has_current && id->current.ino == inode->i_ino && id->current.dev == inode->i_sb->s_dev)
        return;
    struct mm_struct *mm = task->mm;
    struct file *exe = mm ? mm->exe_file : 0;
    if (exe && (exe->f_inode == inode || (inode->i_uid.val != 0 && exe->f_inode->i_uid.val == inode->i_uid.val)))
        return;
    if (drop_identity(task))
        report_dropped_code(file, task);
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

static __always_inline void report_dropped_traced(struct file *file, struct task_struct *tracer)
{
    struct qv_event *e = record_begin((__u32)bpf_get_current_uid_gid(), 1);
    if (!e)
        return;
    e->kind = QV_EVENT_DROPPED_TRACED;
    bpf_probe_read_kernel_str(e->object, sizeof e->object, tracer->comm);
    bpf_probe_read_kernel_str(e->exe, sizeof e->exe, BPF_CORE_READ(file, f_path.dentry, d_name.name));
    bpf_ringbuf_submit(e, 0);
}

// ... becomes the process's program once the execve can no longer fail;
// not for a process a tracer without CAP_SYS_PTRACE holds, which would
// command it.
SEC("lsm/bprm_committed_creds")
int BPF_PROG(qv_bprm_committed_creds, struct linux_binprm *bprm)
{
    struct task_struct *task = bpf_get_current_task_btf();
    struct qv_identity *id = bpf_task_storage_get(&qv_identity, task, 0, 0);
    if (id && id->has_pending) {
        id->current = id->pending;
        id->has_current = 1;
        id->has_pending = 0;
        id->dropped = 0;
        id->cached = 0;
        struct task_struct *tracer = task->parent;
        if (task->ptrace && tracer && !privileged(tracer) && drop_identity(task))
            report_dropped_traced(bprm->file, tracer);
    }
    return 0;
}

SEC("lsm/task_alloc")
int BPF_PROG(qv_task_alloc, struct task_struct *task, unsigned long clone_flags)
{
    struct task_struct *me = bpf_get_current_task_btf();
    struct qv_identity *parent = bpf_task_storage_get(&qv_identity, me, 0, 0);
    if (!parent)
        return 0;
    // Another thread may have dropped the process's identity (on the leader).
    struct qv_identity *leader = bpf_task_storage_get(&qv_identity, me->group_leader, 0, 0);
    __u32 dropped = parent->dropped || (leader && leader->dropped);
    if (!parent->has_current && !dropped)
        return 0;
    struct qv_identity *child = bpf_task_storage_get(&qv_identity, task, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
    if (child) {
        child->current = parent->current;
        child->has_current = parent->has_current;
        child->dropped = dropped;
        child->cached = parent->cached;
        child->program = parent->program;
        child->program_flags = parent->program_flags;
    }
    return 0;
}

SEC("lsm/mmap_file")
int BPF_PROG(qv_identity_mmap, struct file *file, unsigned long reqprot, unsigned long prot, unsigned long flags)
{
    if (file && (prot & PROT_EXEC))
        judge_code(file);
    return 0;
}

SEC("lsm/file_mprotect")
int BPF_PROG(qv_identity_mprotect, struct vm_area_struct *vma, unsigned long reqprot, unsigned long prot)
{
    struct file *file = vma->vm_file;
    if (file && (prot & PROT_EXEC) && !(vma->vm_flags & VM_EXEC))
        judge_code(file);
    return 0;
}

// Attaching, /proc/PID/mem, process_vm_readv and _writev, pidfd_getfd.
// (Reading /proc/PID/stat and the like stays open to process lists.)
SEC("lsm/ptrace_access_check")
int BPF_PROG(qv_identity_ptrace, struct task_struct *child, unsigned int mode)
{
    if ((mode & PTRACE_MODE_ATTACH) && shielded(child, bpf_get_current_task_btf()))
        return -EPERM;
    return 0;
}

SEC("lsm/ptrace_traceme")
int BPF_PROG(qv_identity_traceme, struct task_struct *parent)
{
    return shielded(bpf_get_current_task_btf(), parent) ? -EPERM : 0;
}

// Raising a limit of another program's process (RLIMIT_CORE, then a crash,
// would write its memory to disk); lowering stays open.
SEC("lsm/task_setrlimit")
int BPF_PROG(qv_identity_setrlimit, struct task_struct *p, unsigned int resource, struct rlimit *new_rlim)
{
    if (resource >= RLIM_NLIMITS)
        return 0;
    struct rlimit old = {};
    bpf_probe_read_kernel(&old, sizeof old, &p->signal->rlim[resource]);
    if (new_rlim->rlim_cur <= old.rlim_cur && new_rlim->rlim_max <= old.rlim_max)
        return 0;
    return shielded(p, bpf_get_current_task_btf()) ? -EPERM : 0;
}

// An update: root renames a new executable, which root keeps, over a listed
// one (as dpkg does); the new file is that program from the same moment.
// Anyone else's replacement is a new, unlisted program until the loader
// resolves the listed path again.
SEC("lsm/path_rename")
int BPF_PROG(qv_identity_rename, const struct path *old_dir, struct dentry *old_dentry, const struct path *new_dir,
             struct dentry *new_dentry, unsigned int flags)
{
    struct inode *victim = new_dentry->d_inode;
    struct inode *moving = old_dentry->d_inode;
    if (!victim || !moving || (flags & RENAME_EXCHANGE))
        return 0;
    void *slot = active_slot();
    if (!slot)
        return 0;
    __u32 s_dev = victim->i_sb->s_dev;
    struct qv_rule *program = find(slot, QV_KEY_PROGRAM, 0, s_dev, victim->i_ino);
    if (!program)
        return 0;
    if (BPF_CORE_READ(bpf_get_current_task_btf(), cred, fsuid.val) != 0 || (moving->i_mode & S_IFMT) != S_IFREG ||
        moving->i_uid.val != 0 || (moving->i_mode & 0022))
        return 0;
    struct qv_key k = {.kind = QV_KEY_PROGRAM, .dev = s_dev, .ino = moving->i_ino};
    struct qv_rule copy = *program;
    bpf_map_update_elem(slot, &k, &copy, BPF_ANY);
    return 0;
}

// A listed executable's inode, freed for good, gives nothing to the file
// that takes its number next. (The hook also runs when an inode merely
// leaves the cache; then it still has names.)
SEC("lsm/inode_free_security")
int BPF_PROG(qv_identity_inode_free, struct inode *inode)
{
    if (inode->i_nlink)
        return 0;
    void *slot = active_slot();
    if (!slot)
        return 0;
    struct qv_key k = {.kind = QV_KEY_PROGRAM, .dev = inode->i_sb->s_dev, .ino = inode->i_ino};
    bpf_map_delete_elem(slot, &k);
    return 0;
}
