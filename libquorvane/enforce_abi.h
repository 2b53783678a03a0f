// SPDX-License-Identifier: GPL-2.0-or-later
// What the kernel program, the loader, the store and every reader of block
// records agree on: a rule's permission bits and the block record's layout.
// Plain C, #defines only: the BPF program (no libc) includes it through
// enforce/policy_abi.h, C++ through enforce.h.
#pragma once

// A rule's permission bits: which kinds of access the rule decides.
#define QV_PERM_READ 1u   // open for reading
#define QV_PERM_WRITE 2u  // open for writing, appending or truncating (O_TRUNC)
#define QV_PERM_EXEC 4u   // execution
#define QV_PERM_LIST 8u   // listing a folder (opening it)
#define QV_PERM_ALL (QV_PERM_READ | QV_PERM_WRITE | QV_PERM_EXEC | QV_PERM_LIST)

// Block records: two NUL-terminated 512-byte fields, object then executable.
// The kernel's event carries the two fields in this order and size.
#define QV_RECORD_FIELD 512
#define QV_RECORD_SIZE (2 * QV_RECORD_FIELD)
