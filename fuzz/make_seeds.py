#!/usr/bin/env python3
"""Writes the crafted seeds of fuzz/corpus/cpu_kernel/ and a minimal
executable for fuzz/corpus/elf_loader/.

Input layout (fuzz/harness.h): 16 header bytes, 8 register words (v0 v1 a0
a1 a2 a3 t0 t1), code words for the text page at 0x400000, bytes for the
data page at 0x10000000.  Run from anywhere; rewrites the seed files.
"""
import os
import struct

R = {n: i for i, n in enumerate(
    "zero at v0 v1 a0 a1 a2 a3 t0 t1 t2 t3 t4 t5 t6 t7 s0 s1 s2 s3 s4 s5 s6 s7 t8 t9 k0 k1 gp sp fp ra".split())}
DATA = 0x10000000
TEXT = 0x00400000


def r(funct, rs="zero", rt="zero", rd="zero", sa=0):
    return R[rs] << 21 | R[rt] << 16 | R[rd] << 11 | sa << 6 | funct


def i(op, rs, rt, imm):
    return op << 26 | R[rs] << 21 | R[rt] << 16 | (imm & 0xffff)


nop = 0
syscall = 0x0000000c
def li(rt, v): return i(0x09, "zero", rt, v)            # addiu
def lui(rt, v): return i(0x0f, "zero", rt, v)
def ori(rt, rs, v): return i(0x0d, rs, rt, v)
def addiu(rt, rs, v): return i(0x09, rs, rt, v)
def move(rd, rs): return r(0x21, rs, "zero", rd)      # addu
def beq(rs, rt, off): return i(0x04, rs, rt, off)
def bne(rs, rt, off): return i(0x05, rs, rt, off)
def lw(rt, off, base): return i(0x23, base, rt, off)
def sw(rt, off, base): return i(0x2b, base, rt, off)
def lwl(rt, off, base): return i(0x22, base, rt, off)
def lwr(rt, off, base): return i(0x26, base, rt, off)
def swl(rt, off, base): return i(0x2a, base, rt, off)
def swr(rt, off, base): return i(0x2e, base, rt, off)
def lb(rt, off, base): return i(0x20, base, rt, off)
def sh(rt, off, base): return i(0x29, base, rt, off)
def mult(rs, rt): return r(0x18, rs, rt)
def div(rs, rt): return r(0x1a, rs, rt)
def mfhi(rd): return r(0x10, rd=rd)
def mflo(rd): return r(0x12, rd=rd)
def jr(rs): return r(0x08, rs)
def jalr(rs): return r(0x09, rs, rd="ra")
def j(target): return 0x02 << 26 | (target >> 2) & 0x3ffffff
def add(rd, rs, rt): return r(0x20, rs, rt, rd)
def brk(): return 0x0000000d


