// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_loader's pins under QV_PIN_DIR: its programs loaded over the
// maps an earlier loader pinned, links handed over without a gap, pins an
// earlier build left removed, and all of them removed on a stop on purpose.
#include <bpf/libbpf.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "diag.h"
#include "enforce.h"
#include "loader.h"

namespace {

std::string pin_of(const char *name)
{
    // Programs and maps alike are pinned under their names without "qv_".
    if (std::strncmp(name, "qv_", 3) == 0)
        name += 3;
    return std::string(QV_PIN_DIR "/") + name;
}

// Pins an earlier build left that this one no longer has (a program
// renamed or dropped): each would keep enforcing on its own, and outlive
// a stop.
void unpin_stale(Loader *l)
{
    std::set<std::string> ours;
    const bpf_object_skeleton *s = l->skel->skeleton;
    for (int i = 0; i < s->prog_cnt; ++i)
        ours.insert(pin_of(s->progs[i].name));
    bpf_map *m;
    bpf_object__for_each_map(m, l->skel->obj) ours.insert(pin_of(bpf_map__name(m)));
    DirRef d(opendir(QV_PIN_DIR));
    for (dirent *e; d && (e = readdir(d.get()));) {
        const std::string pin = std::string(QV_PIN_DIR "/") + e->d_name;
        if (e->d_name[0] != '.' && !ours.count(pin) && unlink(pin.c_str()) == 0)
            QV_LOG(stderr, "unpinned %s, left by an earlier build\n", pin.c_str());
    }
}

}  // namespace

void skel_destroy(quorvane_bpf *skel)
{
    quorvane_bpf__destroy(skel);
}

// Loads the programs over the pinned maps of an earlier loader (taken_over),
// or pins new ones; a pinned set that no longer fits is replaced.
int load_pinned(Loader *l, bool *taken_over)
{
    if (mkdir(QV_PIN_DIR, 0700) < 0 && errno != EEXIST)
        return -errno;
    for (int attempt = 0; attempt < 2; ++attempt) {
        l->skel.reset(quorvane_bpf__open());
        if (!l->skel)
            return -errno;
        *taken_over = access(pin_of("qv_generation").c_str(), F_OK) == 0;
        bpf_map *m;
        bpf_object__for_each_map(m, l->skel->obj)
        {
            if (std::strchr(bpf_map__name(m), '.') == nullptr)  // not libbpf's own (.rodata)
                bpf_map__set_pin_path(m, pin_of(bpf_map__name(m)).c_str());
        }
        int r = quorvane_bpf__load(l->skel.get());
        if (r == 0)
            return 0;
        if (attempt == 1)
            return r;
        QV_LOG(stderr, "pinned maps do not fit this program (%s); replacing them\n", std::strerror(-r));
        bpf_object__for_each_map(m, l->skel->obj) unlink(pin_of(bpf_map__name(m)).c_str());
    }
    return -EINVAL;
}

// Attaches, then hands each pin over: the earlier loader's links stay
// attached until ours are, so enforcement has no gap.
int attach_pinned(Loader *l)
{
    int r = quorvane_bpf__attach(l->skel.get());
    if (r != 0)
        return r;
    const bpf_object_skeleton *s = l->skel->skeleton;
    for (int i = 0; i < s->prog_cnt; ++i) {
        const std::string pin = pin_of(s->progs[i].name);
        unlink(pin.c_str());
        if ((r = bpf_link__pin(*s->progs[i].link, pin.c_str())) != 0)
            return r;
    }
    unpin_stale(l);
    return 0;
}

void unpin_all(Loader *l)
{
    const bpf_object_skeleton *s = l->skel->skeleton;
    for (int i = 0; i < s->prog_cnt; ++i)
        unlink(pin_of(s->progs[i].name).c_str());
    bpf_map *m;
    bpf_object__for_each_map(m, l->skel->obj) unlink(pin_of(bpf_map__name(m)).c_str());
    rmdir(QV_PIN_DIR);
}
