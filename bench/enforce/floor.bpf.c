// SPDX-License-Identifier: GPL-2.0-or-later
// An empty BPF LSM program on file_open: what any program there costs an
// open before it does anything (the floor under the enforcement figures).
#include "vmlinux.h"
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

char LICENSE[] SEC("license") = "GPL";

SEC("lsm/file_open")
int BPF_PROG(qv_floor_open, struct file *file)
{
    return 0;
}