def header(flags=0, procs=7, pages=60, quantum=99, seed=0, exit_returns=0, rule=(0, 0, 0),
           sp_offset=0, closed=0, pid=0, prot=0, insns=9, strsize=32, code_words=0):
    return bytes([flags, procs, pages, quantum, seed, exit_returns, *rule, sp_offset, closed,
                  max(0, (code_words * 4 + 15) // 16 - 1), pid, prot, insns, strsize])


def seed(code, regs=(), data=b"", **h):
    code = list(code)
    while len(code) % 4:
        code.append(nop)
    regs = list(regs) + [0] * (8 - len(regs))
    return (header(code_words=len(code), **h) + struct.pack(">8I", *regs) +
            struct.pack(">%dI" % len(code), *code) + data)


EXIT = [li("v0", 0), syscall]
S = {}
# Kernel calls with their arguments straight from the register words.
S["exit_7"] = seed([syscall], regs=[0, 0, 7])
S["write_hello"] = seed([syscall] + EXIT, regs=[6, 0, 1, DATA, 6], data=b"hello\n", flags=1)
S["write_tsv_binary"] = seed([syscall] + EXIT, regs=[6, 0, 2, DATA, 8], data=bytes(range(250, 258 - 6)) + b"\0\n\t\"\\",
                             flags=3, strsize=4)
S["write_huge_length"] = seed([syscall, li("a2", -1), li("v0", 6), syscall] + EXIT,
                              regs=[6, 0, 1, DATA, 0x7fffffff], data=b"x", flags=1)
S["write_stack"] = seed([move("a1", "sp"), syscall] + EXIT, regs=[6, 0, 1, 0, 0x100000], flags=1)
S["getpid_result_rule"] = seed([syscall, li("v0", 11), syscall] + EXIT, regs=[11],
                               flags=0x81, rule=(11, 0x8a, 7))
S["fail_rule_write"] = seed([syscall] + EXIT, regs=[6, 0, 1, DATA, 1], data=b"z", flags=0x81, rule=(6, 1, 5))
# fork, then the child exits 3 and the parent waits with a status pointer.
S["fork_wait"] = seed([
    li("v0", 2), syscall, bne("v0", "zero", 4), nop,
    li("a0", 3), li("v0", 0), syscall, nop,
    move("a0", "v0"), lui("a1", DATA >> 16), li("a2", 0), li("v0", 3), syscall,
    lw("a0", 0, "a1"), nop] + EXIT, flags=0x09)
# Everyone forks until fork fails, then exits.
S["fork_bomb"] = seed([li("v0", 2), syscall, beq("a3", "zero", -3), nop] + EXIT, procs=5, flags=1)
S["fork_shared"] = seed([
    li("v0", 2), syscall, lui("t0", DATA >> 16), sw("v0", 0, "t0"),
    li("v0", 3), move("a0", "v0"), li("a1", 0), syscall] + EXIT, flags=0x05)
S["waitpid_bad"] = seed([syscall, li("v0", 3), li("a0", 2), syscall, li("v0", 3), li("a2", 1), syscall] + EXIT,
                        regs=[3, 0, 99, 0x7fffffff, 0], flags=1)
S["every_call"] = seed([
    move("v0", "t0"), syscall, addiu("t0", "t0", 1), bne("t0", "t1", -4), nop] + EXIT,
    regs=[0, 0, 5, DATA, 16, 0, 1, 40], data=b"/etc/passwd\0", flags=1)
S["exit_returns"] = seed([syscall, syscall, li("v0", 0), syscall], regs=[0, 0, 9], exit_returns=2, flags=1)
S["closed_fds"] = seed([syscall, li("a0", 2), li("v0", 6), syscall] + EXIT, regs=[6, 0, 1, DATA, 2],
                       data=b"ab", closed=3, flags=1)
S["pid_wrap"] = seed([li("v0", 2), syscall, li("v0", 2), syscall, li("v0", 2), syscall] + EXIT, pid=255, flags=1)
S["spin"] = seed([beq("zero", "zero", -1), nop], insns=0)
S["spin_seeded"] = seed([li("v0", 2), syscall, beq("zero", "zero", -1), nop], flags=0x10, seed=5, quantum=3)
# CPU: arithmetic, HI/LO, unaligned merges, a trap on overflow.
S["alu_hilo"] = seed([
    lui("t0", 0x8000), li("t1", -1), mult("t0", "t1"), mfhi("t2"), mflo("t3"), nop, nop,
    div("t0", "t1"), mflo("t4"), nop, nop, add("t5", "t0", "t0")] + EXIT)
S["unaligned"] = seed([
    lui("t0", DATA >> 16), lwl("t1", 1, "t0"), lwr("t1", 4, "t0"), nop, swl("t1", 6, "t0"), swr("t1", 9, "t0"),
    lb("t2", 3, "t0"), nop, sh("t2", 10, "t0"), lw("t3", 2, "t0")] + EXIT, data=bytes(range(1, 17)))
S["load_hazard"] = seed([lui("t0", DATA >> 16), lw("t1", 0, "t0"), addiu("t2", "t1", 1)] + EXIT, data=b"\0\0\0\1")
S["hilo_hazard"] = seed([mfhi("t0"), mult("t0", "t0")] + EXIT)
S["branch_in_slot"] = seed([beq("zero", "zero", 2), beq("zero", "zero", 2), nop] + EXIT)
S["kernel_address"] = seed([lui("t0", 0x8000), lw("t1", 0, "t0"), nop] + EXIT)
S["break"] = seed([brk()])
S["reserved"] = seed([0x46000000, 0x7c000000, 0xc4000000])  # cop1, special3, lwc1
# Code stored at run time and run: on the writable text page, then in data.
S["self_modifying"] = seed([
    lui("t0", TEXT >> 16), lw("t1", 0x40, "t0"), nop, sw("t1", 0x30, "t0"),
    j(TEXT + 0x30), nop, nop, nop, nop, nop, nop, nop, nop, nop, nop, nop,
    li("a0", 5), li("v0", 0), syscall], prot=1)
S["run_data"] = seed([lui("t0", DATA >> 16), jr("t0"), nop],
                     data=struct.pack(">4I", li("a0", 4), li("v0", 0), syscall, nop), prot=2)
S["jump_unmapped"] = seed([lui("t0", 0x2000), jalr("t0"), nop])
# Code across a page boundary (header bit 4): a loop whose branch and delay
# slot sit on either side, then the same loop rewriting its own delay slot.
LOOP = [li("t0", 50), addiu("t0", "t0", -1), nop, nop, nop, nop, nop, nop, bne("t0", "zero", -8), nop]
S["straddle_loop"] = seed(LOOP + EXIT, prot=4, insns=3)
S["straddle_rewrite"] = seed([lui("t1", TEXT >> 16), ori("t1", "t1", 0x1000), li("t2", 0x0c00)] + LOOP[:-1] +
                             [sw("t2", 0, "t1")] + EXIT, prot=5)
# Stores over a delay slot on a page edge: a loop whose branch is the text
# page's last word rewrites the slot (the next page's first word) in every
# pass, exiting with 15 when each pass runs the stored word (11 if stale);
# once at the default threshold, once with code generated at once.
EDGE = [lui("t1", TEXT >> 16), ori("t1", "t1", 0x1000), lui("t2", addiu("a0", "a0", 5) >> 16),
        ori("t2", "t2", addiu("a0", "a0", 5) & 0xffff), li("t0", 3),
        addiu("t0", "t0", -1), sw("t2", 0, "t1"), bne("t0", "zero", -3),  # the branch: word 7 of 16
        addiu("a0", "a0", 1)] + EXIT + [nop] * 5  # 16 words: 8 on either side
S["slot_edge_store"] = seed(EDGE, prot=5)
S["slot_edge_store_eager"] = seed(EDGE, prot=0x15)
# With --shared-fork, code in the shared data page stores over its own next
# instruction, in both processes.
S["shared_code_store"] = seed([li("v0", 2), syscall, lui("t0", DATA >> 16), jr("t0"), nop],
                              regs=[0, 0, 0, 0, 0, 0, 0, li("a0", 4)], flags=0x05, prot=2,
                              data=struct.pack(">5I", sw("t1", 8, "t0"), nop, li("a0", 1), li("v0", 0), syscall))
# Data right after the text (bit 8): runs into it, as code when executable.
S["into_data"] = seed([nop] * 8, prot=8)
S["into_data_exec"] = seed([nop] * 4, data=struct.pack(">4I", li("a0", 6), li("v0", 0), syscall, nop), prot=10)
# A large untouched bss (bit 64): forks that each store one word into it,
# the parent waiting for each; host memory must follow the stores alone.
S["fork_big_bss"] = seed([
    li("t1", 5), li("v0", 2), syscall, bne("v0", "zero", 5), lui("t0", (DATA + 0x40000) >> 16),
    sw("t1", 0, "t0"), li("a0", 0), li("v0", 0), syscall,
    move("a0", "v0"), li("a1", 0), li("v0", 3), syscall, addiu("t1", "t1", -1), bne("t1", "zero", -14), nop] + EXIT,
    pages=200, prot=64, flags=1, insns=31)
# The same under a small host memory cap (bit 128): forks fail with ENOMEM.
S["host_cap_fork_bomb"] = seed([li("v0", 2), syscall, beq("a3", "zero", -3), nop] + EXIT, procs=7, prot=192, flags=1)

# Entries at every word of executable bss holding a jr ra every 8 words
# (bits 2 and 64): a block per entry, on pages decoded again and again
# under a code share of one byte (exit_returns bits 3-4), code generated
# at once.  Then with a fork, a short quantum and a small host memory cap
# (bit 128), each entry storing to a fresh bss page: the pages take the
# code's room, down to stores that fault.
ENTRIES = [lui("t0", DATA >> 16), ori("t1", "t0", 0x2000), lui("t2", 0x03e0), ori("t2", "t2", 0x0008),
           sw("t2", 24, "t0"), addiu("t0", "t0", 32), bne("t0", "t1", -3), nop,
           lui("t0", DATA >> 16), ori("t1", "t0", 0x1ffc), ori("t5", "t0", 0x3000)]
ENTER = [jalr("t0"), nop, sw("t0", 0, "t5"), addiu("t5", "t5", 0x1000), addiu("t0", "t0", 4), bne("t0", "t1", -6), nop]
S["code_share_entries"] = seed(ENTRIES + ENTER[:2] + ENTER[4:5] + [bne("t0", "t1", -4), nop] + EXIT, prot=82, exit_returns=0x08, insns=31, pages=200)
S["code_share_fork_cap"] = seed(ENTRIES + [li("v0", 2), syscall] + ENTER + EXIT, prot=194, exit_returns=0x10,
                                quantum=37, flags=0x11, seed=3, insns=31, pages=200)
# Programs made of calls (header bit h[5] & 32): each word is one call, its
# arguments picked as fuzz/harness.h's call_program says.
def call(number, a0=("n", 0), a1=("n", 0), a2=0):
    w = number & 0xff
    kind, v = a0
    w |= (1 << 8 | v << 9) if kind == "p" else ((v + 8) & 0x3f) << 9
    kind, v = a1
    if kind == "p":
        w |= 1 << 15 | v << 16
    elif kind == "s":
        w |= 1 << 15 | v << 16 | 1 << 21
    else:
        w |= ((v + 8) & 0x1f) << 16
    return w | (a2 & 0x3ff) << 22


def calls(words, **h):
    return seed(words, exit_returns=32 | h.pop("exit_returns", 0), **h)


PIPE, FORK, READ, WRITE, CLOSE, WAIT = 27, 2, 5, 6, 7, 3
S["calls_pipe_fork"] = calls([
    call(PIPE, ("p", 0)), call(FORK), call(WRITE, ("n", 4), ("p", 1), 5), call(READ, ("n", 3), ("p", 2), 16),
    call(CLOSE, ("n", 4)), call(READ, ("n", 3), ("p", 2), 16), call(WAIT, ("n", -1)), call(26, ("n", 1), ("n", 9)),
    call(16, ("n", 9), ("p", 3)), call(13, ("n", 3), ("n", 0), 0)], data=b"\0" * 64 + b"hello", flags=1)
S["calls_heap_time"] = calls([
    call(10, ("n", 40)), call(10, ("n", 0)), call(FORK), call(10, ("n", -8)), call(28, ("p", 0), ("p", 1)),
    call(28, ("n", 0), ("s", 3)), call(10, ("n", -50)), call(WAIT, ("n", -1), ("n", 0), 1)], flags=3)
S["calls_deadlock"] = calls([call(PIPE, ("p", 0)), call(FORK), call(READ, ("n", 3), ("p", 1), 1)], flags=1)
S["calls_reboot"] = calls([call(FORK), call(FORK), call(9, ("n", 1))], flags=1)
S["calls_every_number"] = calls([call(n, ("p", n % 60), ("p", 1), 8) for n in range(36)],
                                data=b"/etc/passwd\0", flags=0x21)

# The same with a small file tree as the root (bit h[5] & 64, fuzz/harness.h's
# FuzzRoot): the data page spells its names at 64-byte steps, slot 8 and on
# are buffers.
NAMES = [b"a", b"d/b", b"l", b"new", b"d", b"d/up/a", b"p", b"/d/../../l"]
FILES_DATA = b"".join(n + bytes(64 - len(n)) for n in NAMES)
O_RDWR_CREAT, O_RDONLY = 6, 0
S["calls_files"] = calls([
    call(4, ("p", 3), ("n", O_RDWR_CREAT), 420), call(WRITE, ("n", 3), ("p", 0), 40), call(13, ("n", 3), ("n", 0), 0),
    call(READ, ("n", 3), ("p", 8), 64), call(16, ("n", 3), ("p", 9)), call(15, ("n", 3), ("n", 0), 0),
    call(4, ("p", 4), ("n", O_RDONLY)), call(23, ("n", 4), ("p", 8), 64), call(23, ("n", 4), ("p", 8), 1),
    call(30, ("p", 5), ("p", 9)), call(31, ("p", 2), ("p", 9)), call(25, ("p", 2), ("p", 10), 64),
    call(4, ("p", 6), ("n", O_RDONLY)), call(4, ("p", 7), ("n", O_RDONLY)), call(22, ("p", 4)),
    call(29, ("p", 10), ("n", 23)), call(20, ("p", 3), ("n", 7)), call(18, ("p", 0), ("p", 3)),
    call(19, ("p", 1), ("p", 0)), call(24, ("p", 0), ("p", 2)), call(17, ("p", 1)), call(21, ("p", 4)),
    call(1, ("p", 0), ("p", 11)), call(14, ("n", 3)), call(8), call(CLOSE, ("n", 3))],
    data=FILES_DATA, exit_returns=64, flags=1)
S["calls_files_fork"] = calls([
    call(4, ("p", 0), ("n", 2)), call(FORK), call(READ, ("n", 3), ("p", 8), 5), call(WRITE, ("n", 3), ("p", 1), 3),
    call(26, ("n", 3), ("n", 7)), call(13, ("n", 7), ("n", 0), 0), call(WAIT, ("n", -1)), call(CLOSE, ("n", 3))],
    data=FILES_DATA, exit_returns=64, flags=0x11, seed=5)


def tiny_exec(code, data, symbols=(), names=None, data_at=DATA, data_size=8192, bss=None):
    """ELF header, two PT_LOAD headers (text R+X, data R+W at data_at), then
    their bytes; with bss (address, size) a third, without file bytes; with
    symbols ((name, value, size, type), ...) also a string table, a symbol
    table and the three section headers (null, .symtab, .strtab).  With
    names (a string table), each symbol's name is an offset into it."""
    text = struct.pack(">%dI" % len(code), *code)
    phnum = 3 if bss else 2
    start = 52 + phnum * 32
    body = text + data
    shoff = shnum = 0
    if symbols:
        offsets = [n for n, _, _, _ in symbols]
        if names is None:
            names = b"\0" + b"".join(n + b"\0" for n, _, _, _ in symbols)
            offsets = [1 + sum(len(n) + 1 for n, _, _, _ in symbols[:k]) for k in range(len(symbols))]
        syms = [bytes(16)]
        for at, (_, value, size, typ) in zip(offsets, symbols):
            syms.append(struct.pack(">IIIBBH", at, value, size, 0x10 | typ, 0, 1))
        strtab_at = start + len(body)
        symtab_at = (strtab_at + len(names) + 3) & ~3
        body += names + bytes(symtab_at - strtab_at - len(names)) + b"".join(syms)
        shoff = start + len(body)
        body += bytes(40) + struct.pack(">10I", 0, 2, 0, 0, symtab_at, 16 * len(syms), 2, 1, 4, 16)
        body += struct.pack(">10I", 0, 3, 0, 0, strtab_at, len(names), 0, 0, 1, 0)
        shnum = 3
    ehdr = (b"\x7fELF\x01\x02\x01" + bytes(9) +
            struct.pack(">HHIIIIIHHHHHH", 2, 8, 1, TEXT, 52, shoff, 0x1000, 52, 32, phnum, 40 if shnum else 0, shnum, 0))
    ph = struct.pack(">8I", 1, start, TEXT, TEXT, len(text), len(text), 5, 4096)
    ph += struct.pack(">8I", 1, start + len(text), data_at, data_at, len(data), data_size, 6, 4096)
    if bss:
        ph += struct.pack(">8I", 1, start, bss[0], bss[0], 0, bss[1], 6, 4096)
    return ehdr + ph + body


here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
files = {os.path.join("cpu_kernel", k): v for k, v in S.items()}
HELLO = [lui("a1", DATA >> 16), li("a2", 3), li("a0", 1), li("v0", 6), syscall] + EXIT
files[os.path.join("elf_loader", "tiny_exec")] = tiny_exec(HELLO, b"ok\n")
files[os.path.join("elf_loader", "tiny_symbols")] = tiny_exec(
    HELLO, b"ok\n", [(b"main", TEXT, 20, 2), (b"exit", TEXT + 20, 8, 2), (b"message", DATA, 3, 1)])
# Text, data and bss in one page: the page limit counts it once.
files[os.path.join("elf_loader", "segments_in_one_page")] = tiny_exec(
    [lui("a1", TEXT >> 16), addiu("a1", "a1", 0x100), li("a2", 3), li("a0", 1), li("v0", 6), syscall] + EXIT,
    b"ok\n", data_at=TEXT + 0x100, data_size=0x100, bss=(TEXT + 0x800, 0x40))
# Names that are overlapping suffixes of one long string: their bytes in the
# file are few, what they spell is a lot.
files[os.path.join("elf_loader", "symbol_suffixes")] = tiny_exec(
    HELLO, b"ok\n", [(1 + 5 * k, TEXT + 4 * (k % 7), 4, k % 3) for k in range(300)], b"\0" + b"x" * 2000 + b"\0")
for name, content in files.items():
    os.makedirs(os.path.dirname(os.path.join(here, name)), exist_ok=True)
    with open(os.path.join(here, name), "wb") as f:
        f.write(content)
print("%d seeds under %s" % (len(files), here))
