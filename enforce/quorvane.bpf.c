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

// Per-CPU record counters.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct qv_counters);
} qv_counters SEC(".maps");

// The record budget of each user.
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, QV_BUDGET_USERS);
    __type(key, __u32);
    __type(value, struct qv_budget);
} qv_budget SEC(".maps");

// Which (dev, ino) may be protected objects (see struct qv_filter).
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __uint(map_flags, BPF_F_MMAPABLE);
    __type(key, __u32);
    __type(value, struct qv_filter);
} qv_objects SEC(".maps");

static __always_inline struct qv_filter *objects_filter(void)
{
    __u32 zero = 0;
    return bpf_map_lookup_elem(&qv_objects, &zero);
}

// 0 when (dev, ino) is surely no protected object.
static __always_inline int maybe_object(const struct qv_filter *f, __u32 dev, __u64 ino)
{
    if (!f)
        return 1;
    __u32 bit = qv_filter_bit(dev, ino);
    return (f->words[(bit >> 6) & (QV_FILTER_WORDS - 1)] >> (bit & 63)) & 1;
}

// Sets the filter's bit of an object about to be written (0), or says
// there is no filter (-1).
static __always_inline int mark_object(__u32 dev, __u64 ino)
{
    struct qv_filter *filter = objects_filter();
    if (!filter)
        return -1;
    __u32 bit = qv_filter_bit(dev, ino);
    __sync_fetch_and_or(&filter->words[(bit >> 6) & (QV_FILTER_WORDS - 1)], 1ULL << (bit & 63));
    return 0;
}

static __always_inline struct qv_rule *find(void *slot, __u32 kind, __u32 profile, __u32 dev, __u64 ino)
{
    struct qv_key k = {.kind = kind, .profile = profile, .dev = dev, .ino = ino};
    return bpf_map_lookup_elem(slot, &k);
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

// The slot of generation gen (step 0), or the other one (step 1). Both are
// taken from one reading of the generation, so that a flip in between
// cannot make them the same.
static __always_inline void *slot_of(__u32 gen, __u32 step)
{
    __u32 idx = (gen + step) & 1;
    return bpf_map_lookup_elem(&qv_slots, &idx);
}

static __always_inline void *active_slot(void)
{
    return slot_of(generation(), 0);
}

// A hand-over (or a freed inode's removal) also goes to the other slot: a
// loader putting a new generation there would otherwise lose what happens
// between its look at the file system and its flip. A slot that is not
// coming into force is replaced whole at the next reload.

// In slot, key k takes the rule of key from there, or else the rule that
// slot gives the profile (or program) numbered ruled->profile in force.
static __always_inline void hand_over(void *slot, struct qv_key *from, struct qv_key *k,
                                      const struct qv_rule *ruled)
{
    struct qv_rule *was = slot ? bpf_map_lookup_elem(slot, from) : 0;
    if (!was && slot && ruled) {
        struct qv_key renumber = {
            .kind = k->kind == QV_KEY_OBJECT ? QV_KEY_RENUMBER : QV_KEY_RENUMBER_PROGRAM,
            .profile = ruled->profile,
        };
        was = bpf_map_lookup_elem(slot, &renumber);
    }
    if (was) {
        struct qv_rule copy = *was;
        if (k->kind != QV_KEY_OBJECT || mark_object(k->dev, k->ino) == 0)
            bpf_map_update_elem(slot, k, &copy, BPF_ANY);
    }
}


// One step up the folders, from w->d: stops at a protected object (found)
// or at the file system's root (d = 0).
struct qv_walk {
    void *slot;
    __u64 d;
    __u64 ino;
    __u32 dev;
    __u32 found;
};

static long walk_step(__u32 i, struct qv_walk *w)
{
    struct dentry *d = (struct dentry *)w->d;
    struct inode *inode = BPF_CORE_READ(d, d_inode);
    if (inode) {
        __u64 ino = BPF_CORE_READ(inode, i_ino);
        if (find(w->slot, QV_KEY_OBJECT, 0, w->dev, ino)) {
            w->ino = ino;
            w->found = 1;
            return 1;
        }
    }
    struct dentry *parent = BPF_CORE_READ(d, d_parent);
    w->d = parent == d ? 0 : (__u64)parent;
    return w->d == 0;
}

// Governs a tree deeper than any walk can climb: every program is refused.
static const struct qv_rule qv_too_deep = {
    .profile = ~0U,
    .perm = QV_PERM_READ | QV_PERM_WRITE | QV_PERM_EXEC | QV_PERM_LIST,
    .flags = QV_RULE_ALLOW_LIST | QV_RULE_ALL_UIDS,
};

// The climb past the first levels, from a dentry the program may only
// read through helpers: a BPF loop as long as the kernel allows. No depth
// loses protection: past that, the answer is a refusal.
static __always_inline const struct qv_rule *walk_from(void *slot, __u64 d, __u32 dev, __u64 *at)
{
    struct qv_walk w = {.slot = slot, .d = d, .dev = dev};
    if (!d)  // nothing to climb from: refused, as too deep
        return &qv_too_deep;
    bpf_loop(QV_WALK_MAX, walk_step, &w, 0);
    if (w.found) {
        if (at)
            *at = w.ino;
        return find(slot, QV_KEY_OBJECT, 0, dev, w.ino);
    }
    return w.d ? &qv_too_deep : 0;
}

// The rule governing a dentry: its own or its nearest protected folder's
// (*at: that object's inode number). The first levels, where nearly every
// answer lies, are read directly.
static __always_inline const struct qv_rule *rule_above(void *slot, const struct qv_filter *filter, struct dentry *d,
                                                        __u32 dev, __u64 *at)
{
    for (int i = 0; i < QV_WALK_DIRECT; i++) {
        struct inode *inode = d->d_inode;
        if (inode && maybe_object(filter, dev, inode->i_ino)) {
            struct qv_rule *r = find(slot, QV_KEY_OBJECT, 0, dev, inode->i_ino);
            if (r) {
                if (at)
                    *at = inode->i_ino;
                return r;
            }
        }
        struct dentry *parent = d->d_parent;
        if (!parent || parent == d)
            return 0;
        d = parent;
    }
    return walk_from(slot, (__u64)d, dev, at);
}

// The policy in force, when file system sb holds a protected object, and
// the filter of protected objects (*filter) that the walk then uses.
static __always_inline void *slot_for(struct super_block *sb, const struct qv_filter **filter)
{
    void *slot = active_slot();
    *filter = objects_filter();
    if (slot && !maybe_object(*filter, sb->s_dev, 0))
        return 0;
    return slot;
}

// A record slot within its user's budget, or 0 (the miss is counted). Each
// user has a budget of their own, so one user's flood never silences
// another's blocks or complain reports.
static __always_inline struct qv_event *record_begin(__u32 uid, int complain, __u32 kind)
{
    __u32 zero = 0;
    struct qv_counters *c = bpf_map_lookup_elem(&qv_counters, &zero);
    if (!c)
        return 0;
    struct qv_budget *b = bpf_map_lookup_elem(&qv_budget, &uid);
    if (!b) {
        struct qv_budget fresh = {};
        bpf_map_update_elem(&qv_budget, &uid, &fresh, BPF_NOEXIST);
        b = bpf_map_lookup_elem(&qv_budget, &uid);
    }
    if (!b) {
        c->dropped++;
        return 0;
    }
    __u64 now = bpf_ktime_get_ns();
    if (now - b->window_start > QV_RECORD_WINDOW_NS) {
        b->window_start = now;
        b->in_window = 0;
    }
    if (b->in_window >= QV_RECORDS_PER_WINDOW) {
        c->dropped++;
        return 0;
    }
    struct qv_event *e = bpf_ringbuf_reserve(&qv_records, sizeof *e, 0);
    if (!e) {
        c->dropped++;
        return 0;
    }
    __sync_fetch_and_add(&b->in_window, 1);
    c->sent++;
    e->uid = uid;
    e->pid = bpf_get_current_pid_tgid() >> 32;
    e->complain = complain;
    e->kind = kind;
    e->object[0] = 0;
    e->exe[0] = 0;
    return e;
}

// The record of a refusal: full paths where the kernel lends a path (file,
// an open), else the final names (object).
static __always_inline void report(struct file *file, struct dentry *object, __u32 kind, struct task_struct *task,
                                   __u32 uid, int complain)
{
    struct qv_event *e = record_begin(uid, complain, kind);
    if (!e)
        return;
    struct mm_struct *mm = task->mm;
    struct file *exe = mm ? mm->exe_file : 0;
    if (file) {
        bpf_d_path((struct path *)&file->f_path, e->object, sizeof e->object);
        if (exe)
            bpf_d_path((struct path *)&exe->f_path, e->exe, sizeof e->exe);
    } else {
        bpf_probe_read_kernel_str(e->object, sizeof e->object, BPF_CORE_READ(object, d_name.name));
        if (exe)
            bpf_probe_read_kernel_str(e->exe, sizeof e->exe, BPF_CORE_READ(exe, f_path.dentry, d_name.name));
    }
    bpf_ringbuf_submit(e, 0);
}

// The one answer to an access of kinds want that rule r governs: a program
// the rule refuses gets -EPERM (0 in complain mode) and a record.
static __always_inline int judge(void *slot, const struct qv_rule *r, __u32 want, struct file *file,
                                 struct dentry *object, __u32 kind)
{
    if (!r || !(r->perm & want))
        return 0;
    struct task_struct *task = bpf_get_current_task_btf();
    __u32 uid = (__u32)bpf_get_current_uid_gid();
    if (!refuses(slot, r, task, uid))
        return 0;
    int complain = (r->flags & QV_RULE_COMPLAIN) != 0;
    report(file, object, kind, task, uid, complain);
    return complain ? 0 : -EPERM;
}

// The rule over an opened file. When the open came through another view (an
// overlay's path over the real file), the walk starts from one of the real
// file's names on its real file system.
static __always_inline const struct qv_rule *rule_of_file(void *slot, const struct qv_filter *filter,
                                                          struct file *file, struct inode *inode, __u32 dev)
{
    struct dentry *d = file->f_path.dentry;
    if (d->d_inode == inode)
        return rule_above(slot, filter, d, dev, 0);
    __u64 alias = (__u64)BPF_CORE_READ(inode, i_dentry.first);
    return walk_from(slot, alias ? alias - bpf_core_field_offset(struct dentry, d_u.d_alias) : 0, dev, 0);
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
    const struct qv_rule *r;
    if ((mode & S_IFMT) == S_IFCHR) {
        r = find(slot, QV_KEY_DEVICE, 0, inode->i_rdev, 0);
        if (r && device_probe(slot, file))
            return 0;
    } else {
        // A file system that holds no protected object leaves at once.
        const struct qv_filter *filter = objects_filter();
        if (!maybe_object(filter, s_dev, 0))
            return 0;
        r = rule_of_file(slot, filter, file, inode, s_dev);
    }

    __u32 want = 0;
    if ((mode & S_IFMT) == S_IFDIR)
        want = QV_PERM_LIST;
    else {
        if (file->f_mode & FMODE_READ)
            want |= QV_PERM_READ;
        if (file->f_mode & FMODE_WRITE)
            want |= QV_PERM_WRITE;
        // execve opens with __FMODE_EXEC in f_flags; newer kernels copy it
        // into f_mode too.
        if ((file->f_mode & FMODE_EXEC) || (file->f_flags & FMODE_EXEC))
            want |= QV_PERM_EXEC;
    }
    return judge(slot, r, want, file, 0, QV_EVENT_PATHS);
}

// Changing a protected tree: the write bit decides. The kernel calls these
// from every route into the real file system, overlay layers included.
static __always_inline int judge_change(struct dentry *dentry, __u32 kind)
{
    const struct qv_filter *filter;
    void *slot = slot_for(dentry->d_sb, &filter);
    if (!slot)
        return 0;
    const struct qv_rule *r = rule_above(slot, filter, dentry, dentry->d_sb->s_dev, 0);
    return judge(slot, r, QV_PERM_WRITE, 0, dentry, kind);
}

SEC("lsm/inode_create")
int BPF_PROG(qv_inode_create, struct inode *dir, struct dentry *dentry, umode_t mode)
{
    return judge_change(dentry, QV_EVENT_CHANGE);
}

SEC("lsm/inode_mkdir")
int BPF_PROG(qv_inode_mkdir, struct inode *dir, struct dentry *dentry, umode_t mode)
{
    return judge_change(dentry, QV_EVENT_CHANGE);
}

SEC("lsm/inode_mknod")
int BPF_PROG(qv_inode_mknod, struct inode *dir, struct dentry *dentry, umode_t mode, dev_t dev)
{
    return judge_change(dentry, QV_EVENT_CHANGE);
}

SEC("lsm/inode_symlink")
int BPF_PROG(qv_inode_symlink, struct inode *dir, struct dentry *dentry, const char *old_name)
{
    return judge_change(dentry, QV_EVENT_CHANGE);
}

SEC("lsm/inode_unlink")
int BPF_PROG(qv_inode_unlink, struct inode *dir, struct dentry *dentry)
{
    return judge_change(dentry, QV_EVENT_CHANGE);
}

SEC("lsm/inode_rmdir")
int BPF_PROG(qv_inode_rmdir, struct inode *dir, struct dentry *dentry)
{
    return judge_change(dentry, QV_EVENT_CHANGE);
}

// chmod, chown, truncate, utimes: by path or by descriptor.
SEC("lsm/inode_setattr")
int BPF_PROG(qv_inode_setattr, struct dentry *dentry, struct iattr *attr)
{
    return judge_change(dentry, QV_EVENT_CHANGE);
}

// Extended attributes, POSIX ACLs among them.
SEC("lsm/inode_setxattr")
int BPF_PROG(qv_inode_setxattr, struct user_namespace *mnt_userns, struct dentry *dentry, const char *name,
             const void *value, size_t size, int flags)
{
    return judge_change(dentry, QV_EVENT_CHANGE);
}

SEC("lsm/inode_removexattr")
int BPF_PROG(qv_inode_removexattr, struct user_namespace *mnt_userns, struct dentry *dentry, const char *name)
{
    return judge_change(dentry, QV_EVENT_CHANGE);
}

// A hard link is a change of the tree it lands in; made outside the tree of
// what it names, it would also be a second way in.
SEC("lsm/inode_link")
int BPF_PROG(qv_inode_link, struct dentry *old_dentry, struct inode *dir, struct dentry *new_dentry)
{
    const struct qv_filter *filter;
    void *slot = slot_for(old_dentry->d_sb, &filter);
    if (!slot)
        return 0;
    __u32 dev = old_dentry->d_sb->s_dev;
    const struct qv_rule *from = rule_above(slot, filter, old_dentry, dev, 0);
    const struct qv_rule *to = rule_above(slot, filter, new_dentry, dev, 0);
    int r;
    if (from && (!to || to->profile != from->profile) &&
        (r = judge(slot, from, QV_PERM_READ | QV_PERM_WRITE, 0, old_dentry, QV_EVENT_NAMES)))
        return r;
    return judge(slot, to, QV_PERM_WRITE, 0, new_dentry, QV_EVENT_NAMES);
}

// A move changes both trees; out of a tree, or moving the protected object
// away from the path its profile names, it would also unprotect. An
// exchange comes here twice, once each way. A permitted replacement of a
// protected file hands the protection to the incoming file at once (the
// next reload finds it by path); when that cannot be recorded, the
// replacement is refused.
SEC("lsm/inode_rename")
int BPF_PROG(qv_inode_rename, struct inode *old_dir, struct dentry *old_dentry, struct inode *new_dir,
             struct dentry *new_dentry)
{
    __u32 gen = generation();
    void *slot = slot_of(gen, 0);
    const struct qv_filter *filter = objects_filter();
    if (!slot || !maybe_object(filter, old_dentry->d_sb->s_dev, 0))
        return 0;
    __u32 dev = old_dentry->d_sb->s_dev;
    struct inode *moving = old_dentry->d_inode;
    const struct qv_rule *self = moving ? find(slot, QV_KEY_OBJECT, 0, dev, moving->i_ino) : 0;
    const struct qv_rule *from = rule_above(slot, filter, old_dentry->d_parent, dev, 0);
    const struct qv_rule *to = rule_above(slot, filter, new_dentry->d_parent, dev, 0);
    int leaving = from && (!to || to->profile != from->profile);
    int r;
    if ((r = judge(slot, self, QV_PERM_READ | QV_PERM_WRITE, 0, old_dentry, QV_EVENT_NAMES)))
        return r;
    if ((r = judge(slot, from, QV_PERM_WRITE | (leaving ? QV_PERM_READ : 0), 0, old_dentry, QV_EVENT_NAMES)))
        return r;
    if ((!from || leaving) && (r = judge(slot, to, QV_PERM_WRITE, 0, new_dentry, QV_EVENT_NAMES)))
        return r;
    struct inode *victim = new_dentry->d_inode;
    if (!victim)
        return 0;
    __u64 at = 0;
    const struct qv_rule *over = rule_above(slot, filter, new_dentry, dev, &at);
    if ((r = judge(slot, over, QV_PERM_WRITE, 0, new_dentry, QV_EVENT_NAMES)))
        return r;
    if (moving && over && at == victim->i_ino) {
        struct qv_key k = {.kind = QV_KEY_OBJECT, .dev = dev, .ino = moving->i_ino};
        struct qv_rule copy = *over;
        if (mark_object(dev, k.ino) != 0 || bpf_map_update_elem(slot, &k, &copy, BPF_ANY) != 0) {
            report(0, new_dentry, QV_EVENT_NAMES, bpf_get_current_task_btf(), (__u32)bpf_get_current_uid_gid(), 0);
            return -EPERM;
        }
    }
    if (moving) {
        struct qv_key from = {.kind = QV_KEY_OBJECT, .dev = dev, .ino = victim->i_ino};
        struct qv_key k = {.kind = QV_KEY_OBJECT, .dev = dev, .ino = moving->i_ino};
        hand_over(slot_of(gen, 1), &from, &k, over && at == victim->i_ino ? over : 0);
    }
    return 0;
}

// An inotify or fanotify watch shows a folder's names (list bit) and a
// file's accesses (read bit).
SEC("lsm/path_notify")
int BPF_PROG(qv_path_notify, const struct path *path, u64 mask, unsigned int obj_type)
{
    struct dentry *dentry = path->dentry;
    if (obj_type != FSNOTIFY_OBJ_TYPE_INODE || !dentry->d_inode)
        return 0;
    const struct qv_filter *filter;
    void *slot = slot_for(dentry->d_sb, &filter);
    if (!slot)
        return 0;
    const struct qv_rule *r = rule_above(slot, filter, dentry, dentry->d_sb->s_dev, 0);
    __u32 want = (dentry->d_inode->i_mode & S_IFMT) == S_IFDIR ? QV_PERM_LIST : QV_PERM_READ;
    return judge(slot, r, want, 0, dentry, QV_EVENT_WATCH);
}

// A deleted object's or listed executable's entry goes with its inode, so a
// new file that reuses the number is neither caught, nor freed, nor given a
// program's rights, and handed-over entries do not pile up. Only deleted
// ones: the cache also lets go of files that exist.
static __always_inline void forget(void *slot, void *other, struct qv_key *k)
{
    bpf_map_delete_elem(slot, k);
    if (other)
        bpf_map_delete_elem(other, k);
}

SEC("lsm/inode_free_security")
int BPF_PROG(qv_inode_free_security, struct inode *inode)
{
    if (inode->i_nlink != 0)
        return 0;
    __u32 gen = generation();
    void *slot = slot_of(gen, 0), *other = slot_of(gen, 1);
    if (!slot)
        return 0;
    struct qv_key k = {.kind = QV_KEY_PROGRAM, .dev = inode->i_sb->s_dev, .ino = inode->i_ino};
    forget(slot, other, &k);
    if (maybe_object(objects_filter(), k.dev, 0)) {
        k.kind = QV_KEY_OBJECT;
        forget(slot, other, &k);
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
    struct qv_event *e = record_begin((__u32)bpf_get_current_uid_gid(), 1, QV_EVENT_DROPPED_CODE);
    if (!e)
        return;
    // Names only: these hooks may not build paths.
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
    struct qv_event *e = record_begin((__u32)bpf_get_current_uid_gid(), 1, QV_EVENT_DROPPED_TRACED);
    if (!e)
        return;
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
    __u32 gen = generation();
    void *slot = slot_of(gen, 0);
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
    struct qv_key from = {.kind = QV_KEY_PROGRAM, .dev = s_dev, .ino = victim->i_ino};
    hand_over(slot_of(gen, 1), &from, &k, program);
    return 0;
}
